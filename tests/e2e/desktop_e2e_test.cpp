// Phones on a desktop session's bus: a private dbus-daemon started by the
// test, with a notification service and a screen saver of the test's own
// (tests/support/desktop_bus_service.cpp) that logs every request.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <fstream>
#include <regex>
#include <sstream>

#include "e2e/call_fixture.h"
#include "e2e/e2e_rig.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

QString Q(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

void Stop(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// The bus and the services on it, for the life of one test; both processes
// are killed and reaped at its end, whatever happened.
class DesktopSession {
  public:
    DesktopSession(const std::filesystem::path& dir, bool actions) : m_dir(dir) {
        std::filesystem::create_directories(dir);
        // No service folders: nothing of the machine is started on demand.
        std::ofstream(dir / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << (dir / "bus").string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        m_address = QStringLiteral("unix:path=") + Q(dir / "bus");
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.setStandardOutputFile(Q(dir / "daemon.log"));
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                        QStringLiteral("--config-file=") + Q(dir / "bus.conf")});
        if (!m_daemon.waitForStarted(10000) ||
            !WaitUntil([&] { return std::filesystem::exists(dir / "bus"); }, 10000)) {
            return;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_service.setProcessEnvironment(env);
        m_service.setProcessChannelMode(QProcess::MergedChannels);
        m_service.setStandardOutputFile(Q(dir / "service.out"));
        QStringList args{QStringLiteral("--log"), Q(dir / "service.log"),
                         QStringLiteral("--lifetime"), QStringLiteral("280")};
        if (!actions) {
            args << QStringLiteral("--no-actions");
        }
        m_service.start(Q(BinaryDir() / "tests" / "e2e" / "desktop_bus_service"), args);
        m_service.waitForStarted(10000);
        m_ready = WaitUntil([&] { return !Lines("ready").empty(); }, 15000);
    }
    ~DesktopSession() {
        Stop(m_service);
        Stop(m_daemon);
    }
    bool Ready() const { return m_ready; }
    const QString& Address() const { return m_address; }

    // The log's lines that begin with `word`.
    std::vector<std::string> Lines(const std::string& word) const {
        std::vector<std::string> lines;
        std::ifstream in(m_dir / "service.log");
        for (std::string line; std::getline(in, line);) {
            if (line == word || line.rfind(word + " ", 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    std::string Log() const {
        std::ifstream in(m_dir / "service.log");
        std::stringstream s;
        s << in.rdbuf();
        return "\n--- desktop service\n" + s.str();
    }

    // The user clicks `key` on notification `id`.
    bool Invoke(unsigned id, const QString& key) const {
        return Control({QStringLiteral("org.kestrona.TestDesktop.Invoke"),
                        QStringLiteral("uint32:%1").arg(id), QStringLiteral("string:") + key});
    }
    // A tray comes to the session.
    bool StartWatcher() const {
        return Control({QStringLiteral("org.kestrona.TestDesktop.StartWatcher")});
    }

  private:
    bool Control(const QStringList& call) const {
        QProcess send;
        send.start(QStringLiteral("dbus-send"),
                   QStringList{
                       QStringLiteral("--bus=") + m_address, QStringLiteral("--print-reply"),
                       QStringLiteral("--dest=org.kestrona.TestDesktop"), QStringLiteral("/test")} +
                       call);
        if (!send.waitForFinished(10000)) {
            Stop(send);
            return false;
        }
        return send.exitCode() == 0;
    }

    std::filesystem::path m_dir;
    QString m_address;
    QProcess m_daemon;
    QProcess m_service;
    bool m_ready = false;
};

// One field of a log line ("id", "pid", ...); the texts (summary, body) run
// to the end and are read with Text.
std::string Field(const std::string& line, const std::string& name) {
    const std::regex re("(?:^| )" + name + "=(\\S*)");
    std::smatch m;
    return std::regex_search(line, m, re) ? m[1].str() : std::string();
}

std::string Body(const std::string& line) {
    const auto at = line.find(" body=");
    return at == std::string::npos ? std::string() : line.substr(at + 6);
}

class DesktopCallTest : public CallFixture {
  protected:
    std::unique_ptr<Phone> PhoneOnBus(const std::string& name, const std::filesystem::path& mic,
                                      const DesktopSession& session) {
        auto phone = std::make_unique<Phone>(dir.path() / name, server->Port(), mic);
        phone->SetEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), session.Address());
        EXPECT_TRUE(phone->Register(name)) << phone->Output() << Logs();
        return phone;
    }
    // Started again without its window, as at logon.
    static void Hide(Phone& phone) {
        phone.Quit();
        ASSERT_TRUE(phone.Start({QStringLiteral("AUTOBOOT")})) << phone.Output();
    }
    static std::vector<std::string> From(const std::vector<std::string>& lines, long pid) {
        std::vector<std::string> mine;
        for (const auto& line : lines) {
            if (Field(line, "pid") == std::to_string(pid)) {
                mine.push_back(line);
            }
        }
        return mine;
    }
};

}  // namespace

// A call to a phone out of sight raises one notification that names the
// caller; its Answer answers the call, and the call's speech flows while
// both phones hold the screen saver off. Decline refuses the next call, and
// a call nobody answers leaves the same notification as a missed call.
TEST_F(DesktopCallTest, ACallsNotificationAnswersDeclinesAndBecomesAMissedCall) {
    DesktopSession session(dir.path() / "session", true);
    ASSERT_TRUE(session.Ready()) << session.Log();
    auto a = PhoneOnBus("kate", speech, session);
    auto b = PhoneOnBus("liam", reversed, session);
    Hide(*b);
    const long pidA = a->Status()->pid, pidB = b->Status()->pid;
    // The phones asked what the service can do before anything rings.
    ASSERT_TRUE(WaitUntil([&] { return session.Lines("capabilities").size() >= 2; }))
        << session.Log();

    // The call rings: one critical notification of an incoming call, up
    // until it is answered, with the caller's number.
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << b->Output();
    ASSERT_TRUE(WaitUntil([&] { return !From(session.Lines("notify"), pidB).empty(); }))
        << session.Log();
    auto notes = From(session.Lines("notify"), pidB);
    ASSERT_EQ(notes.size(), 1u) << session.Log();
    EXPECT_TRUE(From(session.Lines("notify"), pidA).empty()) << session.Log();
    const std::string ring = notes[0];
    EXPECT_NE(Body(ring).find(std::to_string(a->Number())), std::string::npos) << ring;
    EXPECT_EQ(Field(ring, "replaces"), "0");
    EXPECT_EQ(Field(ring, "urgency"), "2");
    EXPECT_EQ(Field(ring, "category"), "call.incoming");
    EXPECT_EQ(Field(ring, "entry"), "org.ostravine.Kestrona");
    EXPECT_EQ(Field(ring, "expire"), "0");
    EXPECT_EQ(Field(ring, "actions"), "default,answer,decline");
    const unsigned ringId = std::stoul(Field(ring, "id"));
    // Nothing holds the screen on while it only rings.
    EXPECT_TRUE(session.Lines("inhibit").empty()) << session.Log();

    ASSERT_TRUE(session.Invoke(ringId, QStringLiteral("answer")));
    ASSERT_TRUE(b->WaitState(2)) << b->Output();
    ASSERT_TRUE(a->WaitState(2)) << a->Output();
    const double heardA = SpeakerSeconds(*a), heardB = SpeakerSeconds(*b);
    EXPECT_TRUE(WaitUntil([&] {
        return SpeakerSeconds(*a) >= heardA + 3 && SpeakerSeconds(*b) >= heardB + 3;
    })) << "the loudspeakers stopped playing";
    // Answered: the banner is gone, and each phone holds the screen on.
    EXPECT_TRUE(WaitUntil([&] {
        return session.Lines("close").size() == 1 &&
               Field(session.Lines("close")[0], "id") == std::to_string(ringId);
    })) << session.Log();
    ASSERT_TRUE(WaitUntil([&] {
        return From(session.Lines("inhibit"), pidA).size() == 1 &&
               From(session.Lines("inhibit"), pidB).size() == 1;
    })) << session.Log();
    EXPECT_TRUE(session.Lines("uninhibit").empty()) << session.Log();

    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));
    ASSERT_TRUE(b->WaitState(0));
    // Both holds given back, each once.
    EXPECT_TRUE(WaitUntil([&] {
        const auto lines = session.Lines("uninhibit");
        return lines.size() == 2 && Field(lines[0], "held") == "1" &&
               Field(lines[1], "held") == "1";
    })) << session.Log();

    // The next call: Decline refuses it, on both phones.
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << b->Output();
    ASSERT_TRUE(WaitUntil([&] { return From(session.Lines("notify"), pidB).size() == 2; }))
        << session.Log();
    const std::string second = From(session.Lines("notify"), pidB)[1];
    EXPECT_EQ(Field(second, "replaces"), "0") << "a new call has a notification of its own";
    const unsigned secondId = std::stoul(Field(second, "id"));
    EXPECT_NE(secondId, ringId);
    ASSERT_TRUE(session.Invoke(secondId, QStringLiteral("decline")));
    EXPECT_TRUE(b->WaitState(0)) << b->Output();
    EXPECT_TRUE(a->WaitState(0)) << a->Output();
    EXPECT_TRUE(WaitUntil([&] { return session.Lines("close").size() == 2; })) << session.Log();
    EXPECT_EQ(session.Lines("inhibit").size(), 2u) << "a refused call holds nothing";

    // A call the caller gives up: the same notification becomes a missed
    // call that offers to call back.
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << b->Output();
    ASSERT_TRUE(WaitUntil([&] { return From(session.Lines("notify"), pidB).size() == 3; }))
        << session.Log();
    const unsigned thirdId = std::stoul(Field(From(session.Lines("notify"), pidB)[2], "id"));
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(b->WaitState(0)) << b->Output();
    ASSERT_TRUE(WaitUntil([&] { return From(session.Lines("notify"), pidB).size() == 4; }))
        << session.Log();
    const std::string missed = From(session.Lines("notify"), pidB)[3];
    EXPECT_EQ(Field(missed, "replaces"), std::to_string(thirdId)) << missed;
    EXPECT_EQ(Field(missed, "category"), "call.unanswered");
    EXPECT_EQ(Field(missed, "actions"), "default,call-back");
    EXPECT_NE(Body(missed).find(std::to_string(a->Number())), std::string::npos) << missed;
    EXPECT_EQ(session.Lines("close").size(), 2u) << "a missed call stays in the list";
    EXPECT_EQ(b->History(2).size(), 1u);

    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

// A phone that dies in the middle of a call holds nothing: its hold ends
// with its bus connection. A service without actions gets no call
// notifications (the phone behaves as without one), and the hold is there
// all the same.
TEST_F(DesktopCallTest, AKilledPhonesHoldEndsAndAServiceWithoutActionsShowsNothing) {
    DesktopSession session(dir.path() / "session", false);
    ASSERT_TRUE(session.Ready()) << session.Log();
    auto a = PhoneOnBus("mona", speech, session);
    auto b = PhoneOnBus("nils", reversed, session);
    Hide(*b);
    const long pidB = b->Status()->pid;
    ASSERT_TRUE(WaitUntil([&] { return session.Lines("capabilities").size() >= 2; }))
        << session.Log();

    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << b->Output();
    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2)) << a->Output();
    ASSERT_TRUE(b->WaitState(2)) << b->Output();
    ASSERT_TRUE(WaitUntil([&] { return From(session.Lines("inhibit"), pidB).size() == 1; }))
        << session.Log();
    const std::string cookie = Field(From(session.Lines("inhibit"), pidB)[0], "cookie");
    EXPECT_TRUE(session.Lines("notify").empty()) << session.Log();

    b->Kill();
    EXPECT_TRUE(WaitUntil([&] {
        const auto gone = session.Lines("vanished");
        return gone.size() == 1 && Field(gone[0], "cookie") == cookie;
    })) << session.Log();
    EXPECT_TRUE(session.Lines("uninhibit").empty()) << session.Log();
}

// A tray that comes to the session after the phone gets the phone's icon:
// the phone registers with it, its icon answers as a tray reads it, and it
// asks for attention while a call rings.
TEST_F(DesktopCallTest, ATrayThatComesAfterThePhoneGetsTheIcon) {
    DesktopSession session(dir.path() / "session", true);
    ASSERT_TRUE(session.Ready()) << session.Log();
    auto a = PhoneOnBus("olga", speech, session);
    auto b = PhoneOnBus("pete", reversed, session);
    const long pidB = b->Status()->pid;
    ASSERT_TRUE(WaitUntil([&] { return session.Lines("capabilities").size() >= 2; }))
        << session.Log();
    EXPECT_TRUE(session.Lines("item").empty());

    ASSERT_TRUE(session.StartWatcher()) << session.Log();
    ASSERT_TRUE(WaitUntil([&] {
        return From(session.Lines("item"), pidB).size() == 1 &&
               session.Lines("item-props").size() == 2;
    })) << session.Log();
    for (const auto& props : session.Lines("item-props")) {
        EXPECT_EQ(Field(props, "status"), "Active") << props;
        EXPECT_NE(Field(props, "icon"), "0x0") << props;
        EXPECT_EQ(Field(props, "icon").find('-'), std::string::npos) << props;
    }

    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << b->Output();
    EXPECT_TRUE(WaitUntil([&] {
        const auto status = session.Lines("item-status");
        return !status.empty() && status[0] == "item-status NeedsAttention";
    })) << session.Log();
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(b->WaitState(0)) << b->Output();
}
