// The start-up of the application object, with the dialogs and the phone
// window replaced by a recording factory. Each test makes its own
// application object, so this file brings its own main.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QDialog>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/call_controller.h"
#include "app/instance_channel.h"
#include "app/phone_app.h"
#include "platform/temp_dir.h"
#include "res/strings.h"
#include "settings/sys_reg_info.h"

using namespace kestrona;

namespace {

struct FakeWindow : QWidget, IPhoneMainWindow {
    explicit FakeWindow(bool& shown) : shown(shown) {}
    QWidget* Widget() override { return this; }
    ICallView* View() override { return nullptr; }
    void ShowAndRaise() override {}
    void setVisible(bool visible) override {
        shown = shown || visible;
        QWidget::setVisible(visible);
    }
    bool& shown;
};

// What a modal dialog does when SIGTERM arrives while it is open: its own
// loop ends with the application's, and it reports "rejected".
int DialogEndedByQuitSignal() {
    ::raise(SIGTERM);
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    return 0;
}

struct FakeFactory : IUiFactory {
    std::vector<std::string> calls;
    std::string quitSignalIn;  // "connection", "register" or "login"
    int registerResult = 1;
    int loginResult = 1;
    int32_t loginNumber = 777;
    std::string notice;
    bool windowShown = false;
    int32_t numberAtStart = 0;

    std::unique_ptr<IPhoneMainWindow> CreatePhoneWindow(CCallController& controller) override {
        calls.push_back("window");
        QTimer::singleShot(0, qApp, [this, &controller] {
            numberAtStart = controller.PeerNumber();
            QCoreApplication::quit();
        });
        return std::make_unique<FakeWindow>(windowShown);
    }
    int RunConnectionDialog() override {
        calls.push_back("connection");
        if (quitSignalIn == "connection") {
            return DialogEndedByQuitSignal();
        }
        if (askDuringConnection) {
            return AskWhileTheDialogIsOpen();
        }
        return 1;
    }
    // A second start and a script ask the starting phone while its first
    // dialog is open: neither waits, and the script learns it is starting.
    int AskWhileTheDialogIsOpen() {
        QDialog dialog;
        dialog.setModal(true);
        dialog.show();
        QEventLoop loop;
        std::thread asker([&] {
            answers.push_back(
                SendToRunningInstance({QStringLiteral("rpc"), QStringLiteral("status")})
                    .value_or(QStringLiteral("none")));
            answers.push_back(
                SendToRunningInstance({QStringLiteral("show")}).value_or(QStringLiteral("none")));
            answers.push_back(SendToRunningInstance({QStringLiteral("rpc"), QStringLiteral("quit")})
                                  .value_or(QStringLiteral("none")));
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        asker.join();
        dialogStillShown = dialog.isVisible();
        return 1;
    }
    bool askDuringConnection = false;
    QStringList answers;
    bool dialogStillShown = false;
    int RunRegisterDialog() override {
        calls.push_back("register");
        if (quitSignalIn == "register") {
            return DialogEndedByQuitSignal();
        }
        if (registerResult == 1) {
            CSysRegInfo().SetRegInt("ID", 4242);
        }
        return registerResult;
    }
    int RunLoginDialog(int32_t& number, const QString& password) override {
        calls.push_back("login " + std::to_string(number) + " " + password.toStdString());
        if (quitSignalIn == "login") {
            return DialogEndedByQuitSignal();
        }
        if (loginResult == 1) {
            number = loginNumber;
            CPhoneApp::Instance()->Net().m_strLoginNotice = notice;
        }
        return loginResult;
    }
};

class StartupTest : public ::testing::Test {
  protected:
    StartupTest() {
        char cwd[4096];
        oldCwd = getcwd(cwd, sizeof cwd) ? cwd : "/";
        EXPECT_EQ(chdir(work.path().c_str()), 0);
        messages = work.path() / "messages.log";
        ::setenv("KESTRONA_MSGLOG", messages.c_str(), 1);
        ::setenv("KESTRONA_AUTOSTART_DIR", (work.path() / "autostart").c_str(), 1);
        ::setenv("KESTRONA_PROGRAM", "/opt/kestrona/kestrona", 1);
        // No sound server to look for: its notice would come whenever the
        // search ends, before or after the messages are read.
        ::setenv("KESTRONA_AUDIO", "null", 1);
    }
    ~StartupTest() override {
        [[maybe_unused]] int rc = chdir(oldCwd.c_str());
        ::unsetenv("KESTRONA_MSGLOG");
        ::unsetenv("KESTRONA_AUTOSTART_DIR");
        ::unsetenv("KESTRONA_PROGRAM");
        ::unsetenv("KESTRONA_AUDIO");
    }
    // An installation that has started before, pointed at a port where no
    // server answers.
    void Installed(bool registered) {
        CSysRegInfo store;
        store.InitRegKeys(nullptr);
        store.SetRegValue("HostPort", "1");
        store.SetRegInt("timeout", 1);
        if (registered) {
            store.SetRegInt("AlreadyRegisterNew", 1);
            store.SetRegInt("id", 31);
            store.SetRegValue("password", "secret");
        }
    }
    // Runs a whole start-up and shutdown with these arguments.
    int Run(std::vector<std::string> args = {}) {
        args.insert(args.begin(), "kestrona");
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        CPhoneApp app(argc, argv.data());
        app.SetUiFactory(&factory);
        const int code = app.Run();
        loggedIn = app.m_bLoggedIn;
        hidden = app.m_bStartHidden;
        number = app.Settings().m_nID;
        localAddress = app.m_strLocalAddress;
        return code;
    }
    std::vector<std::string> Messages() {
        std::ifstream in(messages);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    static std::string Text(int id) {
        return ResString(id).replace(QLatin1Char('\n'), QLatin1String("\\n")).toStdString();
    }

    kestrona::testing::ConfigHome home;
    kestrona::testing::TempDir work;
    std::filesystem::path messages;
    std::string oldCwd;
    FakeFactory factory;
    bool loggedIn = false;
    bool hidden = false;
    int32_t number = 0;
    QString localAddress;
};

using Calls = std::vector<std::string>;

}  // namespace

TEST_F(StartupTest, VeryFirstStartWritesDefaultsAndEndsWhenRegistrationIsCancelled) {
    factory.registerResult = 2;
    Run();
    EXPECT_EQ(factory.calls, (Calls{"connection", "register"}));
    EXPECT_EQ(Messages(), std::vector<std::string>{Text(145)});
    CSysRegInfo store;
    EXPECT_EQ(store.GetRegInt("Version"), 1);
    EXPECT_EQ(store.GetRegInt("HostPort"), 10004);
    EXPECT_EQ(store.GetRegInt("AlreadyRegisterNew"), -1);
    // The phone's data folder, not the folder it was started in, is the
    // program directory, and the start made its folders there.
    std::string directory;
    ASSERT_TRUE(store.GetRegValue("Directory", directory));
    EXPECT_EQ(std::filesystem::path(directory), home.PhoneDir());
    EXPECT_TRUE(std::filesystem::is_directory(home.PhoneDir() / "list"));
    EXPECT_TRUE(std::filesystem::is_directory(home.PhoneDir() / "record"));
    EXPECT_FALSE(std::filesystem::exists(work.path() / "autoboot.lnk"));
    // The start-at-logon entry runs the program hidden.
    std::ifstream link(home.PhoneDir() / "autoboot.lnk");
    std::stringstream text;
    text << link.rdbuf();
    EXPECT_NE(text.str().find("Exec=/opt/kestrona/kestrona AUTOBOOT\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(work.path() / "autostart" / "kestrona.desktop"));
}

TEST_F(StartupTest, RegistrationThenLoginWithTheNewNumber) {
    Installed(false);
    Run();
    EXPECT_EQ(factory.calls, (Calls{"connection", "register", "login 4242 ", "window"}));
    EXPECT_EQ(CSysRegInfo().GetRegInt("AlreadyRegisterNew"), 1);
    EXPECT_TRUE(loggedIn);
    EXPECT_EQ(number, 777);
    EXPECT_TRUE(factory.windowShown);
}

TEST_F(StartupTest, ExistingNumberLogsInOnce) {
    Installed(false);
    factory.registerResult = 4;
    Run();
    EXPECT_EQ(factory.calls, (Calls{"connection", "register", "login 0 ", "window"}));
    EXPECT_TRUE(loggedIn);
    EXPECT_EQ(number, 777);
    EXPECT_EQ(CSysRegInfo().GetRegInt("AlreadyRegisterNew"), 1);
}

TEST_F(StartupTest, ExistingNumberWithoutLoginEndsSilently) {
    Installed(false);
    factory.registerResult = 4;
    factory.loginResult = 2;
    Run();
    EXPECT_EQ(factory.calls, (Calls{"connection", "register", "login 0 "}));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(CSysRegInfo().GetRegInt("AlreadyRegisterNew"), -1);
}

TEST_F(StartupTest, RegisteredInstallationLogsInWithStoredValues) {
    Installed(true);
    factory.notice = "今天有新版本";
    Run();
    EXPECT_EQ(factory.calls, (Calls{"login 31 secret", "window"}));
    EXPECT_TRUE(loggedIn);
    // The notice is shown once, before the window.
    EXPECT_EQ(Messages(), std::vector<std::string>{"今天有新版本"});
    if (!localAddress.isEmpty()) {
        EXPECT_TRUE(localAddress.startsWith(QStringLiteral("777 "))) << localAddress.toStdString();
    }
}

TEST_F(StartupTest, CancelledLoginStillOpensThePhone) {
    Installed(true);
    factory.loginResult = 2;
    Run();
    EXPECT_EQ(factory.calls, (Calls{"login 31 secret", "window"}));
    EXPECT_FALSE(loggedIn);
    EXPECT_EQ(number, 31);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(StartupTest, AutobootStartsHiddenAndCallToFillsTheNumber) {
    Installed(true);
    Run({"AUTOBOOT", "callto:5150"});
    EXPECT_TRUE(hidden);
    EXPECT_FALSE(factory.windowShown);
    EXPECT_EQ(factory.numberAtStart, 5150);
}

// A quit signal while a start-up dialog is open ends the program there: no
// further dialog, no phone window without an account, no box.
TEST_F(StartupTest, QuitSignalDuringAStartupDialogEndsTheStartup) {
    Installed(false);
    factory.quitSignalIn = "connection";
    Run();
    EXPECT_EQ(factory.calls, (Calls{"connection"}));

    factory = FakeFactory{};
    factory.quitSignalIn = "register";
    Run();
    EXPECT_EQ(factory.calls, (Calls{"connection", "register"}));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(CSysRegInfo().GetRegInt("AlreadyRegisterNew"), -1);

    Installed(true);
    factory = FakeFactory{};
    factory.quitSignalIn = "login";
    Run();
    EXPECT_EQ(factory.calls, (Calls{"login 31 secret"}));
    EXPECT_FALSE(factory.windowShown);
    EXPECT_FALSE(loggedIn);
}

TEST_F(StartupTest, ASecondStartDuringTheFirstDialogBringsItForwardAndScriptsHearStarting) {
    Installed(false);
    factory.askDuringConnection = true;
    Run();
    EXPECT_EQ(factory.answers, (QStringList{QStringLiteral("starting"), QStringLiteral("ok"),
                                            QStringLiteral("ok")}));
    EXPECT_TRUE(factory.dialogStillShown);
    // The quit asked for during the dialog ends the start-up there.
    EXPECT_EQ(factory.calls, (Calls{"connection"}));
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
