#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include <filesystem>

#include "app/keep_alive.h"
#include "support/test_certs.h"

using namespace kestrona;

namespace {

// A one-thread TCP server on loopback that greets, reads what comes and
// answers each connection in turn with the next scripted reply.
class FakeServer {
  public:
    struct Script {
        std::string greeting = "ACCEPT";
        std::string reply;  // empty: keep the connection silent until closed
        bool readRequest = true;
    };

    explicit FakeServer(std::vector<Script> scripts) : m_scripts(std::move(scripts)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 8);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    int port() const { return m_port; }
    std::vector<std::string> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    int Connections() const { return m_connections.load(); }

  private:
    void Serve() {
        for (std::size_t i = 0; !m_stop; ++i) {
            pollfd p{m_listen, POLLIN, 0};
            while (!m_stop && ::poll(&p, 1, 50) != 1) {
            }
            if (m_stop) {
                return;
            }
            const int fd = ::accept(m_listen, nullptr, nullptr);
            ++m_connections;
            const Script& s = m_scripts[std::min(i, m_scripts.size() - 1)];
            if (!s.greeting.empty()) {
                ::send(fd, s.greeting.data(), s.greeting.size(), MSG_NOSIGNAL);
            }
            std::string request;
            if (s.readRequest) {
                char buf[1024];
                pollfd r{fd, POLLIN, 0};
                while (!m_stop && ::poll(&r, 1, 50) != 1) {
                }
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n > 0) {
                    request.assign(buf, static_cast<std::size_t>(n));
                }
                // A proxy's client sends its request in a second write.
                if (request.rfind("CONNECT ", 0) == 0) {
                    const std::string ok = "HTTP/1.0 200 Connection established\r\n\r\nACCEPT";
                    ::send(fd, ok.data(), ok.size(), MSG_NOSIGNAL);
                    const ssize_t m = ::recv(fd, buf, sizeof buf, 0);
                    if (m > 0) {
                        request += std::string(buf, static_cast<std::size_t>(m));
                    }
                }
            }
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            if (!s.reply.empty()) {
                ::send(fd, s.reply.data(), s.reply.size(), MSG_NOSIGNAL);
            } else {
                while (!m_stop) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
            ::close(fd);
        }
    }

    std::vector<Script> m_scripts;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

using Script = FakeServer::Script;

KeepAliveTarget Direct(int port) {
    KeepAliveTarget t;
    t.host = "127.0.0.1";
    t.port = port;
    t.timeoutMs = 2000;
    return t;
}

CKeepAlive MakeIdle() {
    return CKeepAlive([] { return KeepAliveTarget{}; }, [] { return 0; }, [] { return 0; }, [] {});
}

}  // namespace

TEST(KeepAlive, UserLiveRecordBytes) {
    const auto r = MakeUserLive(12345);
    const uint8_t expected[12] = {0x55, 0x53, 0x45, 0x52, 0x4C, 0x49,
                                  0x56, 0x45, 0x39, 0x30, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(r.data(), expected, 12), 0);
    EXPECT_TRUE(IsAlreadyTimeout("ALREADYTIMEOUT", 14));
    EXPECT_TRUE(IsAlreadyTimeout("ALREADYTIMEOUTxyz", 17));
    EXPECT_FALSE(IsAlreadyTimeout("ALREADYTIMEOU", 13));
    EXPECT_FALSE(IsAlreadyTimeout("GENERALCMDSUCCESS", 17));
}

TEST(KeepAlive, ExchangeOutcomes) {
    FakeServer server({Script{"ACCEPT", "ALREADYTIMEOUT"}, Script{"ACCEPT", "GENERALCMDSUCCESS"}});
    CKeepAlive live = MakeIdle();
    EXPECT_EQ(live.Exchange(Direct(server.port()), 12345), LiveResult::kAlreadyTimeout);
    EXPECT_EQ(live.Exchange(Direct(server.port()), 12345), LiveResult::kAlive);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], std::string("USERLIVE\x39\x30\0\0", 12));
}

TEST(KeepAlive, NoSessionWithoutServerOrGreeting) {
    CKeepAlive live = MakeIdle();
    int closedPort = 0;
    {
        FakeServer gone({Script{"ACCEPT", "x"}});
        closedPort = gone.port();
    }
    EXPECT_EQ(live.Exchange(Direct(closedPort), 1), LiveResult::kNoSession);

    FakeServer mute({Script{"", "", false}});
    KeepAliveTarget t = Direct(mute.port());
    t.timeoutMs = 300;
    EXPECT_EQ(live.Exchange(t, 1), LiveResult::kNoSession);
}

TEST(KeepAlive, ThroughHttpProxyGreetingGlued) {
    FakeServer proxy({Script{"", "ALREADYTIMEOUT"}});
    KeepAliveTarget t;
    t.host = "10.0.0.5";
    t.port = 2000;
    t.timeoutMs = 2000;
    t.viaHttpProxy = true;
    t.proxyAddress = "127.0.0.1";
    t.proxyPort = proxy.port();
    CKeepAlive live = MakeIdle();
    EXPECT_EQ(live.Exchange(t, 7), LiveResult::kAlreadyTimeout);
    const auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, requests[0].size() - 12),
              "CONNECT 10.0.0.5:2000 HTTP/1.1\r\nUser-Agent: KESTRONA1.1/0.1\r\n\r\n");
}

TEST(KeepAlive, LoopRetriesUntilTimeoutThenCallsOut) {
    // Two answers that keep the session, then the time-out.
    FakeServer server({Script{"ACCEPT", "GENERALCMDSUCCESS"}, Script{"ACCEPT", "GENERALCMDSUCCESS"},
                       Script{"ACCEPT", "ALREADYTIMEOUT"}});
    std::mutex m;
    std::condition_variable cv;
    bool timedOut = false;
    CKeepAlive live([&] { return Direct(server.port()); }, [] { return 42; }, [] { return 0; },
                    [&] {
                        std::lock_guard lock(m);
                        timedOut = true;
                        cv.notify_all();
                    });
    live.Start();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return timedOut; }));
    }
    live.Stop();
    EXPECT_EQ(live.Rounds(), 3);
    EXPECT_EQ(server.Connections(), 3);
}

TEST(KeepAlive, StopEndsAWaitWithoutReply) {
    FakeServer silent({Script{"ACCEPT", ""}});
    CKeepAlive live([&] { return Direct(silent.port()); }, [] { return 1; }, [] { return 60; },
                    [] { FAIL() << "no time-out was sent"; });
    live.Start();
    while (silent.Requests().empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    live.Stop();  // must return: the reply wait has no time limit of its own
    EXPECT_EQ(live.Rounds(), 1);
}

namespace {

// One TLS connection served on its own thread with the given certificate:
// greeting, one request, the reply. What came is kept.
class TlsOnce {
  public:
    TlsOnce(const test::CertificatePair& cert, std::string reply) : m_reply(std::move(reply)) {
        m_ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(m_ctx, cert.certificate.c_str());
        SSL_CTX_use_PrivateKey_file(m_ctx, cert.key.c_str(), SSL_FILETYPE_PEM);
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 1);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~TlsOnce() {
        m_thread.join();
        ::close(m_listen);
        SSL_CTX_free(m_ctx);
    }
    int port() const { return m_port; }
    std::string Request() {
        m_thread.join();
        m_thread = std::thread([] {});
        return m_request;
    }

  private:
    void Serve() {
        const int fd = ::accept(m_listen, nullptr, nullptr);
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        SSL* ssl = SSL_new(m_ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1 && SSL_write(ssl, "ACCEPT", 6) == 6) {
            char buf[64];
            const int n = SSL_read(ssl, buf, sizeof buf);
            if (n > 0) {
                m_request.assign(buf, static_cast<std::size_t>(n));
                SSL_write(ssl, m_reply.data(), static_cast<int>(m_reply.size()));
            }
        }
        SSL_free(ssl);
        ::close(fd);
    }

    std::string m_reply;
    SSL_CTX* m_ctx = nullptr;
    int m_listen = -1;
    int m_port = 0;
    std::string m_request;
    std::thread m_thread;
};

}  // namespace

// The keep-alive goes inside TLS when it is on, and a certificate that fails
// the checks gets no record at all.
TEST(KeepAlive, InsideTlsAndNothingSentWhenTheCheckFails) {
    char pattern[] = "/tmp/kestrona-keepalive-tls-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const test::TestCertificates certs(dir);
    CKeepAlive live = MakeIdle();
    {
        TlsOnce server(certs.self_signed, "ALREADYTIMEOUT");
        KeepAliveTarget t = Direct(server.port());
        t.timeoutMs = 30000;  // a bound only: a first handshake loads the TLS library
        t.tls = {true, certs.self_signed_pin};
        EXPECT_EQ(live.Exchange(t, 12345), LiveResult::kAlreadyTimeout);
        EXPECT_EQ(server.Request(), std::string("USERLIVE\x39\x30\0\0", 12));
    }
    {
        TlsOnce server(certs.self_signed, "ALREADYTIMEOUT");
        KeepAliveTarget t = Direct(server.port());
        t.timeoutMs = 30000;  // a bound only: a first handshake loads the TLS library
        t.tls = {true, certs.good_pin};
        EXPECT_EQ(live.Exchange(t, 12345), LiveResult::kNoSession);
        EXPECT_EQ(server.Request(), "");
    }
    std::filesystem::remove_all(dir);
}
