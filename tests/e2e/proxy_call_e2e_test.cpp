// Whole calls with a phone behind real proxies on loopback. A phone in proxy
// mode opens every outgoing connection (directory server, peer commands, the
// audio streams it places) through the HTTP proxy's CONNECT and every
// listening point (its command port, the audio ports of a call it answers)
// through the SOCKS5 proxy's BIND, so each test runs both daemons.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QThread>
#include <cstdio>
#include <regex>
#include <set>

#include "e2e/call_fixture.h"
#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "store/records.h"
#include "support/proxy_fixtures.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

// Message boxes a proxy or connection fault would show.
constexpr int kProxyFailed = 134;
constexpr int kCannotListen = 146;
constexpr int kPeerUnreachable = 148;
constexpr int kPeerTooOld = 147;

class ProxyCallTest : public CallFixture {
  protected:
    void SetUp() override {
        if (!test::TinyproxyProcess::Available())
            GTEST_SKIP() << "tinyproxy is not installed (" << test::TinyproxyProcess::kBinary
                         << "); packages.txt lists it";
        if (!test::DantedProcess::Available())
            GTEST_SKIP() << "dante-server is not installed (" << test::DantedProcess::kBinary
                         << "); packages.txt lists it";
        CallFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(tinyproxy.Start()) << tinyproxy.Log();
    }

    // The settings of a user who has switched the proxy on.
    std::map<std::string, std::string> ProxyMode(const std::string& user = "-",
                                                 const std::string& password = "-") const {
        return {{"proxy", "1"},
                {"proxyaddress", "127.0.0.1"},
                {"httpport", std::to_string(tinyproxy.Port())},
                {"sock5port", std::to_string(dante.Port())},
                {"proxyusername", user},
                {"proxypassword", password}};
    }

    std::string Logs() const override {
        return "\n--- server\n" + server->Log() + "\n--- tinyproxy\n" + tinyproxy.Log() +
               "\n--- dante\n" + dante.Log();
    }

    // Ports the HTTP proxy was asked to CONNECT to on loopback.
    std::multiset<int> TunnelledPorts() const {
        std::multiset<int> ports;
        static const std::regex line("CONNECT 127\\.0\\.0\\.1:(\\d+) ");
        const std::string log = tinyproxy.Log();
        for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
            ports.insert(std::stoi((*it)[1].str()));
        return ports;
    }

    // A whole call from a to b: ring, answer, a few seconds of talk, the
    // caller hangs up. Checks both call states, the history records and the
    // server's call reports.
    void TalkAndHangUp(Phone& a, Phone& b) {
        const size_t reportsBefore = server->Reports().size();
        ASSERT_EQ(a.Rpc({QStringLiteral("dial"), QString::number(b.Number())}),
                  QStringLiteral("ok"));
        ASSERT_TRUE(b.WaitState(3)) << Logs();
        EXPECT_EQ(b.Status()->peer, a.Number());
        EXPECT_EQ(a.Status()->state, 1);

        ASSERT_EQ(b.Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
        ASSERT_TRUE(a.WaitState(2)) << Logs();
        ASSERT_TRUE(b.WaitState(2)) << Logs();
        // Talk until each side has played four more seconds (the loudspeaker
        // file also holds the ring-back).
        const double heardA = SpeakerSeconds(a), heardB = SpeakerSeconds(b);
        ASSERT_TRUE(WaitUntil([&] {
            return SpeakerSeconds(a) >= heardA + 4 && SpeakerSeconds(b) >= heardB + 4;
        })) << Logs();
        // Still talking: neither stream broke on its way through a proxy.
        EXPECT_EQ(a.Status()->state, 2);
        EXPECT_EQ(b.Status()->state, 2);
        ASSERT_EQ(a.Rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
        ASSERT_TRUE(a.WaitState(0));
        ASSERT_TRUE(b.WaitState(0)) << Logs();

        const auto made = a.History(kHistoryMade);
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(made[0].number, b.Number());
        EXPECT_EQ(made[0].rate, 16000);  // Opus, through the proxies too
        const auto taken = b.History(kHistoryTaken);
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].number, a.Number());
        EXPECT_TRUE(b.History(kHistoryMissed).empty());

        ASSERT_TRUE(
            WaitUntil([&] { return server->Reports().size() >= reportsBefore + 2; }, 10000));
        const auto reports = server->Reports();
        EXPECT_EQ(reports[reportsBefore][0], 1);  // the callee answered
        EXPECT_EQ(reports[reportsBefore][1], a.Number());
        EXPECT_EQ(reports[reportsBefore + 1][0], 2);  // the caller hung up
        EXPECT_EQ(reports[reportsBefore + 1][1], b.Number());

        for (const Phone* phone : {&a, &b}) {
            EXPECT_FALSE(HasMessage(*phone, kProxyFailed));
            EXPECT_FALSE(HasMessage(*phone, kCannotListen));
            EXPECT_FALSE(HasMessage(*phone, kPeerUnreachable));
        }
    }

    test::TinyproxyProcess tinyproxy;
    test::DantedProcess dante;
};

}  // namespace

// The caller's server exchanges, its peer command connection and both of
// its audio streams run through the HTTP proxy; the callee is direct.
TEST_F(ProxyCallTest, CallerBehindHttpProxy) {
    ASSERT_TRUE(dante.Start()) << dante.Log();
    auto a = MakePhone("amy", speech, ProxyMode());
    auto b = MakePhone("ben", reversed);
    ASSERT_TRUE(a->Status() && b->Status()) << Logs();
    const auto before = TunnelledPorts();
    EXPECT_GT(before.count(server->Port()), 0u) << "registration did not use the proxy";

    TalkAndHangUp(*a, *b);
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
    if (HasFailure())
        return;

    // The command connection and the two audio streams went to the callee
    // through the proxy: three tunnels to ports other than the server's.
    auto during = TunnelledPorts();
    for (int port : before) {
        if (auto it = during.find(port); it != during.end())
            during.erase(it);
    }
    during.erase(server->Port());
    EXPECT_EQ(during.size(), 3u) << tinyproxy.Log();
}

// squid answers CONNECT with HTTP/1.1, in a chunk of its own ahead of the
// far end's first bytes: the caller's server exchanges, its peer command
// connection and both audio streams still go through.
TEST_F(ProxyCallTest, CallerBehindSquid) {
    if (!test::SquidProcess::Available())
        GTEST_SKIP() << "squid is not installed (" << test::SquidProcess::kBinary
                     << "); packages.txt lists it";
    test::SquidProcess squid;
    ASSERT_TRUE(squid.Start()) << squid.Log();
    ASSERT_TRUE(dante.Start()) << dante.Log();
    auto settings = ProxyMode();
    settings["httpport"] = std::to_string(squid.Port());
    auto a = MakePhone("jane", speech, settings);
    auto b = MakePhone("karl", reversed);
    ASSERT_TRUE(a->Status() && b->Status()) << Logs() << squid.Log();
    TalkAndHangUp(*a, *b);
    // Neither the proxy's answer shown as a peer's text, nor the answer to it.
    for (const Phone* phone : {a.get(), b.get()}) {
        for (const std::string& line : phone->Messages())
            EXPECT_EQ(line.find("HTTP/"), std::string::npos) << line;
        EXPECT_FALSE(HasMessage(*phone, kPeerTooOld));
    }
}

// The callee's command port and its two audio ports are bound on the SOCKS5
// proxy; the caller is direct. A second call finds the callee again at the
// listening point that replaced the one the first call used.
TEST_F(ProxyCallTest, CalleeListeningThroughSocks5Bind) {
    ASSERT_TRUE(dante.Start()) << dante.Log();
    auto a = MakePhone("cleo", speech);
    auto b = MakePhone("dirk", reversed, ProxyMode());
    ASSERT_TRUE(a->Status() && b->Status()) << Logs();

    TalkAndHangUp(*a, *b);
    if (HasFailure())
        return;
    // The callee's listening point moved on when the first caller took it.
    EXPECT_NE(server->Log().find("CHANGEPORT -> port"), std::string::npos) << server->Log();

    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << Logs();
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));
    ASSERT_TRUE(b->WaitState(0)) << Logs();
    EXPECT_EQ(b->History(kHistoryMissed).size(), 1u);
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

// Both users behind the proxies, the SOCKS5 proxy checking user name and
// password (RFC 1929) against a system account: the caller tunnels through
// the HTTP proxy to the ports the callee bound on the SOCKS5 proxy.
TEST_F(ProxyCallTest, BothBehindProxiesWithSocksUserName) {
    if (!test::SystemAccount::CanCreate())
        GTEST_SKIP() << "needs root to make a throwaway account for the SOCKS5 user name";
    test::SystemAccount account;
    const std::string name = "kse2e" + std::to_string(::getpid() % 100000);
    ASSERT_TRUE(account.Create(name, "Pw-0815"));
    ASSERT_TRUE(dante.Start(true)) << dante.Log();
    auto a = MakePhone("emil", speech, ProxyMode(name, "Pw-0815"));
    auto b = MakePhone("fay", reversed, ProxyMode(name, "Pw-0815"));
    ASSERT_TRUE(a->Status() && b->Status()) << Logs();
    TalkAndHangUp(*a, *b);
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

// A user behind the proxies who is in a call is busy for a second caller,
// who also comes through the proxies (the busy answer then rides behind the
// HTTP proxy's own answer), and is reachable again once the call is over.
TEST_F(ProxyCallTest, BusyBehindTheProxiesAndReachableAgain) {
    ASSERT_TRUE(dante.Start()) << dante.Log();
    auto a = MakePhone("gus", speech);
    auto b = MakePhone("hal", reversed, ProxyMode());
    auto c = MakePhone("ida", speech, ProxyMode());
    ASSERT_TRUE(a->Status() && b->Status() && c->Status()) << Logs();

    a->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(b->WaitState(3)) << Logs();
    b->Rpc({QStringLiteral("answer")});
    ASSERT_TRUE(a->WaitState(2)) << "--- a\n" << a->Output() << "--- b\n" << b->Output() << Logs();

    c->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    EXPECT_TRUE(c->WaitState(4)) << Logs();
    EXPECT_FALSE(HasMessage(*c, kPeerUnreachable));
    EXPECT_EQ(b->Status()->state, 2);
    EXPECT_EQ(b->Status()->peer, a->Number());
    c->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(c->WaitState(0));

    // The callee hangs up this time.
    b->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(b->WaitState(0));
    ASSERT_TRUE(a->WaitState(0)) << Logs();

    c->Rpc({QStringLiteral("dial"), QString::number(b->Number())});
    ASSERT_TRUE(b->WaitState(3)) << Logs();
    EXPECT_EQ(b->Status()->peer, c->Number());
    c->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(c->WaitState(0));
    ASSERT_TRUE(b->WaitState(0)) << Logs();

    EXPECT_EQ(b->History(kHistoryTaken).size(), 1u);
    EXPECT_EQ(b->History(kHistoryMissed).size(), 1u);
    EXPECT_EQ(c->History(kHistoryMade).size(), 2u);
    for (const Phone* phone : {a.get(), b.get(), c.get()}) {
        EXPECT_FALSE(HasMessage(*phone, kProxyFailed));
        EXPECT_FALSE(HasMessage(*phone, kCannotListen));
    }
}
