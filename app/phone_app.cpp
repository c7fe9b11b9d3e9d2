#include "app/phone_app.h"

#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "app/autostart.h"
#include "app/call_clock.h"
#include "app/call_controller.h"
#include "app/call_services.h"
#include "app/desktop_calls.h"
#include "app/instance_channel.h"
#include "app/keep_alive.h"
#include "app/keep_alive_setup.h"
#include "app/local_address.h"
#include "app/message_box.h"
#include "app/port_mapping.h"
#include "app/presence.h"
#include "app/quit_signals.h"
#include "app/reachability.h"
#include "app/rpc_request.h"
#include "app/sound_check.h"
#include "app/ui_language.h"
#include "platform/app_paths.h"
#include "platform/call_crypto.h"
#include "platform/reg_store.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "settings/setting_names.h"

namespace kestrona {
namespace {

// How long a relaunched phone waits for the one it replaces to end, and how
// often it asks.
constexpr int kRelaunchWaitMs = 5000;
constexpr int kRelaunchRetryMs = 100;

// The wording of the box when another phone runs but does not answer.
const char* const kAlreadyRunning = QT_TRANSLATE_NOOP("CPhoneApp", "Kestrona 已经在运行。");

}  // namespace

}  // namespace kestrona

using namespace kestrona;

CPhoneApp::CPhoneApp(int& argc, char** argv)
    : QApplication(argc, argv), m_net(m_settings), m_messages(MakeAppMessageBox()) {
    m_net.messages = m_messages.get();
    setQuitOnLastWindowClosed(false);
    setApplicationName(QStringLiteral("Kestrona"));
    // Ties the windows to the installed desktop entry (its name and icon).
    setDesktopFileName(QStringLiteral("org.ostravine.Kestrona"));
}

CPhoneApp::~CPhoneApp() {
    CSysRegInfo::SetProgramDirectory({});
    m_soundCheck.reset();
    m_keepAlive.reset();
    m_presence.reset();
    m_net.window = nullptr;
    m_pMainWnd.reset();
    m_controller.reset();
    m_desktop.reset();
    RestoreQuitSignals();
}

CPhoneApp* CPhoneApp::Instance() {
    return qobject_cast<CPhoneApp*>(QCoreApplication::instance());
}

int CPhoneApp::Run() {
    InitInstance();
    return ExitInstance();
}

void CPhoneApp::LoadIdentity() {
    // The key that signs this phone's encrypted calls. Without its file (a
    // data folder that cannot be written) the phone still encrypts, under a
    // key that lasts for this run; peers then see it as changed next time.
    std::string error;
    m_net.identity = IdentityKey::LoadOrCreate(DefaultIdentityKeyPath(), error);
    if (!error.empty()) {
        std::fprintf(stderr, "kestrona: identity key: %s\n", error.c_str());
    }
    if (!m_net.identity && CryptoReady()) {
        m_net.identity = IdentityKey::Generate();
    }
}

bool CPhoneApp::InitInstance() {
    // Every text shown from here on, the first message box included, is in
    // the user's language.
    ApplyUiLanguage();
    // Sockets need no library start here; Qt's network layer is ready.
    const CommandLine line = ParseCommandLine(arguments());
    if (line.autoBoot) {
        m_bStartHidden = true;
    }
    if (line.delay) {
        m_bStartHidden = true;
    }
    m_nCallToNumber = line.callTo;
    if (!line.serverHost.isEmpty()) {
        // This run's server is read above the stored one and never written.
        RegOverrideValue(CSysRegInfo::kDefaultSection, reg::kHost, line.serverHost.toStdString());
        if (line.serverPort > 0) {
            RegOverrideValue(CSysRegInfo::kDefaultSection, reg::kHostPort,
                             std::to_string(line.serverPort));
        }
    }

    if (!ListenForOtherStarts(line.delay)) {
        QStringList request{QStringLiteral("show")};
        if (line.callTo > 0) {
            request = {QStringLiteral("callto"), QString::number(line.callTo)};
        }
        const auto answer = SendToRunningInstance(request);
        if (!answer || !answer->startsWith(QLatin1String("ok"))) {
            ShowMessageText(QCoreApplication::translate("CPhoneApp", kAlreadyRunning));
        }
        m_channel.reset();
        return false;
    }
    m_channel->SetHandler([this](const QStringList& args) { return HandleRequest(args); });

    // The phone's own folder stands for the program directory: it holds the
    // lists, the recordings and the start-at-logon link, whatever folder the
    // phone was started from.
    const std::filesystem::path phoneDir = PhoneDataDir();
    EnsurePhoneDataDirs(phoneDir);
    LoadIdentity();
    CSysRegInfo::SetProgramDirectory(phoneDir.string());
    CSysRegInfo::SetAutoBootHook([](const std::string& directory) {
        const QString dir = QString::fromStdString(directory);
        CreateAutoBootShortcut(dir + QStringLiteral("/autoboot.lnk"), ProgramPath(),
                               QStringLiteral("AUTOBOOT"), dir);
    });
    if (m_regInfo.GetRegInt(reg::kVersion) == -1) {
        m_regInfo.InitRegKeys(nullptr);
    }
    LoadSettings();
    RegisterAutoStart();
    InstallQuitSignals(this, [this] { EndMessageLoop(); });

    if (!m_pFactory) {
        std::fprintf(stderr, "kestrona: no user interface registered\n");
        return false;
    }

    if (m_regInfo.GetRegInt(reg::kAlreadyRegisterNew) == -1) {
        m_pFactory->RunConnectionDialog();
        if (m_bQuitRequested) {
            return false;
        }
        const int result = m_pFactory->RunRegisterDialog();
        if (m_bQuitRequested) {
            return false;
        }
        if (result == 2) {
            ShowMessageString(145);
            return false;
        }
        if (result == 1) {
            m_regInfo.SetRegInt(reg::kAlreadyRegisterNew, 1);
        } else if (result == 4) {
            int32_t number = 0;
            if (m_pFactory->RunLoginDialog(number, QString()) != 1 || m_bQuitRequested) {
                return false;
            }
            m_regInfo.SetRegInt(reg::kAlreadyRegisterNew, 1);
            m_bLoggedIn = true;
            m_settings.m_nID = number;
        }
    }
    if (!m_bLoggedIn) {
        m_settings.m_nID = m_regInfo.GetRegInt(reg::kId);
        LoginAtStartup();
    }
    if (m_bQuitRequested) {
        return false;
    }
    BuildLocalAddress();
    if (m_bLoggedIn) {
        m_portMapping->LoggedIn();
        m_reachability->LoggedIn();
        m_presence->LoggedIn(m_settings.m_nID, m_settings.m_nAppearOffline == 1);
        m_keepAlive =
            StartKeepAlive(m_net.regSection, m_settings, m_settings.m_nID, m_net.m_nLivePeriod);
    }
    if (!m_net.m_strLoginNotice.empty()) {
        ShowMessageText(QString::fromStdString(m_net.m_strLoginNotice));
    }
    if (m_bQuitRequested) {
        return false;
    }

    m_soundCheck = std::make_unique<CSoundCheck>(*m_messages, nullptr, m_settings.m_strWaveIn,
                                                 m_settings.m_strWaveOut);
    m_callServices = MakeCallServices(m_net);
    m_callClock = MakeQtCallClock();
    m_controller = std::make_unique<CCallController>(*m_callServices, m_settings, *m_callClock);
    m_controller->SetLocalAddress(m_strLocalAddress);
    m_pMainWnd = m_pFactory->CreatePhoneWindow(*m_controller);
    StartDesktop();
    m_net.window = m_controller.get();
    if (m_pMainWnd && !m_bStartHidden) {
        m_pMainWnd->Widget()->show();
    }
    if (m_nCallToNumber > 0) {
        m_controller->RequestCallTo(m_nCallToNumber);
    }
    exec();
    return false;
}

// Not quit(): that first asks every window to close, and the phone window
// takes a close for the hang-up key and stays.
void CPhoneApp::EndMessageLoop() {
    // A start-up dialog's own loop ends too; the start-up must not go on
    // to the next dialog or the phone window after it.
    m_bQuitRequested = true;
    exit(0);
}

int CPhoneApp::ExitInstance() {
    // No more outside requests once the shutdown has begun.
    if (m_channel) {
        m_channel->Close();
    }
    m_keepAlive.reset();
    // Before the logout: no look-up is under way when the session ends.
    if (m_presence) {
        m_presence->Stop();
    }
    m_net.ReleaseSockets(m_bLoggedIn);
    m_net.window = nullptr;
    m_pMainWnd.reset();
    m_controller.reset();
    // After the controller: a call cut by the shutdown gives its hold back.
    m_desktop.reset();
    // Last: the call that just ended gave its forwardings back to them.
    if (m_reachability) {
        m_reachability->Shutdown();
    }
    if (m_portMapping) {
        m_portMapping->Shutdown();
    }
    return 0;
}

void CPhoneApp::StartDesktop() {
    DesktopActions actions;
    actions.answer = [this] {
        if (m_controller) {
            m_controller->RequestAnswer();
        }
    };
    // The hang-up key while it rings refuses the call.
    actions.decline = [this] {
        if (m_controller) {
            m_controller->RequestHangUp();
        }
    };
    actions.raise = [this] {
        if (m_pMainWnd) {
            m_pMainWnd->ShowAndRaise();
        }
    };
    actions.callBack = [this](int32_t number) {
        if (m_pMainWnd) {
            m_pMainWnd->ShowAndRaise();
        }
        if (m_controller) {
            m_controller->RequestDial(number);
        }
    };
    // The message plays from the list of missed calls, where it is kept.
    actions.play = [this](const std::string&) {
        if (m_pMainWnd) {
            m_pMainWnd->ShowAndRaise();
        }
        QTimer::singleShot(0, this, [this] {
            if (m_controller) {
                m_controller->OnCommand(res::kCmdCallsMissed);
            }
        });
    };
    actions.inSight = [this] {
        const QWidget* window = m_pMainWnd ? m_pMainWnd->Widget() : nullptr;
        return window && window->isVisible() && !window->isMinimized() && window->isActiveWindow();
    };
    actions.enabled = [this] { return m_settings.m_nNotifications != 0; };
    m_desktop = CDesktopCalls::OnSessionBus(std::move(actions));
    m_controller->SetDesktop(m_desktop.get());
}

bool CPhoneApp::WantsPlainCallNotice() const {
    return m_settings.m_nNotifications != 0 && !(m_desktop && m_desktop->Notifies());
}

void CPhoneApp::LoadSettings() {
    LoadSettingsModel(m_settings, m_regInfo);
    m_net.OpenCmdListenSocket();
    // A listening point on a proxy is reached through the proxy: nothing to
    // forward on the router then.
    const bool direct = m_net.StoreInt(reg::kProxy) != 1;
    m_portMapping = std::make_unique<CPortMapping>(m_net, direct && m_settings.m_nPortMapping == 1);
    if (direct) {
        m_portMapping->CmdPortOpened(m_net.m_pCmdListenSocket ? m_net.m_pCmdListenSocket->m_nPort
                                                              : 0);
    }
    m_reachability = std::make_unique<CReachability>(m_net, m_portMapping.get(),
                                                     direct && m_net.StoreInt(kRegRelay) != 0);
    const std::string section = m_net.regSection;
    const SettingsModel model = m_settings;
    m_presence =
        std::make_unique<CPresence>([section, model] { return StoreServerTarget(section, model); });
}

bool CPhoneApp::LoginAtStartup() {
    int32_t number = m_regInfo.GetRegInt(reg::kId);
    char password[CSysRegInfo::kRegReadCap] = {};
    m_regInfo.GetRegValue(reg::kPassword, password);
    if (m_pFactory->RunLoginDialog(number, QString::fromUtf8(password)) != 1) {
        return false;
    }
    m_settings.m_nID = number;
    m_bLoggedIn = true;
    return true;
}

void CPhoneApp::BuildLocalAddress() {
    const int port = m_net.m_pCmdListenSocket ? m_net.m_pCmdListenSocket->m_nPort : 0;
    m_strLocalAddress = LocalAddressText(m_settings.m_nID, port);
}

bool CPhoneApp::ListenForOtherStarts(bool afterRelaunch) {
    m_channel = std::make_unique<CInstanceChannel>();
    if (m_channel->Listen()) {
        return true;
    }
    if (!afterRelaunch) {
        return false;
    }
    // The phone that relaunched this one is ending: its channel frees within
    // moments. Ask again until it has, for a bounded time.
    QEventLoop wait;
    QTimer retry;
    bool listening = false;
    QObject::connect(&retry, &QTimer::timeout, &wait, [&] {
        if (m_channel->Listen()) {
            listening = true;
            wait.quit();
        }
    });
    QTimer::singleShot(kRelaunchWaitMs, &wait, &QEventLoop::quit);
    retry.start(kRelaunchRetryMs);
    wait.exec();
    return listening;
}

QString CPhoneApp::HandleRequest(const QStringList& args) {
    const RpcParse parsed = ParseChannelRequest(args);
    if (!parsed.request) {
        return parsed.error;
    }
    const RpcRequest& request = *parsed.request;
    if (request.verb == RpcVerb::kShow) {
        if (m_pMainWnd) {
            m_pMainWnd->ShowAndRaise();
            return QStringLiteral("ok");
        }
        // Still starting: the dialog the user has to answer first (the
        // connection, the registration, the login) comes forward instead.
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            dialog->showNormal();
            dialog->raise();
            dialog->activateWindow();
        }
        return QStringLiteral("ok");
    }
    if (request.verb == RpcVerb::kPortMap) {
        if (!m_portMapping) {
            return QStringLiteral("starting");
        }
        // The router's forwarding, then what the server found of it.
        QString text = m_portMapping->StateText();
        if (m_reachability && m_reachability->GetState() != CReachability::State::kOff) {
            text += QStringLiteral("；") + m_reachability->StateText();
        }
        return text;
    }
    if (request.verb == RpcVerb::kPresence) {
        if (!m_presence) {
            return QStringLiteral("starting");
        }
        // What is known now; the look-up asked here shows in the next answer.
        QStringList states;
        for (const int32_t number : request.numbers) {
            states << QStringLiteral("%1=%2").arg(number).arg(
                QLatin1String(PresenceWord(m_presence->StateOf(number))));
        }
        m_presence->Refresh(request.numbers);
        return states.join(QLatin1Char(' '));
    }
    if (!m_controller) {
        if (request.verb == RpcVerb::kStatus) {
            return QStringLiteral("starting");
        }
        if (request.verb == RpcVerb::kQuit) {
            // After the answer has gone out.
            QTimer::singleShot(0, this, [this] { EndMessageLoop(); });
            return QStringLiteral("ok");
        }
        // A link that comes during the start-up is dialled into the window
        // once it is there.
        if (request.verb == RpcVerb::kCallTo && !request.fromRpc) {
            m_nCallToNumber = request.number;
            return QStringLiteral("ok");
        }
        return QStringLiteral("error no phone window yet");
    }
    if (!request.fromRpc && m_pMainWnd) {
        m_pMainWnd->ShowAndRaise();
    }
    QString answer = RunRpcRequest(*m_controller, request);
    if (request.verb == RpcVerb::kStatus && m_reachability) {
        // Before the state's text, which runs to the end of the line.
        const qsizetype at = answer.indexOf(QStringLiteral(" text="));
        if (at >= 0) {
            answer.insert(at,
                          QStringLiteral(" reach=") + QLatin1String(m_reachability->StateWord()));
        }
    }
    return answer;
}
