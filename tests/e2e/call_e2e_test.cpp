#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "e2e/call_fixture.h"
#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "store/call_history.h"
#include "store/records.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

// Two phones and a server; the second phone speaks the speech backwards, so
// each side's voice can be told apart in the other's loudspeaker.
class CallTest : public CallFixture {};

}  // namespace

TEST(FirstStart, DefaultsStartAtLogonAndACancelledRegistration) {
    kestrona::testing::TempDir dir;
    Phone phone(dir.path() / "p", 1, SourceDir() / "tests" / "data" / "speech_8k.wav");
    std::filesystem::remove(phone.ConfigDir() / "Ostravine" / "Kestrona.conf");
    ASSERT_TRUE(phone.StartProcess(
        {}, {{QStringLiteral("KESTRONA_AUTO_REGISTER"), QStringLiteral("cancel")}}));
    ASSERT_TRUE(WaitUntil([&] { return !phone.Running(); }));
    EXPECT_TRUE(HasMessage(phone, 145));
    EXPECT_EQ(phone.Setting("Version"), "1");
    EXPECT_EQ(phone.Setting("HostPort"), "10004");
    EXPECT_EQ(phone.Setting("Directory"), phone.WorkDir().string());
    EXPECT_EQ(phone.Setting("AlreadyRegisterNew"), "");

    // The data folder is the program directory, wherever the phone started.
    EXPECT_TRUE(std::filesystem::is_directory(phone.WorkDir() / "list"));
    EXPECT_TRUE(std::filesystem::is_directory(phone.WorkDir() / "record"));
    EXPECT_TRUE(std::filesystem::is_empty(phone.StartDir()));
    std::ifstream link(phone.WorkDir() / "autoboot.lnk");
    std::string text((std::istreambuf_iterator<char>(link)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[Desktop Entry]"), std::string::npos);
    EXPECT_NE(text.find("Exec=" + PhoneProgram().string() + " AUTOBOOT\n"), std::string::npos)
        << text;
    std::ifstream entry(dir.path() / "p" / "autostart" / "kestrona.desktop");
    std::string installed((std::istreambuf_iterator<char>(entry)),
                          std::istreambuf_iterator<char>());
    EXPECT_EQ(installed, text);
}

// A display that nothing answers on (a stale DISPLAY, say) is reported, not
// left to the window system library, which would abort the process.
TEST(FirstStart, AnUnreachableDisplayIsReportedNotACrash) {
    kestrona::testing::TempDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":4711"));
    env.insert(QStringLiteral("KESTRONA_CONFIG_HOME"), QString::fromStdString(dir.path().string()));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(dir.path().string()));
    QProcess phone;
    phone.setProcessEnvironment(env);
    phone.setWorkingDirectory(QString::fromStdString(dir.path().string()));
    phone.start(QString::fromStdString(PhoneProgram().string()), {});
    ASSERT_TRUE(phone.waitForFinished(20000));
    EXPECT_EQ(phone.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(phone.exitCode(), 2);
    EXPECT_TRUE(phone.readAllStandardError().contains("\":4711\" cannot be opened"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "Ostravine" / "Kestrona.conf"));
}

TEST_F(CallTest, DialAnswerTalkHangUp) {
    auto a = MakePhone("alice", speech);
    auto b = MakePhone("bob", reversed);
    ASSERT_TRUE(a->Status() && b->Status());
    // Registration, then the login with the password just chosen.
    EXPECT_TRUE(HasMessage(*a, 136) || !a->Messages().empty());
    EXPECT_EQ(a->Setting("id"), std::to_string(a->Number()));
    EXPECT_EQ(a->Setting("AlreadyRegisterNew"), "1");

    QElapsedTimer setup;
    setup.start();
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3));
    std::printf("[ measured ] dial to ringing on loopback: %lld ms\n",
                static_cast<long long>(setup.elapsed()));
    EXPECT_EQ(b->Status()->peer, a->Number());
    EXPECT_EQ(a->Status()->state, 1);

    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2));
    ASSERT_TRUE(b->WaitState(2));
    // Talk until each side has played four more seconds (the loudspeaker
    // file also holds the ring-back).
    const double heardA = SpeakerSeconds(*a), heardB = SpeakerSeconds(*b);
    ASSERT_TRUE(WaitUntil(
        [&] { return SpeakerSeconds(*a) >= heardA + 4 && SpeakerSeconds(*b) >= heardB + 4; }));
    ASSERT_EQ(a->Rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(0));
    ASSERT_TRUE(b->WaitState(0));

    const auto made = a->History(kHistoryMade);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].number, b->Number());
    // Between two of our phones the call runs in Opus, wideband.
    EXPECT_EQ(made[0].rate, 16000);
    const auto taken = b->History(kHistoryTaken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].number, a->Number());
    EXPECT_TRUE(b->History(kHistoryMissed).empty());
    // Started from empty folders, the phones kept everything in their data
    // folders and had nothing to complain about.
    for (const Phone* phone : {a.get(), b.get()}) {
        EXPECT_TRUE(std::filesystem::is_empty(phone->StartDir()));
        for (const std::string& line : phone->Messages()) {
            EXPECT_EQ(line.find("open failed"), std::string::npos) << line;
        }
    }

    ASSERT_TRUE(WaitUntil([&] { return server->Reports().size() >= 2; }, 10000));
    const auto reports = server->Reports();
    EXPECT_EQ(reports[0][0], 1);  // the callee answered
    EXPECT_EQ(reports[0][1], a->Number());
    EXPECT_EQ(reports[0][2], b->Number());
    EXPECT_EQ(reports[1][0], 2);  // the caller hung up
    EXPECT_EQ(reports[1][1], b->Number());
    EXPECT_EQ(reports[1][2], a->Number());

    // Each hears the other, through the codec, and not itself.
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

TEST_F(CallTest, AnsweringMachineRecordsTheCaller) {
    auto a = MakePhone("carol", speech);
    auto b = MakePhone("dave", reversed,
                       {{"autoaa", "1"}, {"aatime", "2"}, {"forcebreak", "1"}, {"aafbtime", "5"}});
    ASSERT_TRUE(a->Status() && b->Status());
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(7));
    ASSERT_TRUE(b->WaitState(7));
    // The machine breaks off by itself; the caller follows.
    ASSERT_TRUE(b->WaitState(0, 30000));
    ASSERT_TRUE(a->WaitState(0));

    const auto missed = b->History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].number, a->Number());
    EXPECT_EQ(missed[0].recorded, 1);
    EXPECT_EQ(missed[0].rate, 16000);  // an Opus call, recorded at its rate
    EXPECT_TRUE(b->History(kHistoryTaken).empty());
    EXPECT_EQ(a->History(kHistoryMade).size(), 1u);

    const auto recording = b->WorkDir() / "record" / (missed[0].Stem() + "in");
    ASSERT_TRUE(std::filesystem::exists(recording));
    const double recorded = HeardCorrelation(recording, speech, missed[0].rate);
    std::printf("[ measured ] recording's waveform match with the caller: %.2f\n", recorded);
    EXPECT_GT(recorded, 0.6);

    a->Quit();
    const double aaHeard = BestWaveformMatch(
        ReadSamples(a->Speaker()), ReadSamples(SourceDir() / "res" / "ring" / "aa.wav"), 8000, 1.6);
    std::printf("[ measured ] caller's loudspeaker against aa.wav: %.2f\n", aaHeard);
    EXPECT_GT(aaHeard, 0.7);
}

TEST_F(CallTest, BusyOfflineAndUnreachable) {
    auto a = MakePhone("erin", speech);
    auto b = MakePhone("frank", reversed);
    auto c = MakePhone("grace", speech);

    // Nobody has this number: offline, ring-back until hang-up.
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QStringLiteral("99999")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(5));
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));

    // B is in a call with A: C hears busy.
    a->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(b->WaitState(3));
    b->Rpc({QStringLiteral("answer")});
    ASSERT_TRUE(a->WaitState(2));
    c->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(c->WaitState(4));
    EXPECT_FALSE(HasMessage(*c, 148));
    EXPECT_EQ(b->Status()->state, 2);
    // B learnt who called: a missed call at once, named when its call ends.
    ASSERT_TRUE(WaitUntil([&] { return b->History(kHistoryMissed).size() == 1; }));
    EXPECT_EQ(b->History(kHistoryMissed)[0].number, c->Number());
    const QString cNumber = QString::number(c->Number());
    EXPECT_FALSE(b->Rpc({QStringLiteral("display")}).contains(cNumber));
    c->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(c->WaitState(0));
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(b->WaitState(0));
    EXPECT_TRUE(b->Rpc({QStringLiteral("display")}).contains(cNumber));

    // B vanishes without logging out: the server still knows it, nobody answers.
    b->Kill();
    c->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(WaitUntil([&] { return HasMessage(*c, 148); }));
    EXPECT_EQ(c->Status()->state, 1);
    c->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(c->WaitState(0));
    EXPECT_EQ(c->History(kHistoryMade).size(), 2u);
}

TEST_F(CallTest, PeerKilledMidCall) {
    auto a = MakePhone("heidi", speech);
    auto b = MakePhone("ivan", reversed);
    a->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(b->WaitState(3));
    b->Rpc({QStringLiteral("answer")});
    ASSERT_TRUE(a->WaitState(2));
    ASSERT_TRUE(WaitUntil([&] { return SpeakerSeconds(*a) >= 0.5; }));
    b->Kill();
    ASSERT_TRUE(a->WaitState(6));
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));
    EXPECT_EQ(a->History(kHistoryMade).size(), 1u);
}

TEST_F(CallTest, ServerTimeOutRelaunchesThePhone) {
    auto a = MakePhone("judy", speech);
    const auto before = a->Status();
    ASSERT_TRUE(before);
    // Sessions outlive a restart, unless they timed out meanwhile: then the next
    // keep-alive hears ALREADYTIMEOUT.
    server->Stop();
    ASSERT_TRUE(server->ForgetSessions());
    ASSERT_TRUE(server->Start()) << server->Log();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto now = a->Status();
            return now && now->pid != before->pid;
        },
        60000, 200));
    EXPECT_FALSE(a->Running());  // the old process is gone
    EXPECT_EQ(a->Status()->state, 0);
    EXPECT_EQ(a->Status()->own, a->Number());  // logged in again
    const std::string log = server->Log();
    EXPECT_NE(log.find("USERLIVE -> timed out"), std::string::npos);
}

TEST_F(CallTest, EndedPhoneTellsItsPeerAndLogsOut) {
    auto a = MakePhone("karl", speech);
    auto b = MakePhone("lena", reversed);
    a->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(b->WaitState(3));
    b->Rpc({QStringLiteral("answer")});
    ASSERT_TRUE(a->WaitState(2));
    a->Terminate();
    ASSERT_TRUE(b->WaitState(0));
    EXPECT_EQ(b->History(kHistoryTaken).size(), 1u);
    ASSERT_TRUE(
        WaitUntil([&] { return server->Log().find("USERLOGOUT") != std::string::npos; }, 10000));
}

TEST_F(CallTest, ASecondStartHandsOverToTheRunningPhone) {
    auto a = MakePhone("mona", speech);
    const auto first = a->Status();
    ASSERT_TRUE(first);
    // The same user and settings again, with a click-to-call link.
    Phone again(dir.path() / "mona", server->Port(), speech);
    ASSERT_TRUE(again.StartProcess({QStringLiteral("callto:4321")}, {}));
    ASSERT_TRUE(WaitUntil([&] { return !again.Running(); }, 20000));
    const auto now = a->Status();
    ASSERT_TRUE(now);
    EXPECT_EQ(now->pid, first->pid);
    EXPECT_EQ(now->peer, 4321);
    EXPECT_EQ(now->state, 0);
}

// What an earlier phone left in the data folder, run from a build tree that
// is gone since: its call lists and recordings are found and extended, and
// the start at logon is pointed at the program that runs now.
TEST_F(CallTest, AnEarlierPhonesFilesAreFoundAndKept) {
    Phone a(dir.path() / "nina", server->Port(), speech);
    const auto list = a.WorkDir() / "list";
    std::filesystem::create_directories(list);
    std::filesystem::create_directories(a.WorkDir() / "record");
    HistoryRecord earlier =
        BeginRecord(4711, kHistoryMade, SystemTime{2025, 3, 2, 4, 10, 11, 12, 0}, a.WorkDir());
    earlier.recorded = 1;
    ASSERT_EQ(AppendRecord(earlier, a.WorkDir()), AppendResult::kAppended);
    const auto recording = a.WorkDir() / "record" / (earlier.Stem() + "out");
    std::ofstream(recording, std::ios::binary) << std::string(1600, '\x01');
    std::ofstream(a.WorkDir() / "autoboot.lnk")
        << "[Desktop Entry]\nType=Application\nName=Kestrona\nExec=/gone/build/ui/kestrona "
           "AUTOBOOT\nPath="
        << a.WorkDir().string() << "\n";

    ASSERT_TRUE(a.Register("nina")) << a.Output();
    auto b = MakePhone("otto", reversed);
    ASSERT_EQ(a.Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3));
    ASSERT_EQ(a.Rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
    ASSERT_TRUE(a.WaitState(0));

    const auto made = a.History(kHistoryMade);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].number, 4711);
    EXPECT_EQ(made[0].Stem(), earlier.Stem());
    EXPECT_EQ(made[1].number, b->Number());
    EXPECT_EQ(std::filesystem::file_size(recording), 1600u);

    std::ifstream link(a.WorkDir() / "autoboot.lnk");
    const std::string text((std::istreambuf_iterator<char>(link)),
                           std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Exec=" + PhoneProgram().string() + " AUTOBOOT\n"), std::string::npos)
        << text;
}
