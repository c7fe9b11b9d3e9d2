// Command connections through proxies: the HTTP CONNECT tunnel (scripted and
// tinyproxy) and the listening point on a SOCKS5 proxy (scripted, and dante
// with and without the user-name method), with a peer calling in through it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QPointer>
#include <cstring>

#include "net_test_util.h"
#include "support/proxy_fixtures.h"

namespace kestrona {
namespace {

using test::Endpoint;
using test::PumpUntil;
using test::ScriptedSocks5Proxy;

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

bool Contains(const std::vector<uint8_t>& data, const std::string& text) {
    return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
}

void UseSocks(Endpoint& ep, int socksPort, const char* user = "alice",
              const char* password = "s3cret") {
    ep.model.m_nProxy = 1;
    ep.model.m_nSock5Port = socksPort;
    std::strcpy(ep.model.m_szProxyUser, user);
    std::strcpy(ep.model.m_szProxyPassword, password);
    ep.Store("proxy", "1");
}

void UseHttp(Endpoint& ep, int httpPort, int timeoutSeconds = -1) {
    ep.model.m_nProxy = 1;
    ep.model.m_nHttpPort = httpPort;
    if (timeoutSeconds >= 0)
        ep.model.m_nTimeout = timeoutSeconds;
}

// The callee's window answers a request with the lower of both rates.
void AnswerWithParameters(Endpoint& callee) {
    callee.window.onIncoming = [&callee](const RequestCall& request) {
        callee.ctx->m_pPeerSocket->SendParameters(
            Paramenter{std::min(8000, request.nSampleRate), 7101, 7102});
    };
}

// ---- HTTP CONNECT ----

TEST(HttpTunnel, ConnectRequestIsExactAndAGluedAcceptOpensTheCall) {
    test::ScriptedServer proxy;
    proxy.greet = false;
    proxy.reply = [](const QByteArray&) {
        return QByteArray(
            "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\nACCEPT");
    };
    Endpoint a("http");
    UseHttp(a, proxy.Port());
    CCallSocket socket(*a.ctx);
    socket.Create();
    EXPECT_TRUE(socket.RequestCall("10.0.0.5", 2000));
    ASSERT_GE(proxy.received.size(), 1u);
    EXPECT_EQ(proxy.received[0],
              QByteArray("CONNECT 10.0.0.5:2000 HTTP/1.1\r\nUser-Agent: KESTRONA1.1/0.1\r\n\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return proxy.received.size() >= 2; }));
    EXPECT_TRUE(proxy.received[1].startsWith("REQUESTCALL"));
    EXPECT_TRUE(a.messages.ids.empty());
}

// The proxy's answer in a chunk of its own, HTTP/1.0 or 1.1, is never taken
// for a peer's record (no box, no UNKNOWCMD back).
TEST(HttpTunnel, ProxyAnswerAloneIsIgnoredUntilTheGreeting) {
    for (const char* answer : {"HTTP/1.0 200 Connection established\r\n\r\n",
                               "HTTP/1.1 200 Connection established\r\n\r\n"}) {
        test::ScriptedServer proxy;
        proxy.greet = false;
        int step = 0;
        proxy.reply = [&step, answer](const QByteArray&) {
            return ++step == 1 ? QByteArray(answer) : QByteArray();
        };
        Endpoint a("http2");
        UseHttp(a, proxy.Port(), 1);
        CCallSocket socket(*a.ctx);
        socket.Create();
        socket.ConnectTo("10.0.0.5", 2000);
        EXPECT_FALSE(socket.m_bConnected);
        EXPECT_TRUE(a.messages.texts.empty()) << answer;
        EXPECT_EQ(proxy.received.size(), 1u) << answer;
    }
}

// A refusal ends the attempt when it arrives, not after the reply time-out
// (an hour here), and is not shown as a peer's text.
TEST(HttpTunnel, RefusalEndsTheConnectAtOnce) {
    test::ScriptedServer proxy;
    proxy.greet = false;
    proxy.reply = [](const QByteArray&) {
        return QByteArray("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    };
    Endpoint a("http-refused");
    UseHttp(a, proxy.Port(), 3600);
    CCallSocket socket(*a.ctx);
    socket.Create();
    EXPECT_FALSE(socket.RequestCall("10.0.0.5", 2000));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(a.messages.texts.empty());
    EXPECT_EQ(proxy.received.size(), 1u);
}

// A callee in a call refuses at once, so its "RCRESULTBUSY" can ride in the
// same chunk as the proxy's answer: the caller must still see busy, not an
// unreachable peer after the time-out.
TEST(HttpTunnel, BusyGluedBehindTheProxyAnswerEndsTheWaitAsBusy) {
    test::ScriptedServer proxy;
    proxy.greet = false;
    proxy.reply = [](const QByteArray&) {
        return QByteArray(
            "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n"
            "RCRESULTBUSY");
    };
    Endpoint a("http-busy");
    UseHttp(a, proxy.Port(), 2);
    CCallSocket socket(*a.ctx);
    socket.Create();
    EXPECT_FALSE(socket.RequestCall("10.0.0.5", 2000));
    EXPECT_TRUE(a.window.Saw("busy"));
    EXPECT_TRUE(socket.m_bAborted);
    EXPECT_TRUE(a.messages.texts.empty());
    EXPECT_EQ(proxy.received.size(), 1u);  // no REQUESTCALL, no UNKNOWCMD
}

TEST(HttpTunnel, UnreachableProxyShowsMessage134) {
    Endpoint a("http3");
    UseHttp(a, test::FreeTcpPort());
    CCallSocket socket(*a.ctx);
    socket.Create();
    EXPECT_FALSE(socket.RequestCall("127.0.0.1", 2000));
    EXPECT_EQ(a.messages.ids, (std::vector<int>{134}));
    EXPECT_FALSE(socket.IsConnected());
}

// squid's HTTP/1.1 answer comes in a chunk of its own, ahead of the peer's
// greeting.
TEST(HttpTunnel, CallThroughSquid) {
    if (!test::SquidProcess::Available())
        GTEST_SKIP() << "squid not installed";
    test::SquidProcess squid;
    ASSERT_TRUE(squid.Start()) << squid.Log();
    Endpoint b("squid-callee");
    b.ctx->OpenCmdListenSocket();
    AnswerWithParameters(b);
    Endpoint a("squid-caller");
    UseHttp(a, squid.Port());
    a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
    a.ctx->m_pPeerSocket->Create();
    ASSERT_TRUE(
        a.ctx->m_pPeerSocket->RequestCall("127.0.0.1", b.ctx->m_pCmdListenSocket->m_nPort, 16000))
        << squid.Log();
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("params"); }));
    EXPECT_TRUE(a.messages.texts.empty());
    EXPECT_TRUE(b.messages.texts.empty());  // no UNKNOWCMD came back to the callee
}

class RealProxies : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { s_tinyproxy = test::TinyproxyProcess::StartForSuite(); }
    static void TearDownTestSuite() {
        delete s_tinyproxy;
        s_tinyproxy = nullptr;
    }
    void SetUp() override {
        if (!s_tinyproxy)
            GTEST_SKIP() << "tinyproxy not available";
    }
    static void UseHttp(Endpoint& ep) { kestrona::UseHttp(ep, s_tinyproxy->Port()); }
    static test::TinyproxyProcess* s_tinyproxy;
};
test::TinyproxyProcess* RealProxies::s_tinyproxy = nullptr;

TEST_F(RealProxies, CallThroughTinyproxy) {
    Endpoint b("tp-callee");
    b.ctx->OpenCmdListenSocket();
    AnswerWithParameters(b);
    Endpoint a("tp-caller");
    UseHttp(a);
    a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
    a.ctx->m_pPeerSocket->Create();
    ASSERT_TRUE(
        a.ctx->m_pPeerSocket->RequestCall("127.0.0.1", b.ctx->m_pCmdListenSocket->m_nPort, 16000))
        << s_tinyproxy->Log();
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("params"); }));
    EXPECT_EQ(a.window.lastParams.nSampleRate, 8000);
    EXPECT_TRUE(a.messages.texts.empty());
    // Through the proxy ENDTALK does not close the sender's end.
    a.ctx->m_pPeerSocket->SendEndTalk();
    EXPECT_TRUE(a.ctx->m_pPeerSocket->IsConnected());
    ASSERT_TRUE(PumpUntil([&] { return b.window.Saw("endcall"); }));
}

// ---- SOCKS5 BIND, scripted ----

class ScriptedBind : public ::testing::Test {
  protected:
    void Bind(const ScriptedSocks5Proxy::Script& script, int port = 0) {
        ASSERT_TRUE(proxy.Start(script));
        UseSocks(b, proxy.Port());
        socket = std::make_unique<CCallSocket>(*b.ctx);
        socket->Create();
        socket->BindThroughSocks5(port);
    }
    ScriptedSocks5Proxy::Session Session() {
        PumpUntil([&] { return !proxy.Sessions().empty(); });
        return proxy.Sessions().at(0);
    }
    Endpoint b{"socks"};
    ScriptedSocks5Proxy proxy;
    std::unique_ptr<CCallSocket> socket;
};

TEST_F(ScriptedBind, NoAuthenticationMethod) {
    ScriptedSocks5Proxy::Script s;
    s.method = 0x00;
    s.bindPort = 0xABCD;
    Bind(s, 5060);
    const auto session = Session();
    EXPECT_EQ(session.greeting, Bytes({5, 2, 0, 2}));
    EXPECT_TRUE(session.auth.empty());
    EXPECT_EQ(session.bind, Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0x13, 0xC4}));
    EXPECT_EQ(socket->m_nPort, 0xABCD);
    EXPECT_TRUE(socket->IsConnected());
    EXPECT_TRUE(b.messages.ids.empty());
}

TEST_F(ScriptedBind, UserNameMethod) {
    ScriptedSocks5Proxy::Script s;
    s.method = 0x02;
    s.bindPort = 4000;
    Bind(s);
    const auto session = Session();
    std::vector<uint8_t> expected = {1, 5};
    for (char c : std::string("alice")) expected.push_back(static_cast<uint8_t>(c));
    expected.push_back(6);
    for (char c : std::string("s3cret")) expected.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(session.auth, expected);
    EXPECT_EQ(socket->m_nPort, 4000);
    EXPECT_TRUE(b.messages.ids.empty());
}

TEST_F(ScriptedBind, NoAcceptableMethod) {
    ScriptedSocks5Proxy::Script s;
    s.method = 0xFF;
    Bind(s);
    EXPECT_EQ(b.messages.ids, (std::vector<int>{134}));
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_TRUE(Session().bind.empty());
}

TEST_F(ScriptedBind, RefusedUserName) {
    ScriptedSocks5Proxy::Script s;
    s.method = 0x02;
    s.authStatus = 0x01;
    Bind(s);
    EXPECT_EQ(b.messages.ids, (std::vector<int>{134}));
    EXPECT_FALSE(socket->IsConnected());
}

TEST_F(ScriptedBind, WrongVersionInTheMethodReply) {
    ScriptedSocks5Proxy::Script s;
    s.replyVersion = 4;
    Bind(s);
    EXPECT_EQ(b.messages.ids, (std::vector<int>{134}));
}

TEST_F(ScriptedBind, FailedBindStillTakesThePort) {
    ScriptedSocks5Proxy::Script s;
    s.bindStatus = 0x07;
    s.bindPort = 4444;
    Bind(s);
    EXPECT_EQ(socket->m_nPort, 4444);
    EXPECT_EQ(b.messages.ids, (std::vector<int>{146}));
    EXPECT_FALSE(socket->IsConnected());
}

TEST(SocksBind, UnreachableProxyShowsMessage134) {
    Endpoint b("socks-down");
    UseSocks(b, test::FreeTcpPort());
    CCallSocket socket(*b.ctx);
    socket.Create();
    socket.BindThroughSocks5(0);
    EXPECT_EQ(b.messages.ids, (std::vector<int>{134}));
}

// The second BIND reply on the listening socket: an incoming call, or busy.
class ScriptedIncoming : public RealProxies {
  protected:
    void Start(int secondReplyAfterMs, int closeAfterBindMs = -1) {
        ScriptedSocks5Proxy::Script s;
        s.bindPort = 4100;
        s.secondReplyAfterMs = secondReplyAfterMs;
        s.closeAfterBindMs = closeAfterBindMs;
        ASSERT_TRUE(proxy.Start(s));
        UseSocks(b, proxy.Port());
        UseHttp(b);
        b.model.m_nID = 3003;
        b.StoreServer(server.Port());
        b.ctx->OpenCmdListenSocket();
        ASSERT_TRUE(b.ctx->m_pCmdListenSocket);
        EXPECT_EQ(b.ctx->m_pCmdListenSocket->m_nPort, 4100);
    }
    test::ScriptedServer server;
    Endpoint b{"socks-in"};
    ScriptedSocks5Proxy proxy;
};

TEST_F(ScriptedIncoming, SecondReplyBecomesTheCall) {
    Start(100);
    CCallSocket* first = b.ctx->m_pCmdListenSocket.get();
    ASSERT_TRUE(PumpUntil([&] { return b.ctx->m_pPeerSocket != nullptr; }));
    EXPECT_EQ(b.ctx->m_pPeerSocket.get(), first);
    ASSERT_TRUE(
        PumpUntil([&] { return proxy.Sessions().size() >= 2 && !server.received.empty(); }));
    ASSERT_TRUE(b.ctx->m_pCmdListenSocket);
    EXPECT_NE(b.ctx->m_pCmdListenSocket.get(), first);
    // The new port goes to the directory server.
    QByteArray changePort;
    for (const auto& chunk : server.received)
        if (chunk.startsWith("CHANGEPORT"))
            changePort = chunk;
    ASSERT_EQ(changePort.size(), 28);
    EXPECT_EQ(GetInt32(changePort.constData() + 20), 3003);
    EXPECT_EQ(GetInt32(changePort.constData() + 24), 4100);
    ASSERT_TRUE(PumpUntil([&] { return Contains(proxy.Sessions()[0].afterBind, "ACCEPT"); }));
    EXPECT_TRUE(b.messages.ids.empty());
}

TEST_F(ScriptedIncoming, SecondReplyWhileInACallIsRefusedBusy) {
    Start(300);
    b.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*b.ctx);
    QPointer<CCallSocket> listener(b.ctx->m_pCmdListenSocket.get());
    ASSERT_TRUE(PumpUntil([&] { return Contains(proxy.Sessions()[0].afterBind, "RCRESULTBUSY"); }));
    ASSERT_TRUE(PumpUntil([&] { return proxy.Sessions().size() >= 2; }));
    ASSERT_TRUE(b.ctx->m_pCmdListenSocket);
    EXPECT_FALSE(listener);  // the busy listener was deleted and replaced
    EXPECT_FALSE(Contains(proxy.Sessions()[0].afterBind, "ACCEPT"));
}

// A peer that comes through the proxy and never asks for a call is dropped;
// a later peer through the re-opened listening point is greeted.
TEST_F(ScriptedIncoming, SilentPeerThroughTheProxyIsDroppedForTheNextOne) {
    b.ctx->m_nCallRequestLimitMs = 300;
    Start(100);
    CCallSocket* first = b.ctx->m_pCmdListenSocket.get();
    ASSERT_TRUE(PumpUntil([&] { return b.ctx->m_pPeerSocket.get() == first; }));
    ASSERT_TRUE(PumpUntil([&] {
        const auto sessions = proxy.Sessions();
        for (size_t i = 1; i < sessions.size(); ++i)
            if (Contains(sessions[i].afterBind, "ACCEPT"))
                return true;
        return false;
    }));
    EXPECT_NE(b.ctx->m_pPeerSocket.get(), first);
    EXPECT_TRUE(b.window.log.empty());
    EXPECT_TRUE(b.messages.ids.empty());
}

// The proxy ends the listening point it kept: the phone asks for a new one
// and tells the directory server, without a box.
TEST_F(ScriptedIncoming, ListeningPointDroppedByTheProxyIsReopened) {
    Start(-1, 100);
    QPointer<CCallSocket> first(b.ctx->m_pCmdListenSocket.get());
    ASSERT_TRUE(PumpUntil([&] { return proxy.Sessions().size() >= 2 && !first; }));
    ASSERT_TRUE(PumpUntil([&] {
        int changes = 0;
        for (const auto& chunk : server.received) changes += chunk.startsWith("CHANGEPORT") ? 1 : 0;
        return changes >= 1;
    }));
    EXPECT_TRUE(b.ctx->m_pCmdListenSocket);
    EXPECT_FALSE(b.ctx->m_pPeerSocket);
    EXPECT_TRUE(b.messages.ids.empty());
}

// ---- SOCKS5 BIND through dante ----

class DanteBind : public RealProxies {
  protected:
    void SetUp() override {
        RealProxies::SetUp();
        if (IsSkipped())
            return;
        if (!test::DantedProcess::Available())
            GTEST_SKIP() << "danted not available";
    }
    test::DantedProcess dante;
    test::ScriptedServer server;
};

TEST_F(DanteBind, PeerCallsInThroughTheBoundPort) {
    ASSERT_TRUE(dante.Start(false));
    Endpoint b("dante-callee");
    UseSocks(b, dante.Port());
    UseHttp(b);
    b.model.m_nID = 4004;
    b.StoreServer(server.Port());
    AnswerWithParameters(b);
    b.ctx->OpenCmdListenSocket();
    const int bound = b.ctx->m_pCmdListenSocket->m_nPort;
    ASSERT_GT(bound, 0) << dante.Log();
    ASSERT_TRUE(b.messages.ids.empty()) << dante.Log();

    Endpoint a("dante-caller");
    a.model.m_nID = 5005;
    a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
    a.ctx->m_pPeerSocket->Create();
    ASSERT_TRUE(a.ctx->m_pPeerSocket->RequestCall("127.0.0.1", bound, 22050)) << dante.Log();
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("params"); })) << dante.Log();
    EXPECT_EQ(a.window.lastParams.nSampleRate, 8000);
    EXPECT_EQ(b.window.lastRequest.nCallerId, 5005);
    ASSERT_TRUE(b.ctx->m_pCmdListenSocket);
    ASSERT_TRUE(PumpUntil([&] {
        for (const auto& chunk : server.received)
            if (chunk.startsWith("CHANGEPORT"))
                return true;
        return false;
    }));
    const int rebound = b.ctx->m_pCmdListenSocket->m_nPort;
    EXPECT_GT(rebound, 0);
    EXPECT_NE(rebound, bound);
}

TEST_F(DanteBind, UserNameMethodWithASystemAccount) {
    if (!test::SystemAccount::CanCreate())
        GTEST_SKIP() << "needs root to make a throwaway account";
    test::SystemAccount account;
    const std::string name = "kstest" + std::to_string(::getpid() % 100000);
    ASSERT_TRUE(account.Create(name, "Pw-4711"));
    ASSERT_TRUE(dante.Start(true));

    Endpoint good("dante-user");
    UseSocks(good, dante.Port(), name.c_str(), "Pw-4711");
    CCallSocket socket(*good.ctx);
    socket.Create();
    socket.BindThroughSocks5(0);
    EXPECT_TRUE(good.messages.ids.empty()) << dante.Log();
    EXPECT_GT(socket.m_nPort, 0);
    EXPECT_TRUE(socket.IsConnected());

    Endpoint bad("dante-baduser");
    UseSocks(bad, dante.Port(), name.c_str(), "wrong");
    CCallSocket refused(*bad.ctx);
    refused.Create();
    refused.BindThroughSocks5(0);
    EXPECT_EQ(bad.messages.ids, (std::vector<int>{134}));
}

}  // namespace
}  // namespace kestrona
