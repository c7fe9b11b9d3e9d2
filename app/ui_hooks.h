// How the application reaches the windows and dialogs without depending on
// them: the user-interface layer registers a factory before start-up, and
// the application asks it for the phone window and the first-run dialogs.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

class QWidget;

namespace kestrona {

class IPhoneWindow;

// The phone window as the application sees it.
class IPhoneMainWindow {
  public:
    virtual ~IPhoneMainWindow() = default;
    virtual QWidget* Widget() = 0;
    // The peer protocol's view of the window.
    virtual IPhoneWindow* PeerWindow() = 0;
    // Shows the window, restores it when minimised and brings it to the front.
    virtual void ShowAndRaise() = 0;
    // A request from outside (see the instance channel); returns the answer.
    virtual QString HandleRequest(const QStringList& args) = 0;
};

// The dialogs' results are those of the dialogs: 1 OK, 2 cancel, 4 the
// registration dialog's existing-number button.
class IUiFactory {
  public:
    virtual ~IUiFactory() = default;
    virtual std::unique_ptr<IPhoneMainWindow> CreatePhoneWindow() = 0;
    virtual int RunConnectionDialog() = 0;
    virtual int RunRegisterDialog() = 0;
    // number in: the pre-filled number; out: the number that logged in.
    virtual int RunLoginDialog(int32_t& number, const QString& password) = 0;
};

}  // namespace kestrona
