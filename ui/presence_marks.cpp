#include "ui/presence_marks.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidgetItem>

namespace kestrona {
namespace {

constexpr int kCell = 16;  // the list icons' cell

QPixmap DrawDot(PresenceState state, int scale) {
    QPixmap pixmap(kCell * scale, kCell * scale);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    // The call lists' green, and the grey of a switched-off key.
    const QColor green(40, 160, 70), grey(150, 150, 156);
    const QRectF dot(3.5, 3.5, 9, 9);
    switch (state) {
        case PresenceState::kOnline:
            p.setPen(QPen(green.darker(130), 1));
            p.setBrush(green);
            p.drawEllipse(dot);
            // The list icons' light glint.
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(250, 250, 250, 170));
            p.drawEllipse(QRectF(5.5, 5.5, 3, 3));
            break;
        case PresenceState::kOffline:
            p.setPen(QPen(grey.darker(130), 1));
            p.setBrush(grey);
            p.drawEllipse(dot);
            break;
        case PresenceState::kUnknown:
            p.setPen(QPen(grey, 1.5));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(dot.adjusted(0.5, 0.5, -0.5, -0.5));
            break;
    }
    pixmap.setDevicePixelRatio(scale);
    return pixmap;
}

}  // namespace

QIcon PresenceIcon(PresenceState state) {
    QIcon icon;
    icon.addPixmap(DrawDot(state, 1));
    icon.addPixmap(DrawDot(state, 2));
    return icon;
}

QString PresenceText(PresenceState state) {
    switch (state) {
        case PresenceState::kOnline:
            return QCoreApplication::translate("PresenceMarks", "在线");
        case PresenceState::kOffline:
            return QCoreApplication::translate("PresenceMarks", "离线");
        case PresenceState::kUnknown:
            break;
    }
    return QCoreApplication::translate("PresenceMarks", "状态未知");
}

void ShowPresence(QTreeWidgetItem& row, int column, PresenceState state) {
    const QString text = PresenceText(state);
    row.setIcon(column, PresenceIcon(state));
    row.setToolTip(column, text);
    row.setData(column, Qt::AccessibleDescriptionRole, text);
    row.setData(column, Qt::AccessibleTextRole,
                QCoreApplication::translate("PresenceMarks", "%1，%2").arg(row.text(column), text));
}

}  // namespace kestrona
