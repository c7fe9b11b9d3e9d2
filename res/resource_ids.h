// Numbered resources of the program: templates, bitmaps, icons, menus,
// commands, timers and window messages. Numbers are fixed because stored
// settings, the key layout and other modules refer to them.
#pragma once

#include <QString>

namespace kestrona::res {

// Dialog templates.
inline constexpr int kIddPhone = 102;
inline constexpr int kIddPhoneBook = 133;
inline constexpr int kIddCallLog = 134;
inline constexpr int kIddAddContact = 138;
inline constexpr int kIddConnection = 140;
inline constexpr int kIddPage1 = 144;
inline constexpr int kIddPage2 = 145;
inline constexpr int kIddPage3 = 146;
inline constexpr int kIddPage4 = 147;
inline constexpr int kIddPage5 = 148;

// Bitmaps and icons.
inline constexpr int kBmpSkin = 131;
inline constexpr int kBmpKeyFirst = 180;  // 180..199, one per key
inline constexpr int kBmpListIcons = 150;
inline constexpr int kBmpRegister = 132;  // the picture on the registration dialog's left side
inline constexpr int kIconMain = 128;
inline constexpr int kIconFlash = 148;
inline constexpr int kMenuPopup = 145;

// Key commands (command = kCmdFirstKey + key index).
inline constexpr int kCmdFirstKey = 1001;
inline constexpr int kCmdCall = 1001;
inline constexpr int kCmdHangUp = 1002;
inline constexpr int kCmdPhoneBook = 1003;
inline constexpr int kCmdCallsTaken = 1004;
inline constexpr int kCmdCallsMade = 1005;
inline constexpr int kCmdCallsMissed = 1006;
inline constexpr int kCmdDigit1 = 1007;
inline constexpr int kCmdDigit0 = 1016;
inline constexpr int kCmdClear = 1017;
inline constexpr int kCmdRecord = 1018;
inline constexpr int kCmdAutoAnswer = 1019;
inline constexpr int kCmdSetup = 1020;
inline constexpr int kKeyCount = 20;

// Menu commands.
inline constexpr int kCmdRestore = 32771;
inline constexpr int kCmdHide = 32774;
inline constexpr int kCmdHelp = 32775;
inline constexpr int kCmdExit = 57665;
// The menus' mute entry (and the M key).
inline constexpr int kCmdMute = 32780;

// Window messages private to the program.
inline constexpr int kMsgConnectionLost = 2024;
inline constexpr int kMsgTrayNotify = 2026;
inline constexpr int kMsgEngineFailure = 3025;
inline constexpr int kMsgPlayDone = 11026;

// Timers of the phone window and of the keys.
inline constexpr int kTimerDisplay = 100;
inline constexpr int kTimerRing = 1010;
inline constexpr int kTimerAutoAnswer = 1020;
inline constexpr int kTimerForceBreak = 1030;
inline constexpr int kTimerTrayFlash = 1040;
inline constexpr int kTimerTipDelay = 10;
inline constexpr int kTimerTipTime = 11;
inline constexpr int kTimerFlash = 20;

// Strings.
inline constexpr int kStrFirstTip = 104;    // 104..123, one per key
inline constexpr int kStrFirstState = 125;  // 125..133, call states 0..8
inline constexpr int kStrNotEmptyGroup = 124;
inline constexpr int kStrNoNumber = 140;
inline constexpr int kStrSettings = 141;
inline constexpr int kStrSaveChanges = 143;
inline constexpr int kStrDeleteAll = 144;
inline constexpr int kStrHelpNotOpened = 149;  // "%s": the help file's path
// Why a call's audio could not be set up (the call has ended): one text per
// set-up failure code 1 to 7, from 150 on.
inline constexpr int kStrFirstSetupFailure = 150;
// A sound device failed during a call, or the SOCKS5 proxy could not be
// reached: one text per engine failure code 1 to 7, from 157 on.
inline constexpr int kStrFirstEngineFailure = 157;
// The callee's PARAMENTER names a rate or a port no call can have.
inline constexpr int kStrBadCallParameters = 164;
// An encrypted call was required and the callee cannot take one.
inline constexpr int kStrPeerCannotEncrypt = 165;
// The key exchange of an encrypted call failed (a forged or broken answer).
inline constexpr int kStrEncryptionFailed = 166;
// The display's mark of an encrypted call, put before its four characters.
inline constexpr int kStrEncryptedMark = 167;
// The other party's identity key is not the one remembered for its number.
inline constexpr int kStrIdentityChanged = 168;
// The display's mark of a muted call.
inline constexpr int kStrMuted = 169;
// Named on the display after a call: who called meanwhile and was told busy
// (%1: the numbers).
inline constexpr int kStrCalledWhileBusy = 170;
// The loudspeaker's level after a step of the keyboard (%1: percent).
inline constexpr int kStrSpeakerLevel = 171;
// The display's mark of a call's quality as heard here (a call in frames):
// good, fair, poor.
inline constexpr int kStrQualityGood = 172;
inline constexpr int kStrQualityFair = 173;
inline constexpr int kStrQualityPoor = 174;

inline constexpr int kTrayIconId = 147;
inline constexpr const char* kWindowTitle = "Ostravine Kestrona";
inline constexpr const char* kHelpFile = "kestrona.hlp";

// Qt resource paths of the artwork (bundled by res/artwork.qrc).
QString BitmapPath(int id);  // ":/kestrona/bmp<id>.png"
QString IconPath(int id);    // ":/kestrona/icon<id>.png"

}  // namespace kestrona::res
