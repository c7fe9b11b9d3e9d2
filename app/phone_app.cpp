#include "app/phone_app.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QWidget>
#include <cstdio>

#include "app/autostart.h"
#include "app/call_clock.h"
#include "app/call_controller.h"
#include "app/call_services.h"
#include "app/instance_channel.h"
#include "app/keep_alive.h"
#include "app/message_box.h"
#include "app/sound_check.h"
#include "app/ui_language.h"
#include "platform/app_paths.h"
#include "res/strings.h"

namespace kestrona {
namespace {

// The wording of the box when another phone runs but does not answer.
const char* const kAlreadyRunning = QT_TRANSLATE_NOOP("CPhoneApp", "Kestrona 已经在运行。");

class AppMessageBox : public IMessageBox {
  public:
    int ShowMessage(int stringId) override { return ShowText(ResString(stringId).toStdString()); }
    int ShowText(const std::string& utf8) override {
        const QString text = QString::fromStdString(utf8);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || QThread::currentThread() == app->thread()) {
            return ShowMessageText(text);
        }
        // Another thread: hand the box to the application's thread and go on.
        QMetaObject::invokeMethod(
            app, [text] { ShowMessageText(text); }, Qt::QueuedConnection);
        return 1;
    }
};

int g_signalPipe[2] = {-1, -1};

void OnQuitSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

}  // namespace

std::unique_ptr<IMessageBox> MakeAppMessageBox() {
    return std::make_unique<AppMessageBox>();
}

int32_t ParseCallTo(const QString& text) {
    QString rest = text.trimmed();
    if (!rest.startsWith(QLatin1String("callto:"), Qt::CaseInsensitive)) {
        return 0;
    }
    rest = rest.mid(7);
    while (rest.startsWith(QLatin1Char('/'))) {
        rest.remove(0, 1);
    }
    if (rest.endsWith(QLatin1Char('/'))) {
        rest.chop(1);
    }
    bool ok = false;
    const qlonglong n = rest.toLongLong(&ok);
    if (!ok || n < 1 || n > 0x7fffffff) {
        return 0;
    }
    return static_cast<int32_t>(n);
}

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine line;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg.startsWith(QLatin1Char('-'))) {
            continue;
        }
        line.autoBoot = arg.contains(QLatin1String("AUTOBOOT"));
        break;
    }
    line.delay = arguments.join(QLatin1Char(' ')).contains(QLatin1String("DELAY"));
    for (int i = 1; i < arguments.size(); ++i) {
        if (const int32_t n = ParseCallTo(arguments[i]); n > 0) {
            line.callTo = n;
        }
    }
    return line;
}

int RunRpcClient(const QStringList& args) {
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: kestrona rpc dial NUMBER | answer | hangup | status | quit\n");
        return 2;
    }
    QStringList request{QStringLiteral("rpc")};
    request += args;
    const auto answer = SendToRunningInstance(request);
    if (!answer) {
        std::fprintf(stderr, "kestrona: no running phone answers\n");
        return 1;
    }
    std::printf("%s\n", answer->toUtf8().constData());
    return answer->startsWith(QLatin1String("error")) ? 1 : 0;
}

}  // namespace kestrona

using namespace kestrona;

CPhoneApp::CPhoneApp(int& argc, char** argv)
    : QApplication(argc, argv), m_net(*this), m_messages(MakeAppMessageBox()) {
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
    m_net.window = nullptr;
    m_pMainWnd.reset();
    m_controller.reset();
    if (g_signalPipe[0] >= 0) {
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
    }
}

CPhoneApp* CPhoneApp::Instance() {
    return qobject_cast<CPhoneApp*>(QCoreApplication::instance());
}

int CPhoneApp::Run() {
    InitInstance();
    return ExitInstance();
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
        QThread::msleep(1000);
        m_bStartHidden = true;
    }
    m_nCallToNumber = line.callTo;

    m_channel = std::make_unique<CInstanceChannel>();
    if (!m_channel->Listen()) {
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
    CSysRegInfo::SetProgramDirectory(phoneDir.string());
    CSysRegInfo::SetAutoBootHook([](const std::string& directory) {
        const QString dir = QString::fromStdString(directory);
        CreateAutoBootShortcut(dir + QStringLiteral("/autoboot.lnk"), ProgramPath(),
                               QStringLiteral("AUTOBOOT"), dir);
    });
    if (m_regInfo.GetRegInt("Version") == -1) {
        m_regInfo.InitRegKeys(nullptr);
    }
    LoadSettings();
    RegisterAutoStart();
    InstallQuitSignals();

    if (!m_pFactory) {
        std::fprintf(stderr, "kestrona: no user interface registered\n");
        return false;
    }

    if (m_regInfo.GetRegInt("AlreadyRegisterNew") == -1) {
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
            m_regInfo.SetRegInt("AlreadyRegisterNew", 1);
        } else if (result == 4) {
            int32_t number = 0;
            if (m_pFactory->RunLoginDialog(number, QString()) != 1 || m_bQuitRequested) {
                return false;
            }
            m_regInfo.SetRegInt("AlreadyRegisterNew", 1);
            m_bLoggedIn = true;
            m_nID = number;
        }
    }
    if (!m_bLoggedIn) {
        m_nID = m_regInfo.GetRegInt("ID");
        LoginAtStartup();
    }
    if (m_bQuitRequested) {
        return false;
    }
    BuildLocalAddress();
    if (m_bLoggedIn) {
        StartKeepAlive();
    }
    if (!m_net.m_strLoginNotice.empty()) {
        ShowMessageText(QString::fromStdString(m_net.m_strLoginNotice));
    }
    if (m_bQuitRequested) {
        return false;
    }

    m_soundCheck = std::make_unique<CSoundCheck>(*m_messages);
    m_callServices = MakeCallServices(m_net);
    m_callClock = MakeQtCallClock();
    m_controller = std::make_unique<CCallController>(*m_callServices, *this, *m_callClock);
    m_controller->SetLocalAddress(m_strLocalAddress);
    m_pMainWnd = m_pFactory->CreatePhoneWindow(*m_controller);
    m_net.window = m_controller.get();
    if (m_pMainWnd && !m_bStartHidden) {
        m_pMainWnd->Widget()->show();
    }
    if (m_nCallToNumber > 0) {
        m_controller->HandleRequest({QStringLiteral("callto"), QString::number(m_nCallToNumber)});
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
    m_net.ReleaseSockets(m_bLoggedIn);
    m_net.window = nullptr;
    m_pMainWnd.reset();
    m_controller.reset();
    return 0;
}

void CPhoneApp::LoadSettings() {
    LoadSettingsModel(*this, m_regInfo);
    m_net.OpenCmdListenSocket();
}

bool CPhoneApp::LoginAtStartup() {
    int32_t number = m_regInfo.GetRegInt("id");
    char password[CSysRegInfo::kRegReadCap] = {};
    m_regInfo.GetRegValue("password", password);
    if (m_pFactory->RunLoginDialog(number, QString::fromUtf8(password)) != 1) {
        return false;
    }
    m_nID = number;
    m_bLoggedIn = true;
    return true;
}

void CPhoneApp::BuildLocalAddress() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
        return;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&in->sin_addr.s_addr);
    const QString address = QStringLiteral("%1.%2.%3.%4").arg(b[0]).arg(b[1]).arg(b[2]).arg(b[3]);
    freeaddrinfo(found);
    const int port = m_net.m_pCmdListenSocket ? m_net.m_pCmdListenSocket->m_nPort : 0;
    m_strLocalAddress = QStringLiteral("%1 %2:%3").arg(m_nID).arg(address).arg(port);
}

void CPhoneApp::StartKeepAlive() {
    const std::string program = ProgramPath().toStdString();
    const int32_t number = m_nID;
    const int period = m_net.m_nLivePeriod;
    const std::string section = m_net.regSection;
    const SettingsModel model = *this;
    m_keepAlive = std::make_unique<CKeepAlive>(
        [section, model] {
            CSysRegInfo store;
            store.SetRegSection(section.c_str());
            KeepAliveTarget target;
            char host[CSysRegInfo::kRegReadCap] = {};
            store.GetRegValue("Host", host);
            target.host = host;
            target.port = store.GetRegInt("HostPort");
            target.timeoutMs = model.m_nTimeout * 1000;
            target.viaHttpProxy = model.m_nProxy == 1;
            target.proxyAddress = model.m_szProxyAddress;
            target.proxyPort = model.m_nHttpPort;
            return target;
        },
        [number] { return number; }, [period] { return period; },
        [program] { RelaunchAndTerminate(program); });
    m_keepAlive->Start();
}

QString CPhoneApp::HandleRequest(const QStringList& args) {
    if (args.isEmpty()) {
        return QStringLiteral("error empty request");
    }
    const QString& verb = args.front();
    if (verb == QLatin1String("show")) {
        if (!m_pMainWnd) {
            return QStringLiteral("error no phone window yet");
        }
        m_pMainWnd->ShowAndRaise();
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("callto")) {
        if (!m_controller) {
            m_nCallToNumber = args.value(1).toInt();
            return QStringLiteral("ok");
        }
        if (m_pMainWnd) {
            m_pMainWnd->ShowAndRaise();
        }
        return m_controller->HandleRequest(args);
    }
    if (verb == QLatin1String("rpc")) {
        if (!m_controller) {
            return QStringLiteral("error no phone window yet");
        }
        return m_controller->HandleRequest(args.mid(1));
    }
    return QStringLiteral("error unknown request");
}

void CPhoneApp::InstallQuitSignals() {
    // SIGTERM and SIGINT end the loop the ordinary way, so the session is
    // logged out and an open call is told.
    // The pipe outlives an application object; a later one in the same
    // process (the tests make several) listens to it again.
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], buffer, sizeof buffer);
        EndMessageLoop();
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
