// The proxy exchanges: the machine fed scripted answers in every split, and
// the blocking driver against scripted and real proxies (tinyproxy and squid
// for CONNECT, dante for SOCKS5 CONNECT and BIND).
#include "platform/proxy_tunnel.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "support/hung_lookup.h"
#include "support/proxy_fixtures.h"

namespace kestrona {
namespace {

using State = ProxyHandshake::State;

const std::string kConnectRequest =
    "CONNECT 10.0.0.5:2000 HTTP/1.1\r\nUser-Agent: KESTRONA1.1/0.1\r\n\r\n";

std::string Bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}

// Feeds `answer` cut into pieces of `piece` bytes (0: all at once).
void FeedInPieces(ProxyHandshake& h, const std::string& answer, size_t piece) {
    if (piece == 0)
        piece = answer.size();
    for (size_t at = 0; at < answer.size(); at += piece) h.Feed(answer.substr(at, piece));
}

// ---- HTTP CONNECT ----

TEST(HttpConnectMachine, AnyVersionAnd2xxOpensAndBytesBehindTheAnswerAreKept) {
    const std::string answers[] = {
        "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n",
        "HTTP/1.1 200 Connection established\r\n\r\n",
        "HTTP/1.1 204 No Content\r\nVia: 1.1 x\r\n\r\n",
        "HTTP/1.0 200 OK\n\n",
    };
    for (const std::string& answer : answers) {
        for (size_t piece : {size_t(0), size_t(1), size_t(7)}) {
            for (const std::string glued : {"", "ACCEPT", "\r\n\r\nRCRESULTBUSY"}) {
                auto h = ProxyHandshake::HttpConnect("10.0.0.5", 2000);
                EXPECT_EQ(h.TakeOutput(), kConnectRequest);
                FeedInPieces(h, answer + glued, piece);
                EXPECT_EQ(h.GetState(), State::kOpen) << answer << " in pieces of " << piece;
                EXPECT_EQ(h.Leftover(), glued);
                EXPECT_FALSE(h.HasOutput());
            }
        }
    }
    // Bytes that come after the answer are the far end's too.
    auto h = ProxyHandshake::HttpConnect("host", 1);
    h.Feed(std::string("HTTP/1.1 200 OK\r\n\r\n"));
    h.Feed(std::string("ACC"));
    h.Feed(std::string("EPT"));
    EXPECT_EQ(h.TakeLeftover(), "ACCEPT");
}

TEST(HttpConnectMachine, RefusalsAndOtherSpeechFailAsSoonAsTheStatusLineIsIn) {
    struct Case {
        std::string answer;
        TunnelFailure failure;
        int status;
    } cases[] = {
        {"HTTP/1.0 403 Filtered\r\n", TunnelFailure::kHttpRefused, 403},
        {"HTTP/1.1 407 Proxy Authentication Required\r\n", TunnelFailure::kHttpRefused, 407},
        {"HTTP/1.1 502 Bad Gateway\r\n", TunnelFailure::kHttpRefused, 502},
        {"HTTP/1.1 100 Continue\r\n", TunnelFailure::kHttpRefused, 100},
        {"SSH-2", TunnelFailure::kNotHttp, 0},
        {"HTTP/1.1 OK\r\n", TunnelFailure::kNotHttp, 0},
        // A peer's greeting where the proxy's answer should be.
        {"ACCEPT", TunnelFailure::kNotHttp, 0},
    };
    for (const Case& c : cases) {
        auto h = ProxyHandshake::HttpConnect("10.0.0.5", 2000);
        FeedInPieces(h, c.answer, 1);
        EXPECT_EQ(h.GetState(), State::kFailed) << c.answer;
        EXPECT_EQ(h.Failure(), c.failure) << c.answer;
        EXPECT_EQ(h.HttpStatus(), c.status) << c.answer;
        EXPECT_TRUE(h.Leftover().empty());
    }
    // An answer that never ends is not a proxy's.
    auto h = ProxyHandshake::HttpConnect("10.0.0.5", 2000);
    h.Feed("HTTP/1.1 200 OK\r\n" + std::string(20000, 'x'));
    EXPECT_EQ(h.Failure(), TunnelFailure::kNotHttp);
}

// ---- SOCKS5 ----

const std::string kGreeting = Bytes({5, 2, 0, 2});
const std::string kBindAny = Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0});

TEST(Socks5Machine, BindWithEitherMethodAndBothRepliesSplitByteByByte) {
    const std::string firstReply = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x9c, 0x41});
    const std::string secondReplies[] = {
        Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0xd4, 0x31}),
        Bytes({5, 0, 0, 3, 4, 'h', 'o', 's', 't', 0xd4, 0x31}),
        Bytes({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xd4, 0x31}),
    };
    for (bool password : {false, true}) {
        for (const std::string& second : secondReplies) {
            auto h = ProxyHandshake::Socks5Bind("alice", "s3cret", 0, false);
            EXPECT_EQ(h.TakeOutput(), kGreeting);
            FeedInPieces(h, Bytes({5, password ? 2 : 0}), 1);
            if (password) {
                EXPECT_EQ(h.TakeOutput(),
                          "\x01\x05"
                          "alice\x06"
                          "s3cret");
                EXPECT_FALSE(h.RequestSent());
                FeedInPieces(h, Bytes({1, 0}), 1);
            }
            EXPECT_EQ(h.TakeOutput(), kBindAny);
            EXPECT_TRUE(h.RequestSent());
            FeedInPieces(h, firstReply, 1);
            EXPECT_EQ(h.GetState(), State::kBound);
            EXPECT_EQ(h.BoundPort(), 40001);
            FeedInPieces(h, second + "audio", 1);
            EXPECT_EQ(h.GetState(), State::kOpen);
            EXPECT_EQ(h.Leftover(), "audio");
            EXPECT_EQ(h.BoundPort(), 40001);
        }
    }
    // Every answer of the exchange glued into one chunk.
    auto h = ProxyHandshake::Socks5Bind("", "", 5004, true);
    EXPECT_EQ(h.TakeOutput(), kGreeting);
    h.Feed(Bytes({5, 0}) + firstReply + secondReplies[0]);
    EXPECT_EQ(h.TakeOutput(), Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0x13, 0x8c}));
    EXPECT_EQ(h.GetState(), State::kOpen);  // open at the first reply
    EXPECT_EQ(h.Leftover(), secondReplies[0]);
}

TEST(Socks5Machine, ConnectNamesTheTargetByAddressOrName) {
    auto byAddress = ProxyHandshake::Socks5Connect("", "", "10.0.0.5", 2000);
    byAddress.TakeOutput();
    byAddress.Feed(Bytes({5, 0}));
    EXPECT_EQ(byAddress.TakeOutput(), Bytes({5, 1, 0, 1, 10, 0, 0, 5, 0x07, 0xd0}));
    byAddress.Feed(Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80}) + "hi");
    EXPECT_EQ(byAddress.GetState(), State::kOpen);
    EXPECT_EQ(byAddress.Leftover(), "hi");

    auto byName = ProxyHandshake::Socks5Connect("", "", "peer.example", 80);
    byName.TakeOutput();
    byName.Feed(Bytes({5, 0}));
    EXPECT_EQ(byName.TakeOutput(), Bytes({5, 1, 0, 3, 12}) + "peer.example" + Bytes({0, 80}));
}

TEST(Socks5Machine, EachRefusalIsNamedAndAFailedBindStillGivesItsPort) {
    struct Case {
        const char* what;
        std::string answers;
        TunnelFailure failure;
        bool requestSent;
        int port;
    } cases[] = {
        {"not SOCKS5", Bytes({4, 0}), TunnelFailure::kSocksVersion, false, 0},
        {"no acceptable method", Bytes({5, 0xFF}), TunnelFailure::kNoMethod, false, 0},
        {"method 1", Bytes({5, 1}), TunnelFailure::kNoMethod, false, 0},
        {"password refused", Bytes({5, 2, 1, 1}), TunnelFailure::kAuthRefused, false, 0},
        {"bind refused", Bytes({5, 0, 5, 1, 0, 1, 0, 0, 0, 0, 0x13, 0x8c}),
         TunnelFailure::kRequestRefused, true, 5004},
        {"refused without an address", Bytes({5, 0, 5, 7, 0, 9}), TunnelFailure::kRequestRefused,
         true, 0},
        {"bad address type", Bytes({5, 0, 5, 0, 0, 9}), TunnelFailure::kBadAddress, true, 0},
        {"peer refused", Bytes({5, 0, 5, 0, 0, 1, 0, 0, 0, 0, 0, 1, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0}),
         TunnelFailure::kPeerRefused, true, 1},
    };
    for (const Case& c : cases) {
        auto h = ProxyHandshake::Socks5Bind("u", "p", 5004, false);
        FeedInPieces(h, c.answers, 1);
        EXPECT_EQ(h.GetState(), State::kFailed) << c.what;
        EXPECT_EQ(h.Failure(), c.failure) << c.what;
        EXPECT_EQ(h.RequestSent(), c.requestSent) << c.what;
        EXPECT_EQ(h.BoundPort(), c.port) << c.what;
        EXPECT_TRUE(h.Leftover().empty()) << c.what;
    }
    // A proxy that hangs up mid-answer.
    auto h = ProxyHandshake::Socks5Bind("", "", 0, false);
    h.Feed(Bytes({5}));
    h.Fail(TunnelFailure::kClosed);
    EXPECT_EQ(h.Failure(), TunnelFailure::kClosed);
    h.Fail(TunnelFailure::kTimedOut);  // the first reason stands
    EXPECT_EQ(h.Failure(), TunnelFailure::kClosed);
}

// ---- The blocking driver ----

TEST(TunnelDriver, ScriptedProxiesTimeOutsAndCancellation) {
    {
        test::ScriptedHttpProxy proxy("HTTP/1.1 200 Connection established\r\n\r\nACCEPT");
        TunnelFailure why = TunnelFailure::kTimedOut;
        UniqueFd fd(ConnectTcpWithin("127.0.0.1", proxy.Port(), 5000, nullptr, &why));
        ASSERT_GE(fd.get(), 0);
        EXPECT_EQ(why, TunnelFailure::kNone);
        auto h = ProxyHandshake::HttpConnect("10.0.0.5", 2000);
        ASSERT_TRUE(RunHandshake(fd.get(), h, 5000, nullptr));
        EXPECT_EQ(h.Leftover(), "ACCEPT");
        EXPECT_EQ(proxy.Requests(), std::vector<std::string>{kConnectRequest});
    }
    {
        test::ScriptedHttpProxy proxy("HTTP/1.1 403 Forbidden\r\n");
        UniqueFd fd(ConnectTcpWithin("127.0.0.1", proxy.Port(), 5000, nullptr, nullptr));
        auto h = ProxyHandshake::HttpConnect("10.0.0.5", 2000);
        // Fails on the status line, long before the hour is up.
        EXPECT_FALSE(RunHandshake(fd.get(), h, 3600 * 1000, nullptr));
        EXPECT_EQ(h.Failure(), TunnelFailure::kHttpRefused);
    }
    test::SilentProxy silent;
    {
        UniqueFd fd(ConnectTcpWithin("127.0.0.1", silent.Port(), 5000, nullptr, nullptr));
        auto h = ProxyHandshake::Socks5Bind("", "", 0, false);
        EXPECT_FALSE(RunHandshake(fd.get(), h, 50, nullptr));
        EXPECT_EQ(h.Failure(), TunnelFailure::kTimedOut);
    }
    {
        CancelToken cancel;
        UniqueFd fd(ConnectTcpWithin("127.0.0.1", silent.Port(), 5000, &cancel, nullptr));
        auto h = ProxyHandshake::HttpConnect("10.0.0.5", 2000);
        std::thread canceller([&] {
            while (silent.Accepted() < 2) std::this_thread::yield();
            cancel.Cancel();
        });
        EXPECT_FALSE(RunHandshake(fd.get(), h, 0, &cancel));  // no time bound at all
        canceller.join();
        EXPECT_EQ(h.Failure(), TunnelFailure::kCancelled);
        // A cancelled token stops the next connect before it starts waiting.
        TunnelFailure why = TunnelFailure::kNone;
        EXPECT_LT(ConnectTcpWithin("10.255.255.1", 9, 0, &cancel, &why), 0);
        EXPECT_NE(why, TunnelFailure::kNone);
    }
    TunnelFailure why = TunnelFailure::kNone;
    EXPECT_LT(ConnectTcpWithin("127.0.0.1", test::FreeLoopbackPort(), 5000, nullptr, &why), 0);
    EXPECT_EQ(why, TunnelFailure::kUnreachable);
}

// A name server that never answers holds neither a deadline nor a cancel
// up: both end the wait while the look-up itself is still hanging.
TEST(TunnelDriver, HungNameLookUpIsBoundedAndCancellable) {
    test::HungLookup lookup;
    TunnelFailure why = TunnelFailure::kNone;
    EXPECT_LT(ConnectTcpWithin("proxy.invalid", 1080, 50, nullptr, &why), 0);
    EXPECT_EQ(why, TunnelFailure::kTimedOut);

    CancelToken cancel;
    std::thread canceller([&] {
        lookup.WaitEntered(2);
        cancel.Cancel();
    });
    why = TunnelFailure::kNone;
    EXPECT_LT(ConnectTcpWithin("proxy.invalid", 1080, 3600 * 1000, &cancel, &why), 0);
    canceller.join();
    EXPECT_EQ(why, TunnelFailure::kCancelled);
    EXPECT_EQ(lookup.Left(), 0);  // neither waited for the look-up to end
}

// ---- Real proxies ----

// A far end on loopback that greets every connection with "ACCEPT".
class Greeter {
  public:
    Greeter() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 4);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c >= 0) {
                [[maybe_unused]] ssize_t n = ::send(c, "ACCEPT", 6, MSG_NOSIGNAL);
                char b[16];
                n = ::recv(c, b, sizeof b, 0);  // until the client hangs up
                ::close(c);
            }
        });
    }
    ~Greeter() {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    int Port() const { return m_port; }

  private:
    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
};

// Reads until `want` bytes have come through the tunnel (the leftover first).
std::string ReadThrough(int fd, ProxyHandshake& h, size_t want) {
    std::string got = h.TakeLeftover();
    while (got.size() < want) {
        char b[64];
        const ssize_t n = ::recv(fd, b, sizeof b, 0);
        if (n <= 0)
            break;
        got.append(b, size_t(n));
    }
    return got;
}

void ExpectHttpTunnelCarriesTheGreeting(int proxyPort) {
    Greeter far;
    UniqueFd fd(ConnectTcpWithin("127.0.0.1", proxyPort, 5000, nullptr, nullptr));
    ASSERT_GE(fd.get(), 0);
    auto h = ProxyHandshake::HttpConnect("127.0.0.1", far.Port());
    ASSERT_TRUE(RunHandshake(fd.get(), h, 10000, nullptr)) << TunnelFailureText(h.Failure());
    EXPECT_EQ(h.HttpStatus(), 200);
    EXPECT_EQ(ReadThrough(fd.get(), h, 6), "ACCEPT");
}

void ExpectHttpRefusalOfADeadPort(int proxyPort) {
    UniqueFd fd(ConnectTcpWithin("127.0.0.1", proxyPort, 5000, nullptr, nullptr));
    ASSERT_GE(fd.get(), 0);
    auto h = ProxyHandshake::HttpConnect("127.0.0.1", test::FreeLoopbackPort());
    EXPECT_FALSE(RunHandshake(fd.get(), h, 30000, nullptr));
    EXPECT_EQ(h.Failure(), TunnelFailure::kHttpRefused);
    EXPECT_GE(h.HttpStatus(), 400);
}

TEST(RealProxyTunnel, Tinyproxy) {
    if (!test::TinyproxyProcess::Available())
        GTEST_SKIP() << "tinyproxy not installed";
    test::TinyproxyProcess proxy;
    ASSERT_TRUE(proxy.Start());
    ExpectHttpTunnelCarriesTheGreeting(proxy.Port());
    ExpectHttpRefusalOfADeadPort(proxy.Port());
}

TEST(RealProxyTunnel, Squid) {
    if (!test::SquidProcess::Available())
        GTEST_SKIP() << "squid not installed";
    test::SquidProcess proxy;
    ASSERT_TRUE(proxy.Start()) << proxy.Log();
    ExpectHttpTunnelCarriesTheGreeting(proxy.Port());
    ExpectHttpRefusalOfADeadPort(proxy.Port());
}

TEST(RealProxyTunnel, DanteConnectAndBindWithBothReplies) {
    if (!test::DantedProcess::Available())
        GTEST_SKIP() << "danted not installed";
    test::DantedProcess proxy;
    ASSERT_TRUE(proxy.Start()) << proxy.Log();

    Greeter far;
    UniqueFd out(ConnectTcpWithin("127.0.0.1", proxy.Port(), 5000, nullptr, nullptr));
    auto connect = ProxyHandshake::Socks5Connect("", "", "127.0.0.1", far.Port());
    ASSERT_TRUE(RunHandshake(out.get(), connect, 10000, nullptr))
        << TunnelFailureText(connect.Failure()) << proxy.Log();
    EXPECT_EQ(ReadThrough(out.get(), connect, 6), "ACCEPT");

    UniqueFd listening(ConnectTcpWithin("127.0.0.1", proxy.Port(), 5000, nullptr, nullptr));
    auto bind = ProxyHandshake::Socks5Bind("", "", 0, false);
    ASSERT_TRUE(RunHandshake(listening.get(), bind, 10000, nullptr))
        << TunnelFailureText(bind.Failure()) << proxy.Log();
    ASSERT_EQ(bind.GetState(), State::kBound);
    ASSERT_GT(bind.BoundPort(), 0);
    // A peer calls in at the bound port and speaks first.
    UniqueFd peer(ConnectTcpWithin("127.0.0.1", bind.BoundPort(), 5000, nullptr, nullptr));
    ASSERT_GE(peer.get(), 0);
    ASSERT_EQ(::send(peer.get(), "REQUESTCALL", 11, MSG_NOSIGNAL), 11);
    ASSERT_TRUE(RunHandshake(listening.get(), bind, 10000, nullptr, true))
        << TunnelFailureText(bind.Failure());
    EXPECT_EQ(bind.GetState(), State::kOpen);
    EXPECT_EQ(ReadThrough(listening.get(), bind, 11), "REQUESTCALL");
}

}  // namespace
}  // namespace kestrona
