#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <filesystem>
#include <future>
#include <thread>

#include "app/autostart.h"
#include "app/instance_channel.h"
#include "app/phone_app.h"
#include "platform/reg_store.h"
#include "platform/temp_dir.h"
#include "settings/sys_reg_info.h"

using namespace kestrona;

namespace {

QStringList Args(std::initializer_list<const char*> list) {
    QStringList args{QStringLiteral("/opt/kestrona/kestrona")};
    for (const char* a : list) {
        args << QString::fromUtf8(a);
    }
    return args;
}

QString ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace

TEST(CommandLine, AutobootOnlyInTheFirstPlainArgument) {
    EXPECT_TRUE(ParseCommandLine(Args({"AUTOBOOT"})).autoBoot);
    EXPECT_TRUE(ParseCommandLine(Args({"xAUTOBOOTx"})).autoBoot);
    EXPECT_TRUE(ParseCommandLine(Args({"-flag", "AUTOBOOT"})).autoBoot);
    EXPECT_FALSE(ParseCommandLine(Args({"other", "AUTOBOOT"})).autoBoot);
    EXPECT_FALSE(ParseCommandLine(Args({"autoboot"})).autoBoot);
    EXPECT_FALSE(ParseCommandLine(Args({})).autoBoot);
}

TEST(CommandLine, DelayAnywhereEvenInThePath) {
    EXPECT_TRUE(ParseCommandLine(Args({"DELAY"})).delay);
    EXPECT_TRUE(ParseCommandLine(Args({"a", "b", "--x=DELAY"})).delay);
    EXPECT_TRUE(ParseCommandLine({QStringLiteral("/home/DELAYED/kestrona")}).delay);
    EXPECT_FALSE(ParseCommandLine(Args({"delay"})).delay);
}

TEST(CommandLine, CallToLinks) {
    EXPECT_EQ(ParseCallTo(QStringLiteral("callto:10001")), 10001);
    EXPECT_EQ(ParseCallTo(QStringLiteral("callto://10001/")), 10001);
    EXPECT_EQ(ParseCallTo(QStringLiteral("CALLTO:5")), 5);
    EXPECT_EQ(ParseCallTo(QStringLiteral("callto:")), 0);
    EXPECT_EQ(ParseCallTo(QStringLiteral("callto:abc")), 0);
    EXPECT_EQ(ParseCallTo(QStringLiteral("callto:-4")), 0);
    EXPECT_EQ(ParseCallTo(QStringLiteral("callto:99999999999")), 0);
    EXPECT_EQ(ParseCallTo(QStringLiteral("10001")), 0);
    EXPECT_EQ(ParseCommandLine(Args({"callto:77"})).callTo, 77);
}

TEST(CommandLineTest, ServerForOneRunIsCheckedAndReadAboveTheStoredOne) {
    CommandLine line = ParseCommandLine(Args({"--server", "dir.example.org:4000", "AUTOBOOT"}));
    EXPECT_TRUE(line.error.isEmpty());
    EXPECT_EQ(line.serverHost, QStringLiteral("dir.example.org"));
    EXPECT_EQ(line.serverPort, 4000);
    EXPECT_TRUE(line.autoBoot);  // the server's value is not the first plain argument
    line = ParseCommandLine(Args({"--server=[::1]:10004"}));
    EXPECT_EQ(line.serverHost, QStringLiteral("::1"));
    EXPECT_EQ(line.serverPort, 10004);
    EXPECT_EQ(ParseCommandLine(Args({"--server=10.0.0.1"})).serverPort, 0);
    for (const char* bad : {"host:0", "host:65536", "host:", ":80", "a b", "[::1", "x:y"}) {
        EXPECT_FALSE(ParseCommandLine(Args({"--server", bad})).error.isEmpty()) << bad;
    }
    EXPECT_FALSE(ParseCommandLine(Args({"--server"})).error.isEmpty());
    EXPECT_TRUE(ParseCommandLine(Args({"--help"})).help);

    kestrona::testing::ConfigHome home;
    CSysRegInfo store;
    store.SetRegValue("Host", "stored.example.org");
    kestrona::RegOverrideValue(CSysRegInfo::kDefaultSection, "host", "run.example.org");
    std::string host;
    ASSERT_TRUE(store.GetRegValue("Host", host));
    EXPECT_EQ(host, "run.example.org");
    store.SetRegValue("Host", "changed.example.org");  // written, yet this run keeps its own
    ASSERT_TRUE(store.GetRegValue("Host", host));
    EXPECT_EQ(host, "run.example.org");
    kestrona::RegClearOverrides();
    ASSERT_TRUE(store.GetRegValue("Host", host));
    EXPECT_EQ(host, "changed.example.org");
}

TEST(Autostart, ShortcutIsADesktopEntryRunningTheProgramHidden) {
    kestrona::testing::TempDir dir;
    const QString link = QString::fromStdString((dir.path() / "autoboot.lnk").string());
    ASSERT_TRUE(CreateAutoBootShortcut(link, QStringLiteral("/opt/my apps/kestrona"),
                                       QStringLiteral("AUTOBOOT"), QStringLiteral("/opt/my apps")));
    const QString text = ReadAll(link);
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nType=Application\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=\"/opt/my apps/kestrona\" AUTOBOOT\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nPath=/opt/my apps\n")));
    // A removed program is not started at logon.
    EXPECT_TRUE(text.contains(QStringLiteral("\nTryExec=/opt/my apps/kestrona\n")));
}

TEST(Autostart, UnusualCharactersInThePathAreQuoted) {
    kestrona::testing::TempDir dir;
    const QString link = QString::fromStdString((dir.path() / "a.desktop").string());
    ASSERT_TRUE(CreateAutoBootShortcut(link, QStringLiteral("/x/100%$b"),
                                       QStringLiteral("AUTOBOOT"), QStringLiteral("/x")));
    EXPECT_TRUE(ReadAll(link).contains(QStringLiteral("Exec=\"/x/100%%\\\\$b\" AUTOBOOT\n")));
}

TEST(Autostart, RegisterInstallsTheProgramDirectorysEntry) {
    kestrona::testing::ConfigHome home;
    kestrona::testing::TempDir program;
    kestrona::testing::TempDir autostart;
    ::setenv("KESTRONA_AUTOSTART_DIR", (autostart.path() / "nested").c_str(), 1);
    const QString dir = QString::fromStdString(program.path().string());

    EXPECT_FALSE(RegisterAutoStart());  // no "Directory" stored yet

    CSysRegInfo store;
    store.SetRegValue("Directory", program.path().c_str());
    ASSERT_TRUE(CreateAutoBootShortcut(dir + QStringLiteral("/autoboot.lnk"),
                                       dir + QStringLiteral("/kestrona"),
                                       QStringLiteral("AUTOBOOT"), dir));
    EXPECT_TRUE(RegisterAutoStart());
    EXPECT_EQ(AutostartFile(), QString::fromStdString((autostart.path() / "nested").string()) +
                                   QStringLiteral("/kestrona.desktop"));
    EXPECT_EQ(ReadAll(AutostartFile()), ReadAll(dir + QStringLiteral("/autoboot.lnk")));

    // Nothing Windows-shaped stays under the config folder: a value left by
    // an earlier version goes, with the folders it alone filled.
    const std::filesystem::path stray = kestrona::SectionFile(CSysRegInfo::kRunSection);
    CSysRegInfo run;
    run.SetRegSection(CSysRegInfo::kRunSection);
    ASSERT_TRUE(run.SetRegValue("Kestrona", "/old/autoboot.lnk"));
    ASSERT_TRUE(std::filesystem::exists(stray));
    EXPECT_TRUE(RegisterAutoStart());
    EXPECT_FALSE(std::filesystem::exists(stray));
    EXPECT_FALSE(std::filesystem::exists(kestrona::ConfigRoot() / "Microsoft"));
    // Someone else's value in the same file is kept.
    ASSERT_TRUE(run.SetRegValue("Kestrona", "/old/autoboot.lnk"));
    ASSERT_TRUE(run.SetRegValue("Other", "x"));
    EXPECT_TRUE(RegisterAutoStart());
    std::string value;
    EXPECT_FALSE(run.GetRegValue("Kestrona", value));
    EXPECT_TRUE(run.GetRegValue("Other", value));
    ::unsetenv("KESTRONA_AUTOSTART_DIR");
}

// Settings from an earlier start keep their link while its program exists; a
// link to a program that is gone (a removed build tree) is made anew for the
// program that runs now, so the start at logon starts something.
TEST(Autostart, ALinkToAProgramThatIsGoneIsRenewed) {
    kestrona::testing::ConfigHome home;
    kestrona::testing::TempDir program;
    ::setenv("KESTRONA_AUTOSTART_DIR", (program.path() / "autostart").c_str(), 1);
    const QString dir = QString::fromStdString(program.path().string());
    const QString link = dir + QStringLiteral("/autoboot.lnk");
    CSysRegInfo().SetRegValue("Directory", program.path().c_str());

    const QString existing = dir + QStringLiteral("/old build/kestrona");
    ASSERT_TRUE(QDir().mkpath(dir + QStringLiteral("/old build")));
    QFile exe(existing);
    ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
    exe.close();
    exe.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(CreateAutoBootShortcut(link, existing, QStringLiteral("AUTOBOOT"), dir));
    const QString kept = ReadAll(link);
    EXPECT_TRUE(RegisterAutoStart());
    EXPECT_EQ(ReadAll(link), kept);

    ASSERT_TRUE(QFile::remove(existing));
    ::setenv("KESTRONA_PROGRAM", "/usr/bin/kestrona-now", 1);
    EXPECT_TRUE(RegisterAutoStart());
    EXPECT_TRUE(ReadAll(link).contains(QStringLiteral("Exec=/usr/bin/kestrona-now AUTOBOOT\n")));
    EXPECT_EQ(ReadAll(AutostartFile()), ReadAll(link));
    ::unsetenv("KESTRONA_PROGRAM");
    ::unsetenv("KESTRONA_AUTOSTART_DIR");
}

namespace {

// Runs a client request on another thread while this one serves events.
std::optional<QString> Ask(const QStringList& args, const QString& name) {
    auto future = std::async(std::launch::async,
                             [args, name] { return SendToRunningInstance(args, 3000, name); });
    while (future.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return future.get();
}

}  // namespace

TEST(InstanceChannel, OneInstanceAnswersTheOthers) {
    const QString name = QStringLiteral("kestrona-test-%1").arg(QCoreApplication::applicationPid());
    CInstanceChannel first;
    ASSERT_TRUE(first.Listen(name));
    QStringList seen;
    first.SetHandler([&](const QStringList& args) {
        seen = args;
        return QStringLiteral("ok %1").arg(args.size());
    });

    // A second start finds the first one running.
    auto second = std::async(std::launch::async, [name] {
        CInstanceChannel other;
        return other.Listen(name);
    });
    while (second.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_FALSE(second.get());

    const auto answer =
        Ask({QStringLiteral("rpc"), QStringLiteral("dial"), QStringLiteral("42")}, name);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, QStringLiteral("ok 3"));
    EXPECT_EQ(seen,
              (QStringList{QStringLiteral("rpc"), QStringLiteral("dial"), QStringLiteral("42")}));

    // Arguments keep their spaces; a line break cannot split a request.
    EXPECT_EQ(*Ask({QStringLiteral("a b"), QStringLiteral("c\nd")}, name), QStringLiteral("ok 2"));
    EXPECT_EQ(seen.value(0), QStringLiteral("a b"));

    first.Close();
    EXPECT_FALSE(Ask({QStringLiteral("status")}, name).has_value());
    // Once the first has gone, a new start takes over.
    CInstanceChannel third;
    EXPECT_TRUE(third.Listen(name));
}

TEST(InstanceChannel, NamesDifferBySettingsFolder) {
    kestrona::testing::TempDir a;
    kestrona::testing::TempDir b;
    ::setenv("KESTRONA_CONFIG_HOME", a.path().c_str(), 1);
    const QString nameA = InstanceSocketName();
    ::setenv("KESTRONA_CONFIG_HOME", b.path().c_str(), 1);
    const QString nameB = InstanceSocketName();
    ::unsetenv("KESTRONA_CONFIG_HOME");
    EXPECT_NE(nameA, nameB);
    EXPECT_TRUE(nameA.startsWith(QStringLiteral("kestrona-")));
}
