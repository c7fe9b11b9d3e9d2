// The TLS listener: the same exchanges as the plain port inside TLS 1.2 or
// 1.3, a balancer's header before the handshake, clients that never finish
// a handshake, and the plain listener switched off.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "raw_client.h"
#include "server/directory.h"
#include "server/options.h"
#include "server/password.h"
#include "server/server.h"
#include "server/sqlite_store.h"
#include "server_test_util.h"
#include "support/test_certs.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::RawClient;
namespace rec = records;

// A blocking TLS client on a plain descriptor; reads give up after a guard
// so a broken server fails a test instead of hanging it.
class TlsClient {
  public:
    TlsClient(std::uint16_t port, const std::string& ca_file, int max_version = 0,
              const Bytes& header = {}) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            return;
        }
        if (!header.empty()) {
            ::send(fd_, header.data(), header.size(), MSG_NOSIGNAL);
        }
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        if (max_version) {
            SSL_CTX_set_min_proto_version(ctx_, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(ctx_, max_version);
            SSL_CTX_set_security_level(ctx_, 0);
        }
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        SSL_set_tlsext_host_name(ssl_, "localhost");
        SSL_set1_host(ssl_, "localhost");
        handshaken_ = SSL_connect(ssl_) == 1;
        ERR_clear_error();
    }
    ~TlsClient() {
        if (ssl_) {
            SSL_free(ssl_);
        }
        if (ctx_) {
            SSL_CTX_free(ctx_);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool handshaken() const { return handshaken_; }
    std::string version() const { return ssl_ ? SSL_get_version(ssl_) : ""; }

    void Send(const Bytes& data) { SSL_write(ssl_, data.data(), static_cast<int>(data.size())); }
    Bytes ReadExactly(std::size_t n) {
        Bytes out(n);
        std::size_t got = 0;
        while (got < n) {
            int r = SSL_read(ssl_, out.data() + got, static_cast<int>(n - got));
            if (r <= 0) {
                break;
            }
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }
    Bytes ReadToEnd() {
        Bytes out;
        std::uint8_t chunk[512];
        for (;;) {
            int r = SSL_read(ssl_, chunk, sizeof chunk);
            if (r <= 0) {
                return out;
            }
            out.insert(out.end(), chunk, chunk + r);
        }
    }
    // One exchange: the greeting, the record, the reply.
    Bytes Exchange(const Bytes& record) {
        if (ReadExactly(6) != test::AsBytes("ACCEPT")) {
            return {};
        }
        Send(record);
        return ReadToEnd();
    }

  private:
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    bool handshaken_ = false;
};

bool Begins(const Bytes& b, std::string_view word) {
    return b.size() >= word.size() && std::equal(word.begin(), word.end(), b.begin());
}

class TlsServerTest : public ::testing::Test {
  protected:
    TlsServerTest()
        : certs_(dir_.File("")), store_(dir_.File("directory.db")), hasher_(HashCost::Minimum()) {
        directory_ = std::make_unique<Directory>(store_, hasher_, DirectoryConfig{});
    }

    Server& Start(ServerConfig config) {
        config.listen_address = "127.0.0.1";
        config.port = 0;
        config.tls_port = 0;
        if (config.tls_certificate.empty()) {
            config.tls_certificate = certs_.good.certificate;
            config.tls_key = certs_.good.key;
        }
        config.log = [this](std::string_view line) {
            std::lock_guard lock(log_mutex_);
            log_.emplace_back(line);
        };
        server_ = std::make_unique<Server>(config, *directory_);
        server_->Start();
        return *server_;
    }

    bool Logged(std::string_view text) {
        std::lock_guard lock(log_mutex_);
        for (const std::string& line : log_) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::int32_t Register(std::uint16_t tls_port, const std::string& email) {
        TlsClient client(tls_port, certs_.authority.certificate);
        Bytes reply = client.Exchange(test::RegisterRecord("zhang", "secret", email));
        return Begins(reply, rec::register_success::kWord) ? rec::GetInt(reply.data(), 18) : 0;
    }

    test::TempDir dir_;
    kestrona::test::TestCertificates certs_;
    // Before the server, which logs into them until it is stopped.
    std::mutex log_mutex_;
    std::vector<std::string> log_;
    SqliteStore store_;
    PasswordHasher hasher_;
    std::unique_ptr<Directory> directory_;
    std::unique_ptr<Server> server_;
};

TEST_F(TlsServerTest, ServesTheSameExchangesAsPlainAndCountsEachTransport) {
    ServerConfig config;
    config.metrics_address = "127.0.0.1";
    config.metrics_port = 0;
    Server& server = Start(config);
    ASSERT_NE(server.port(), 0);
    ASSERT_NE(server.tls_port(), 0);

    std::int32_t number = Register(server.tls_port(), "tls@example.cn");
    ASSERT_GT(number, 0);
    {
        TlsClient client(server.tls_port(), certs_.authority.certificate);
        ASSERT_TRUE(client.handshaken());
        EXPECT_EQ(client.version(), "TLSv1.3");
        Bytes reply = client.Exchange(test::LoginRecord(number, "secret", 4000));
        ASSERT_TRUE(Begins(reply, rec::login_result::kWord));
        EXPECT_EQ(rec::GetInt(reply.data(), 20), rec::login_result::kAccepted);
    }
    {
        // TLS 1.2 is served as well.
        TlsClient client(server.tls_port(), certs_.authority.certificate, TLS1_2_VERSION);
        ASSERT_TRUE(client.handshaken());
        EXPECT_EQ(client.version(), "TLSv1.2");
        Bytes reply = client.Exchange(test::QueryRecord(number, number));
        EXPECT_TRUE(Begins(reply, rec::query_result::kWord));
    }
    {
        // The plain port sees the session made over TLS.
        RawClient plain(server.port());
        EXPECT_EQ(plain.ReadExactly(6), test::AsBytes("ACCEPT"));
        plain.Send(test::QueryRecord(number, number));
        Bytes reply = plain.ReadToEnd();
        EXPECT_TRUE(Begins(reply, rec::query_result::kWord));
        EXPECT_FALSE(Begins(reply, rec::query_not_found::kWord));
    }
    {
        // Older versions are refused in the handshake.
        TlsClient old(server.tls_port(), certs_.authority.certificate, TLS1_1_VERSION);
        EXPECT_FALSE(old.handshaken());
    }
    std::string metrics;
    for (int i = 0; i < 100; ++i) {
        metrics = test::HttpGet(server.metrics_port(), "/metrics");
        if (metrics.find("tls_handshake_failed\"} 1") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(metrics.find("kestrona_transport_exchanges_total{transport=\"tls\"} 3\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("kestrona_transport_exchanges_total{transport=\"plain\"} 1\n"),
              std::string::npos);
    EXPECT_NE(
        metrics.find("kestrona_refused_connections_total{reason=\"tls_handshake_failed\"} 1\n"),
        std::string::npos);
}

TEST_F(TlsServerTest, BalancerHeaderComesBeforeTheHandshake) {
    ServerConfig config;
    config.trusted_proxies.Add("127.0.0.1");
    Server& server = Start(config);
    std::int32_t number = 0;
    {
        TlsClient client(server.tls_port(), certs_.authority.certificate, 0,
                         test::AsBytes("PROXY TCP4 203.0.113.9 127.0.0.1 40000 10005\r\n"));
        ASSERT_TRUE(client.handshaken());
        Bytes reply = client.Exchange(test::RegisterRecord("li", "secret", "li@example.cn"));
        ASSERT_TRUE(Begins(reply, rec::register_success::kWord));
        number = rec::GetInt(reply.data(), 18);
    }
    EXPECT_TRUE(Logged("203.0.113.9:40000 REGISTERNEW"));
    // From a trusted balancer, a handshake without a header is refused
    // before any TLS is spoken.
    TlsClient bare(server.tls_port(), certs_.authority.certificate);
    EXPECT_FALSE(bare.handshaken());
    EXPECT_GT(number, 0);
}

TEST_F(TlsServerTest, UnfinishedHandshakesAreCutAtTheDeadlineWithoutHoldingTheThread) {
    ServerConfig config;
    config.io_threads = 1;
    config.idle_timeout = 300ms;
    Server& server = Start(config);
    // One client sends nothing; another the first bytes of a TLS record and
    // then stops; a third sends garbage.
    RawClient silent(server.tls_port());
    RawClient stalled(server.tls_port());
    stalled.Send(Bytes{0x16, 0x03, 0x01, 0x02, 0x00, 0x01});
    RawClient garbage(server.tls_port());
    garbage.Send(test::AsBytes("GET / HTTP/1.0\r\n\r\n"));
    // Meanwhile the one thread serves a whole TLS exchange.
    EXPECT_GT(Register(server.tls_port(), "busy@example.cn"), 0);
    // And each of them is closed by the server: the reads end instead of
    // running into the client's own guard.
    EXPECT_TRUE(silent.ReadToEnd().empty());
    EXPECT_TRUE(stalled.ReadToEnd().empty());
    garbage.ReadToEnd();
    EXPECT_TRUE(Logged("TLS handshake not done in time"));
    EXPECT_TRUE(Logged("TLS handshake failed"));
}

TEST_F(TlsServerTest, PlainListenerSwitchedOffAndUnusableSettingsRefused) {
    ServerConfig config;
    config.plain = false;
    Server& server = Start(config);
    EXPECT_EQ(server.port(), 0);
    EXPECT_GT(Register(server.tls_port(), "only@example.cn"), 0);

    // A key that is not the certificate's.
    ServerConfig mismatched;
    mismatched.listen_address = "127.0.0.1";
    mismatched.port = 0;
    mismatched.tls_port = 0;
    mismatched.tls_certificate = certs_.good.certificate;
    mismatched.tls_key = certs_.authority.key;
    Server wrong(mismatched, *directory_);
    EXPECT_THROW(wrong.Start(), std::runtime_error);

    auto error = [](std::vector<std::string> args) { return ParseOptions(args).error; };
    EXPECT_NE(error({"--no-plain"}), "");
    EXPECT_NE(error({"--tls-port", "10005", "--tls-cert", "c.pem"}), "");
    EXPECT_NE(error({"--tls-port", "10004", "--tls-cert", "c", "--tls-key", "k"}), "");
    ParsedOptions ok =
        ParseOptions({"--tls-port", "10005", "--tls-cert", "c", "--tls-key", "k", "--no-plain"});
    EXPECT_EQ(ok.error, "");
    EXPECT_TRUE(ok.options.no_plain);
}

}  // namespace
}  // namespace kestrona::server
