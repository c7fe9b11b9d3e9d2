// The pure rules of the call state machine: which keys a state enables, which
// ring a state repeats, how digits build the number. Kept free of windows and
// sockets so the table can be checked on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "settings/settings_model.h"

namespace kestrona {

enum CallState : int {
    kStateReady = 0,
    kStateDialling = 1,
    kStateTalking = 2,
    kStateRinging = 3,
    kStateBusy = 4,
    kStateOffline = 5,
    kStateBroken = 6,
    kStateAutoAnswer = 7,
    kStateIncompatible = 8,
};

// The string table entry that shows a state on the display.
inline int StateStringId(int state) {
    return 125 + state;
}

// Key and menu commands of the phone.
enum KeyCommand : int {
    kCmdCall = 1001,
    kCmdHangUp = 1002,
    kCmdPhoneBook = 1003,
    kCmdTaken = 1004,
    kCmdMade = 1005,
    kCmdMissed = 1006,
    kCmdDigitFirst = 1007,  // "1"
    kCmdDigitLast = 1016,   // "0"
    kCmdClear = 1017,
    kCmdRecord = 1018,
    kCmdAuto = 1019,
    kCmdSetup = 1020,
    kCmdExit = 57665,
    kCmdMute = 32780,
};

// Timers of the call controller (the tray's flash timer is the window's).
enum TimerId : int {
    kTimerDisplay = 100,
    kTimerRing = 1010,
    kTimerAutoAnswer = 1020,
    kTimerForceBreak = 1030,
    kTimerTrayFlash = 1040,
};

struct KeyEnables {
    bool call;
    bool hangUp;
    bool digits;  // the ten digit keys and Clear move together
    bool record;
    bool operator==(const KeyEnables&) const = default;
};

// The keys a state enables; nothing for the states that leave the keys as
// they were (busy, offline, broken, incompatible).
std::optional<KeyEnables> KeysForState(int state);

struct RingChoice {
    const char* file;  // relative to the working directory
    int periodMs;
};
// The ring a state repeats while SetRing(true) holds; nothing for states that
// are silent.
std::optional<RingChoice> RingForState(int state);

inline constexpr const char* kRingIn = "ring/in.wav";
inline constexpr const char* kRingOut = "ring/out.wav";
inline constexpr const char* kRingBusy = "ring/busy.wav";
inline constexpr const char* kRingAutoAnswer = "ring/aa.wav";

inline constexpr std::size_t kMaxDigits = 9;

// The callee's rate for a proposal: its own, or the proposal when that is a
// call rate below it; a proposal that is no call rate gets the nearest call
// rate below it (8000 at least), so that nothing a peer sends sizes a buffer.
int32_t AgreedSampleRate(int32_t own, int32_t proposed);
inline bool IsPort(int32_t port) {
    return port >= 1 && port <= 65535;
}
// The playout delays the options page offers (kMinDelayBufferMs to
// kMaxDelayBufferMs) are the settings model's.

// Appends the digit of a key command (1007..1015 give 1..9, 1016 gives 0;
// 1006 is what the keyboard's "0" maps to and also gives 0). False, and
// nothing changed, when nine digits are already there.
bool AppendDigit(std::string& digits, int command);
// The number the typed digits stand for (decimal, saturating; -1 when empty).
int32_t DigitsToNumber(const std::string& digits);

// The keyboard maps its keys onto the digit commands: key '0' → 1006,
// '1' → 1007 ... '9' → 1015.
inline int KeyboardDigitCommand(int digit) {
    return 1006 + digit;
}

}  // namespace kestrona
