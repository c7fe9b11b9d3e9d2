// How a list row shows whether its number can be called now: a small dot
// in the style of the list icons (green online, grey offline, a hollow ring
// when unknown), drawn for normal and double-density screens, and the same
// in words for screen readers and the tooltip.
#pragma once

#include <QIcon>
#include <QString>

#include "app/presence.h"

class QTreeWidgetItem;

namespace kestrona {

QIcon PresenceIcon(PresenceState state);
// "在线", "离线", "状态未知" in the phone's language.
QString PresenceText(PresenceState state);
// Puts the dot before the column's text, and the state into the row's
// accessible description and name.
void ShowPresence(QTreeWidgetItem& row, int column, PresenceState state);

}  // namespace kestrona
