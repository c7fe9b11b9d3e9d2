// What the call controller shows and asks of the window in front of it: the
// display texts, the look of the keys, the tray flashing, message boxes and
// the modal dialogs behind some keys. The window implements it; a phone
// without widgets (or a test) gives its own.
#pragma once

#include <QString>
#include <cstdint>

namespace kestrona {

struct DisplayTexts {
    QString localAddress;  // own number, address and listening port
    QString peer;          // "name number", empty when there is no peer
    QString status;        // the state's text (with the rate while talking)
    QString time;          // the clock, or the call time while talking
    bool operator==(const DisplayTexts&) const = default;
};

// How one key looks; a disabled key never flashes.
struct KeyLook {
    bool enabled = true;
    bool flashing = false;
    bool checked = false;  // the auto-answer key's toggle
    bool operator==(const KeyLook&) const = default;
};

class ICallView {
  public:
    virtual ~ICallView() = default;

    virtual void ShowDisplay(const DisplayTexts& texts) = 0;
    // command is one of 1001 to 1020.
    virtual void ShowKey(int command, const KeyLook& look) = 0;
    // The tray icon flashes while a call is offered; its tip names peerNumber.
    virtual void ShowTrayFlash(bool on, int32_t peerNumber) = 0;
    // A modal box with an OK button.
    virtual void ShowMessage(const QString& text) = 0;

    // The phone book: 4 (its call button) with the chosen number and name.
    virtual int RunPhoneBook(int32_t& number, QString& name) = 0;
    // The call list of type 0, 1 or 2: 1 (its call button) with the number.
    virtual int RunCallLog(int type, int32_t& number) = 0;
    virtual void RunOptions() = 0;
    // The exit command: the window goes and the program ends.
    virtual void Exit() = 0;
};

}  // namespace kestrona
