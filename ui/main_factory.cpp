#include "ui/main_factory.h"

#include <dlfcn.h>

#include "app/phone_app.h"
#include "app/presence.h"
#include "ui/connection_dlg.h"
#include "ui/login_dlg.h"
#include "ui/phone_dlg.h"
#include "ui/register_dlg.h"
#include "ui/skin_phone.h"

namespace kestrona {

CUiFactory::CUiFactory(CPhoneApp& app) : m_app(app) {}

CUiFactory::~CUiFactory() = default;

std::unique_ptr<IPhoneMainWindow> CUiFactory::CreatePhoneWindow(CCallController& controller) {
    return MakeSkinnedPhone(controller, m_app.Settings(), m_app.Presence());
}

int CUiFactory::RunConnectionDialog() {
    CConnectionDlg dialog(m_app.m_regInfo);
    return dialog.Run();
}

int CUiFactory::RunRegisterDialog() {
    CRegisterDlg dialog(m_app.Net());
    return dialog.Run();
}

int CUiFactory::RunLoginDialog(int32_t& number, const QString& password) {
    CLoginDlg dialog(m_app.Net(), m_app.m_bStartHidden);
    dialog.m_nNumber = number;
    dialog.m_strPassword = password;
    const int result = dialog.Run();
    if (result == 1) {
        number = dialog.m_nNumber;
    }
    return result;
}

bool HaveDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool DisplayOpens() {
    // Qt's X11 platform aborts the process when it cannot open the display.
    // Try the same connection first, through the xcb library that platform
    // loads anyway; without that library there is nothing to ask.
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith(QLatin1String("xcb"))) {
        return true;
    }
    if (platform.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return true;
    }
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) {
        return true;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool opens = true;
    if (connect && hasError && disconnect) {
        // A failed connection is an error object, never null, and is freed
        // by the same call.
        void* connection = connect(nullptr, nullptr);
        opens = connection && hasError(connection) == 0;
        if (connection) {
            disconnect(connection);
        }
    }
    ::dlclose(xcb);
    return opens;
}

}  // namespace kestrona
