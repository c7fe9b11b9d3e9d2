// Calls between two homes behind NAT routers that forward ports on request
// (miniupnpd), on the test network that nat_call_test.sh builds: neither user
// forwarded a port by hand. Run through that script only.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

constexpr int kPeerUnreachable = 148;
constexpr const char* kServerAddress = "11.0.1.1";
constexpr int kServerPort = 10004;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// Runs a program to its end; its standard output, or "" when it failed.
std::string RunProgram(const QString& program, const QStringList& args, bool* ok = nullptr) {
    QProcess process;
    process.start(program, args);
    const bool done = process.waitForFinished(15000) &&
                      process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok) {
        *ok = done;
    }
    return done ? process.readAllStandardOutput().toStdString() : std::string();
}

// The forwardings a router holds now: "outside port -> inside port" per rule
// of miniupnpd's chain.
std::vector<int> Forwarded(const std::string& router) {
    const std::string rules = RunProgram(
        QStringLiteral("ip"),
        {QStringLiteral("netns"), QStringLiteral("exec"), QString::fromStdString(router),
         QStringLiteral("nft"), QStringLiteral("list"), QStringLiteral("chain"),
         QStringLiteral("inet"), QStringLiteral("filter"), QStringLiteral("prerouting_miniupnpd")});
    static const QRegularExpression dport(QStringLiteral("dport (\\d+) dnat"));
    std::vector<int> ports;
    for (auto it = dport.globalMatch(QString::fromStdString(rules)); it.hasNext();) {
        ports.push_back(it.next().captured(1).toInt());
    }
    return ports;
}

class NatCallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        inet = Env("KESTRONA_NAT_INET");
        routers = Words(Env("KESTRONA_NAT_ROUTERS"));
        homes = Words(Env("KESTRONA_NAT_HOMES"));
        routerPids = Words(Env("KESTRONA_NAT_ROUTER_PIDS"));
        ASSERT_FALSE(inet.empty()) << "run through nat_call_test.sh";
        ASSERT_EQ(routers.size(), 2u);
        ASSERT_EQ(homes.size(), 2u);
        ASSERT_EQ(routerPids.size(), 2u);

        server = std::make_unique<QProcess>();
        server->setProcessChannelMode(QProcess::MergedChannels);
        server->setStandardOutputFile(QString::fromStdString((dir.path() / "server.log").string()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRONA_NETNS"), QString::fromStdString(inet));
        server->setProcessEnvironment(env);
        server->start(
            QString::fromStdString(ServerProgram().string()),
            {QStringLiteral("--db"), QString::fromStdString((dir.path() / "directory.db").string()),
             QStringLiteral("--listen"), QStringLiteral("0.0.0.0"), QStringLiteral("--port"),
             QString::number(kServerPort), QStringLiteral("--live-period"), QStringLiteral("1"),
             QStringLiteral("--session-timeout"), QStringLiteral("120"),
             QStringLiteral("--minimum-hash-cost")});
        ASSERT_TRUE(server->waitForStarted(10000));
        // Reachable from a home, through its router.
        const QString probe = QStringLiteral("exec 3<>/dev/tcp/%1/%2")
                                  .arg(QLatin1String(kServerAddress))
                                  .arg(kServerPort);
        ASSERT_TRUE(WaitUntil(
            [&] {
                bool ok = false;
                RunProgram(QStringLiteral("ip"),
                           {QStringLiteral("netns"), QStringLiteral("exec"),
                            QString::fromStdString(homes[0]), QStringLiteral("bash"),
                            QStringLiteral("-c"), probe},
                           &ok);
                return ok;
            },
            20000, 200));

        speech = SourceDir() / "tests" / "data" / "speech_8k.wav";
        reversed = dir.path() / "reversed_8k.wav";
        std::string error;
        ASSERT_TRUE(WriteReversedSpeech(speech, reversed, error)) << error;
    }

    void TearDown() override {
        if (server) {
            server->terminate();
            if (!server->waitForFinished(10000)) {
                server->kill();
                server->waitForFinished(5000);
            }
        }
    }

    std::unique_ptr<Phone> MakePhone(int home, const std::string& name,
                                     const std::filesystem::path& mic) {
        auto phone = std::make_unique<Phone>(
            dir.path() / name, kServerPort, mic,
            std::map<std::string, std::string>{{"Host", kServerAddress}, {"timeout", "5"}});
        phone->SetEnvironment(QStringLiteral("KESTRONA_NETNS"),
                              QString::fromStdString(homes[static_cast<size_t>(home)]));
        EXPECT_TRUE(phone->Register(name)) << phone->Output();
        return phone;
    }

    // The forwarding state the phone's options sheet shows, once the router
    // has answered.
    static std::string MappingState(const Phone& phone) {
        std::string state;
        WaitUntil(
            [&] {
                state = phone.Rpc({QStringLiteral("portmap")}).toStdString();
                return state != "正在询问路由器" && state != "starting";
            },
            20000, 100);
        return state;
    }

    void StopRouterDaemon(int router) {
        std::ifstream in(routerPids[static_cast<size_t>(router)]);
        pid_t pid = 0;
        in >> pid;
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
        ASSERT_TRUE(WaitUntil([pid] { return ::kill(pid, 0) != 0; }, 10000));
    }

    kestrona::testing::TempDir dir;
    std::string inet;
    std::vector<std::string> routers;
    std::vector<std::string> homes;
    std::vector<std::string> routerPids;
    std::unique_ptr<QProcess> server;
    std::filesystem::path speech;
    std::filesystem::path reversed;
};

}  // namespace

TEST_F(NatCallTest, CallsIntoBothHomesWorkAndTheForwardingsEndWithThem) {
    auto a = MakePhone(0, "ada", speech);
    auto b = MakePhone(1, "bo", reversed);
    ASSERT_TRUE(a->Status() && b->Status());

    // Each phone's command port is forwarded on its own router (UPnP in home
    // A, NAT-PMP in home B) under its own number, and the sheet says where.
    const std::string stateA = MappingState(*a);
    const std::string stateB = MappingState(*b);
    const QRegularExpression mapped(QStringLiteral("^已映射 11\\.0\\.(\\d)\\.7:(\\d+)$"));
    const auto matchA = mapped.match(QString::fromStdString(stateA));
    const auto matchB = mapped.match(QString::fromStdString(stateB));
    ASSERT_TRUE(matchA.hasMatch()) << stateA;
    ASSERT_TRUE(matchB.hasMatch()) << stateB;
    EXPECT_EQ(matchA.captured(1), QStringLiteral("1"));
    EXPECT_EQ(matchB.captured(1), QStringLiteral("2"));
    const int cmdA = matchA.captured(2).toInt();
    const int cmdB = matchB.captured(2).toInt();
    EXPECT_EQ(Forwarded(routers[0]), std::vector<int>{cmdA});
    EXPECT_EQ(Forwarded(routers[1]), std::vector<int>{cmdB});

    // Into home B, then into home A; each call's audio ports are forwarded
    // while it runs and given back when it ends.
    ExpectCallWorks(*a, *b);
    EXPECT_TRUE(WaitUntil([&] { return Forwarded(routers[1]) == std::vector<int>{cmdB}; }, 10000))
        << Forwarded(routers[1]).size();
    ExpectCallWorks(*b, *a);
    EXPECT_TRUE(WaitUntil([&] { return Forwarded(routers[0]) == std::vector<int>{cmdA}; }, 10000))
        << Forwarded(routers[0]).size();
    EXPECT_FALSE(HasMessage(*a, kPeerUnreachable));
    EXPECT_FALSE(HasMessage(*b, kPeerUnreachable));
    // Each through its router's one protocol; the routers name the outside
    // address the server sees.
    const std::string outA = a->Output();
    const std::string outB = b->Output();
    EXPECT_NE(outA.find("port mapping through UPnP IGD"), std::string::npos) << outA;
    EXPECT_NE(outB.find("port mapping through NAT-PMP"), std::string::npos) << outB;
    EXPECT_EQ(outA.find("calls may not get through"), std::string::npos) << outA;
    EXPECT_EQ(outB.find("calls may not get through"), std::string::npos) << outB;

    if (HasFailure()) {
        std::printf("--- phone A\n%s\n--- phone B\n%s\n", a->Output().c_str(), b->Output().c_str());
    }
    // Ends both phones: nothing stays forwarded.
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
    EXPECT_TRUE(Forwarded(routers[0]).empty());
    EXPECT_TRUE(Forwarded(routers[1]).empty());

    // Home B's router stops forwarding on request: the phone there says so,
    // and a call into home B fails as it would without the forwarding.
    StopRouterDaemon(1);
    ASSERT_TRUE(b->Start()) << b->Output();
    EXPECT_EQ(MappingState(*b), "不可用");
    ASSERT_TRUE(a->Start()) << a->Output();
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    EXPECT_TRUE(WaitUntil([&] { return HasMessage(*a, kPeerUnreachable); }, 30000));
    EXPECT_NE(b->Status()->state, 3);  // it never rang
    a->Rpc({QStringLiteral("hangup")});
    EXPECT_TRUE(a->WaitState(0));
}
