// The user interface's side of the start-up: makes the phone window and runs
// the first-run dialogs for the application object.
#pragma once

#include <memory>

#include "app/ui_hooks.h"

class CPhoneApp;

namespace kestrona {

class CUiFactory : public IUiFactory {
  public:
    explicit CUiFactory(CPhoneApp& app);
    ~CUiFactory() override;

    std::unique_ptr<IPhoneMainWindow> CreatePhoneWindow(CCallController& controller) override;
    int RunConnectionDialog() override;
    int RunRegisterDialog() override;
    int RunLoginDialog(int32_t& number, const QString& password) override;

  private:
    CPhoneApp& m_app;
};

// True when a window system (or Qt's offscreen platform) is there to show
// the phone on.
bool HaveDisplay();

// False when the X display that Qt would open does not accept a connection
// (nothing listens there, or it refuses this user). True for other window
// systems and for Qt's offscreen platform.
bool DisplayOpens();

}  // namespace kestrona
