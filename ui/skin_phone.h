// The phone window as users see it: the view of the call controller with
// the skinned face, the tray icon and menus, and the phone book, call lists and options
// sheet behind its keys.
#pragma once

#include <memory>

#include "ui/phone_dlg.h"

namespace kestrona {

class PresenceSource;

// presence: what the phone book and the call lists show of who can be called
// now (null: nothing).
std::unique_ptr<CPhoneDlg> MakeSkinnedPhone(CCallController& controller, SettingsModel& model,
                                            PresenceSource* presence = nullptr);

}  // namespace kestrona
