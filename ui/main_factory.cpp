#include "ui/main_factory.h"

#include "app/phone_app.h"
#include "ui/connection_dlg.h"
#include "ui/login_dlg.h"
#include "ui/phone_dlg.h"
#include "ui/register_dlg.h"
#include "ui/skin_phone.h"

namespace kestrona {

CUiFactory::CUiFactory(CPhoneApp& app) : m_app(app) {}

// The window goes before the services it uses.
CUiFactory::~CUiFactory() = default;

std::unique_ptr<IPhoneMainWindow> CUiFactory::CreatePhoneWindow() {
    if (!m_services) {
        m_services = MakeCallServices(m_app.Net());
    }
    auto window = MakeSkinnedPhone(*m_services, m_app);
    window->SetLocalAddress(m_app.m_strLocalAddress);
    window->DrawDisplay();
    return window;
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

}  // namespace kestrona
