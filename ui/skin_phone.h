// The phone window as users see it: the view of the call controller with
// the skinned face, the tray icon and menus, and the phone book, call lists and options
// sheet behind its keys.
#pragma once

#include <memory>

#include "ui/phone_dlg.h"

namespace kestrona {

std::unique_ptr<CPhoneDlg> MakeSkinnedPhone(CCallController& controller, SettingsModel& model);

}  // namespace kestrona
