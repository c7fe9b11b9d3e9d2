// How the application reaches the windows and dialogs without depending on
// them: the user-interface layer registers a factory before start-up, and
// the application asks it for the phone window and the first-run dialogs.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

class QWidget;

namespace kestrona {

class CCallController;
class ICallView;

// The phone window as the application sees it.
class IPhoneMainWindow {
  public:
    virtual ~IPhoneMainWindow() = default;
    virtual QWidget* Widget() = 0;
    // What shows the call controller (null: nothing).
    virtual ICallView* View() = 0;
    // Shows the window, restores it when minimised and brings it to the front.
    virtual void ShowAndRaise() = 0;
};

// The dialogs' results are those of the dialogs: 1 OK, 2 cancel, 4 the
// registration dialog's existing-number button.
class IUiFactory {
  public:
    virtual ~IUiFactory() = default;
    // The window in front of the controller; it shows itself through SetView.
    virtual std::unique_ptr<IPhoneMainWindow> CreatePhoneWindow(CCallController& controller) = 0;
    virtual int RunConnectionDialog() = 0;
    virtual int RunRegisterDialog() = 0;
    // number in: the pre-filled number; out: the number that logged in.
    virtual int RunLoginDialog(int32_t& number, const QString& password) = 0;
};

}  // namespace kestrona
