// Calls between two homes behind NAT routers that forward ports on request
// (miniupnpd), on the test network that nat_call_test.sh builds: neither user
// forwarded a port by hand. Run through that script only.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include "e2e/call_tap.h"
#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "support/netns_sniffer.h"

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
        ASSERT_EQ(routers.size(), 4u);
        ASSERT_EQ(homes.size(), 4u);
        ASSERT_EQ(routerPids.size(), 2u);

        server = std::make_unique<QProcess>();
        server->setProcessChannelMode(QProcess::MergedChannels);
        server->setStandardOutputFile(QString::fromStdString((dir.path() / "server.log").string()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRONA_NETNS"), QString::fromStdString(inet));
        server->setProcessEnvironment(env);
        QStringList args{QStringLiteral("--db"),
                         QString::fromStdString((dir.path() / "directory.db").string()),
                         QStringLiteral("--listen"),
                         QStringLiteral("0.0.0.0"),
                         QStringLiteral("--port"),
                         QString::number(kServerPort),
                         QStringLiteral("--live-period"),
                         QStringLiteral("1"),
                         QStringLiteral("--session-timeout"),
                         QStringLiteral("120"),
                         QStringLiteral("--minimum-hash-cost")};
        args += ExtraServerArgs();
        server->start(QString::fromStdString(ServerProgram().string()), args);
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

    virtual QStringList ExtraServerArgs() { return {}; }

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
                                     const std::filesystem::path& mic,
                                     std::map<std::string, std::string> settings = {}) {
        settings.emplace("Host", kServerAddress);
        settings.emplace("timeout", "5");
        auto phone = std::make_unique<Phone>(dir.path() / name, kServerPort, mic, settings);
        phone->SetEnvironment(QStringLiteral("KESTRONA_NETNS"),
                              QString::fromStdString(homes[static_cast<size_t>(home)]));
        EXPECT_TRUE(phone->Register(name)) << phone->Output();
        return phone;
    }

    // The forwarding state the phone's options sheet shows, once the router
    // has answered and the server has checked what callers reach.
    static std::string MappingState(const Phone& phone) {
        std::string state;
        WaitUntil(
            [&] {
                state = phone.Rpc({QStringLiteral("portmap")}).toStdString();
                return state.rfind("正在询问路由器", 0) != 0 && state != "starting" &&
                       state.find("正在检查") == std::string::npos &&
                       state.find("；") != std::string::npos;
            },
            20000, 100);
        return state;
    }

    // The reachability word of `rpc status`, once it is settled on `want`
    // (or the time is up: then whatever it is).
    static std::string Reach(const Phone& phone, const std::string& want, int timeoutMs = 20000) {
        std::string reach;
        WaitUntil(
            [&] {
                const auto status = phone.Status();
                reach = status ? status->reach : std::string();
                return reach == want;
            },
            timeoutMs, 100);
        return reach;
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
    // The server reached each phone through that forwarding.
    const QRegularExpression mapped(QStringLiteral(
        "^已映射 11\\.0\\.(\\d)\\.7:(\\d+)；经路由器映射 11\\.0\\.\\1\\.7:\\2 呼入$"));
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
    EXPECT_EQ(MappingState(*b).rfind("不可用；无法呼入", 0), 0u) << MappingState(*b);
    EXPECT_EQ(Reach(*b, "unreachable"), "unreachable");
    ASSERT_TRUE(a->Start()) << a->Output();
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    EXPECT_TRUE(WaitUntil([&] { return HasMessage(*a, kPeerUnreachable); }, 30000));
    EXPECT_NE(b->Status()->state, 3);  // it never rang
    a->Rpc({QStringLiteral("hangup")});
    EXPECT_TRUE(a->WaitState(0));
}

namespace {

constexpr const char* kRelayAddress = "11.0.9.1";
constexpr int kRelayPort = 3478;

// The service's relay in the internet namespace, configured as the README
// tells an operator to: TCP relaying only, credentials from the directory
// server's secret, and peers only the relay's own relayed addresses, so a
// subscriber can reach nothing but other phones through it.
class RelayCallTest : public NatCallTest {
  protected:
    QStringList ExtraServerArgs() override {
        const auto secretFile = dir.path() / "turn-secret";
        std::ofstream(secretFile) << kSecret << "\n";
        return {QStringLiteral("--turn"),
                QStringLiteral("%1:%2").arg(QLatin1String(kRelayAddress)).arg(kRelayPort),
                QStringLiteral("--turn-secret-file"), QString::fromStdString(secretFile.string())};
    }

    void TearDown() override {
        StopRelay();
        NatCallTest::TearDown();
    }

    bool StartRelay() {
        const auto work = dir.path() / "relay";
        std::filesystem::create_directories(work);
        const auto config = work / "turnserver.conf";
        std::ofstream(config) << "listening-ip=" << kRelayAddress << "\n"
                              << "relay-ip=" << kRelayAddress << "\n"
                              << "listening-port=" << kRelayPort << "\n"
                              << "no-udp\nno-dtls\nno-tls\nno-udp-relay\nno-cli\n"
                              << "use-auth-secret\nstatic-auth-secret=" << kSecret << "\n"
                              << "realm=kestrona\n"
                              << "denied-peer-ip=0.0.0.0-255.255.255.255\n"
                              << "allowed-peer-ip=" << kRelayAddress << "\n"
                              << "user-quota=12\ntotal-quota=1200\n"
                              << "userdb=" << (work / "turndb").string() << "\n"
                              << "pidfile=" << (work / "turnserver.pid").string() << "\n"
                              << "log-file=stdout\nsimple-log\n";
        relay = std::make_unique<QProcess>();
        relay->setProcessChannelMode(QProcess::MergedChannels);
        relay->setStandardOutputFile(QString::fromStdString((work / "relay.log").string()),
                                     QIODevice::Append);
        relay->start(QStringLiteral("ip"),
                     {QStringLiteral("netns"), QStringLiteral("exec"), QString::fromStdString(inet),
                      QStringLiteral("turnserver"), QStringLiteral("-c"),
                      QString::fromStdString(config.string())});
        if (!relay->waitForStarted(10000)) {
            return false;
        }
        const QString probe = QStringLiteral("exec 3<>/dev/tcp/%1/%2")
                                  .arg(QLatin1String(kRelayAddress))
                                  .arg(kRelayPort);
        return WaitUntil(
            [&] {
                bool ok = false;
                RunProgram(
                    QStringLiteral("ip"),
                    {QStringLiteral("netns"), QStringLiteral("exec"), QString::fromStdString(inet),
                     QStringLiteral("bash"), QStringLiteral("-c"), probe},
                    &ok);
                return ok;
            },
            10000, 100);
    }

    // As a crash would: every connection through the relay ends at once.
    void StopRelay() {
        if (!relay) {
            return;
        }
        relay->kill();
        relay->waitForFinished(10000);
        relay.reset();
    }

    std::string RelayLog() const {
        std::ifstream in(dir.path() / "relay" / "relay.log");
        std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return log.size() > 6000 ? log.substr(log.size() - 6000) : log;
    }

    static constexpr const char* kSecret = "relay-secret-of-the-test-service";
    std::unique_ptr<QProcess> relay;
};

}  // namespace

// Homes C and D forward nothing. Before the relay runs, neither phone can
// be reached and each says so; once it runs, both hold relayed addresses,
// call each other both ways and are called from home A and call it, each
// call heard by both sides. Between the relay and phone D the bytes are
// sealed: decoded as speech they are noise.
TEST_F(RelayCallTest, HomesWithoutForwardingAreCalledThroughTheRelay) {
    auto c = MakePhone(2, "cleo", speech);
    auto d = MakePhone(3, "dov", reversed);
    ASSERT_TRUE(c->Status() && d->Status());
    EXPECT_EQ(Reach(*c, "unreachable"), "unreachable");
    EXPECT_EQ(Reach(*d, "unreachable"), "unreachable");
    EXPECT_NE(c->Rpc({QStringLiteral("portmap")}).toStdString().find("无法呼入"),
              std::string::npos);

    ASSERT_TRUE(StartRelay()) << RelayLog();
    // Within a few seconds of the relay's start.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Reach(*c, "relayed", 15000), "relayed") << c->Output() << RelayLog();
    EXPECT_EQ(Reach(*d, "relayed", 15000), "relayed") << d->Output() << RelayLog();
    std::printf("[ measured ] relay started to both phones relayed: %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    const QRegularExpression relayed(QStringLiteral("经中继 11\\.0\\.9\\.1:(\\d+) 呼入$"));
    EXPECT_TRUE(relayed.match(d->Rpc({QStringLiteral("portmap")})).hasMatch())
        << d->Rpc({QStringLiteral("portmap")}).toStdString();

    kestrona::testing::NetnsSniffer tap;
    std::string error;
    ASSERT_TRUE(tap.Start(routers[3], "lan", error)) << error;
    ExpectCallWorks(*c, *d);
    ExpectCallWorks(*d, *c);
    tap.Stop();
    // The relay's side of D's two audio streams carried the most.
    std::string wire;
    for (const auto& flow : tap.Flows()) {
        if (flow.source == kRelayAddress && flow.payload.size() > wire.size()) {
            wire = flow.payload;
        }
    }
    ASSERT_GT(wire.size(), 4000u) << "no audio came from the relay";
    // Behind the relay's answer to the data connection and the stream
    // header: sealed Opus frames in records of one length, up to the end.
    std::size_t start = 0, most = 0;
    for (std::size_t from = 0; from + 2 < std::min<std::size_t>(wire.size(), 512); ++from) {
        const std::size_t n = uint8_t(wire[from]) | std::size_t(uint8_t(wire[from + 1])) << 8;
        std::size_t records = 0, at = from;
        while (n > 17 && at + 2 + n <= wire.size() &&
               (uint8_t(wire[at]) | std::size_t(uint8_t(wire[at + 1])) << 8) == n) {
            ++records;
            at += 2 + n;
        }
        if (records > most) {
            most = records;
            start = from;
        }
    }
    std::vector<std::size_t> lengths;
    const auto asOpus = DecodeFramesAsOpus(wire, start, lengths);
    ASSERT_GT(lengths.size(), 100u);
    EXPECT_EQ(std::size_t(std::count(lengths.begin(), lengths.end(), lengths[0])), lengths.size());
    const double asSpeech = BestWaveformMatch(asOpus, ReadSamples(speech), 8000, 3.0);
    std::printf("[ measured ] relayed audio decoded as speech: match %.2f\n", asSpeech);
    EXPECT_LT(asSpeech, 0.4);

    auto a = MakePhone(0, "ada", reversed);
    ASSERT_TRUE(a->Status());
    ExpectCallWorks(*a, *c);
    ExpectCallWorks(*c, *a);
    EXPECT_FALSE(HasMessage(*a, kPeerUnreachable));
    EXPECT_FALSE(HasMessage(*c, kPeerUnreachable));
    EXPECT_FALSE(HasMessage(*d, kPeerUnreachable));
    if (HasFailure()) {
        std::printf("--- phone C\n%s\n--- phone D\n%s\n--- relay\n%s\n", c->Output().c_str(),
                    d->Output().c_str(), RelayLog().c_str());
    }
    ExpectEachHeardTheOther(*c, speech, *d, reversed);
}

// A phone that knows nothing of the relay (no new requests, no encryption)
// is given the relayed address, which admits nobody but callers through
// the relay: its call fails as any call into an unreachable home does. The
// relayed phone calls it all the same.
TEST_F(RelayCallTest, APhoneWithoutTheRelayCannotCallInButIsCalled) {
    ASSERT_TRUE(StartRelay()) << RelayLog();
    auto d = MakePhone(3, "dov", reversed);
    // From the login (the registration's phone logs in as it ends).
    const auto loggedIn = std::chrono::steady_clock::now();
    ASSERT_EQ(Reach(*d, "relayed", 15000), "relayed") << d->Output() << RelayLog();
    std::printf("[ measured ] login to relayed: %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - loggedIn).count());
    auto p = MakePhone(0, "piet", speech, {{"relay", "0"}, {"encryption", "off"}});
    ASSERT_TRUE(d->Status() && p->Status());
    EXPECT_EQ(p->Status()->reach, "off");

    ASSERT_EQ(p->Rpc({QStringLiteral("dial"), QString::number(d->Number())}), QStringLiteral("ok"));
    EXPECT_TRUE(WaitUntil([&] { return HasMessage(*p, kPeerUnreachable); }, 30000));
    EXPECT_NE(d->Status()->state, 3);  // it never rang
    p->Rpc({QStringLiteral("hangup")});
    EXPECT_TRUE(p->WaitState(0));

    ExpectCallWorks(*d, *p);
}

// The relay dies in the middle of a call: the call ends as broken on both
// sides; once it is back, the relayed phone holds a new relayed address
// within seconds and is called again.
TEST_F(RelayCallTest, ACallEndsWithTheRelayAndTheNextGoesThroughItsReturn) {
    ASSERT_TRUE(StartRelay()) << RelayLog();
    auto c = MakePhone(2, "cleo", speech);
    auto d = MakePhone(3, "dov", reversed);
    ASSERT_EQ(Reach(*d, "relayed", 15000), "relayed") << d->Output() << RelayLog();

    ASSERT_EQ(c->Rpc({QStringLiteral("dial"), QString::number(d->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(d->WaitState(3)) << c->Output() << d->Output();
    ASSERT_EQ(d->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(c->WaitState(2));
    ASSERT_TRUE(d->WaitState(2));
    StopRelay();
    EXPECT_EQ(Reach(*d, "unreachable", 10000), "unreachable");
    EXPECT_TRUE(c->WaitState(6, 15000)) << c->Status()->state;
    EXPECT_TRUE(d->WaitState(6, 15000)) << d->Status()->state;
    c->Rpc({QStringLiteral("hangup")});
    d->Rpc({QStringLiteral("hangup")});
    EXPECT_TRUE(c->WaitState(0));
    EXPECT_TRUE(d->WaitState(0));

    ASSERT_TRUE(StartRelay()) << RelayLog();
    const auto back = std::chrono::steady_clock::now();
    EXPECT_EQ(Reach(*d, "relayed", 10000), "relayed") << d->Output() << RelayLog();
    std::printf("[ measured ] relay back to relayed again: %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count());
    ExpectCallWorks(*c, *d);
    if (HasFailure()) {
        std::printf("--- phone C\n%s\n--- phone D\n%s\n--- relay\n%s\n", c->Output().c_str(),
                    d->Output().c_str(), RelayLog().c_str());
    }
}
