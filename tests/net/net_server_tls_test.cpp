// TLS to the directory server from the phone's side, against real
// kestrona-server processes on loopback whose certificates are made for the
// run, directly and through tinyproxy's CONNECT.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSslSocket>
#include <fstream>
#include <sstream>

#include "net_test_util.h"
#include "support/proxy_fixtures.h"
#include "support/test_certs.h"

namespace kestrona {
namespace {

using test::Endpoint;

const char* ServerBinary() {
    return KESTRONA_BINARY_DIR "/server/kestrona-server";
}

// One server process with one certificate.
struct TlsServer {
    test::ChildProcess process;
    std::filesystem::path log;
    int plainPort = 0;
    int tlsPort = 0;

    bool Start(const std::filesystem::path& dir, const std::string& name,
               const test::CertificatePair& cert, bool plain) {
        plainPort = test::FreeLoopbackPort();
        tlsPort = test::FreeLoopbackPort();
        log = dir / (name + ".log");
        std::vector<std::string> args{ServerBinary(),
                                      "--db",
                                      (dir / (name + ".db")).string(),
                                      "--listen",
                                      "127.0.0.1",
                                      "--port",
                                      std::to_string(plainPort),
                                      "--tls-port",
                                      std::to_string(tlsPort),
                                      "--tls-cert",
                                      cert.certificate,
                                      "--tls-key",
                                      cert.key,
                                      "--minimum-hash-cost"};
        if (!plain)
            args.push_back("--no-plain");
        return process.Start(args, log) && test::WaitForPort(tlsPort, 10000);
    }
    std::string Log() const {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // How many requests of this kind the server has logged.
    int Count(const std::string& command) const {
        const std::string text = Log();
        int n = 0;
        for (auto at = text.find(" " + command + " "); at != std::string::npos;
             at = text.find(" " + command + " ", at + 1))
            ++n;
        return n;
    }
};

class TlsDirectory : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (::access(ServerBinary(), X_OK) != 0)
            return;
        s_dir = new test::TempDir;
        s_certs = new test::TestCertificates(s_dir->Path().string());
        // The tests' authority stands beside the system's.
        qputenv("KESTRONA_TLS_CA_FILE", QByteArray::fromStdString(s_certs->authority.certificate));
        const std::filesystem::path& d = s_dir->Path();
        s_good = new TlsServer;
        s_expired = new TlsServer;
        s_other = new TlsServer;
        s_self = new TlsServer;
        if (!s_good->Start(d, "good", s_certs->good, true) ||
            !s_expired->Start(d, "expired", s_certs->expired, false) ||
            !s_other->Start(d, "other", s_certs->other_name, false) ||
            !s_self->Start(d, "self", s_certs->self_signed, false)) {
            TearDownTestSuite();
            return;
        }
        s_tinyproxy = test::TinyproxyProcess::StartForSuite();
    }
    static void TearDownTestSuite() {
        delete s_tinyproxy;
        s_tinyproxy = nullptr;
        for (TlsServer** s : {&s_good, &s_expired, &s_other, &s_self}) {
            delete *s;
            *s = nullptr;
        }
        delete s_certs;
        s_certs = nullptr;
    }
    void SetUp() override {
        if (!s_good)
            GTEST_SKIP() << "kestrona-server not built";
        // Only a bound for a broken exchange: a loaded machine or a sanitizer
        // build may take seconds over a first handshake.
        ep.model.m_nTimeout = 30;
    }

    static void UseTls(Endpoint& e, const TlsServer& server, const std::string& pin = "") {
        e.StoreServer(server.tlsPort);
        e.Store("HostTls", "1");
        e.Store("HostTlsPin", pin);
    }
    // A registration, as the dialog runs it; the socket's TLS verdict too.
    static int Register(Endpoint& e, const std::string& email, int32_t* number = nullptr,
                        TlsFailure* failure = nullptr) {
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendRegisterNew(BuildRegisterRecord({"张三", "pw-" + email, email, "中国", "北京"}));
        const int code = e.ctx->PumpUntilReply(s);
        if (number)
            *number = code == REPLY_SUCCESS ? RegisteredNumber(s.Buffer()) : 0;
        if (failure)
            *failure = s.TlsFailed();
        return code;
    }
    static int Login(Endpoint& e, int32_t number, const std::string& password) {
        LoginRequest q;
        q.nID = number;
        q.strPassword = password;
        q.nListenPort = 7000;
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendLogin(BuildLoginRecord(q));
        const int code = e.ctx->PumpUntilReply(s);
        if (code == REPLY_SUCCESS)
            e.model.m_nID = number;
        return code;
    }
    static bool LiveTimedOut(Endpoint& e) {
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendLive();
        return s.ReadLiveTimedOut();
    }
    // The keep-alive worker's way: a blocking handshake on a descriptor.
    static TlsFailure BlockingHandshake(const TlsServer& server, const std::string& pin,
                                        QByteArray* greeting) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(server.tlsPort));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return TlsFailure::kHandshake;
        }
        TlsFailure failure = TlsFailure::kNone;
        auto socket = OpenServerTlsBlocking(fd, "127.0.0.1", {true, pin}, 30000, {}, &failure);
        if (socket && greeting) {
            greeting->append(socket->readAll());
            while (greeting->size() < 6 && socket->waitForReadyRead(30000))
                greeting->append(socket->readAll());
        }
        return failure;
    }

    Endpoint ep{"tls"};
    static test::TempDir* s_dir;
    static test::TestCertificates* s_certs;
    static TlsServer *s_good, *s_expired, *s_other, *s_self;
    static test::TinyproxyProcess* s_tinyproxy;
};
test::TempDir* TlsDirectory::s_dir = nullptr;
test::TestCertificates* TlsDirectory::s_certs = nullptr;
TlsServer* TlsDirectory::s_good = nullptr;
TlsServer* TlsDirectory::s_expired = nullptr;
TlsServer* TlsDirectory::s_other = nullptr;
TlsServer* TlsDirectory::s_self = nullptr;
test::TinyproxyProcess* TlsDirectory::s_tinyproxy = nullptr;

TEST_F(TlsDirectory, TrustedAuthorityServesEveryExchangeAndPlainPhonesStillWork) {
    UseTls(ep, *s_good);
    int32_t number = 0;
    ASSERT_EQ(Register(ep, "tls@example.cn", &number), REPLY_SUCCESS) << s_good->Log();
    EXPECT_EQ(Login(ep, number, "pw-tls@example.cn"), REPLY_SUCCESS);
    EXPECT_FALSE(LiveTimedOut(ep));
    QByteArray greeting;
    EXPECT_EQ(BlockingHandshake(*s_good, "", &greeting), TlsFailure::kNone);
    EXPECT_EQ(greeting, "ACCEPT");
    EXPECT_TRUE(ep.messages.ids.empty());

    // A phone without TLS on the same server's plain port.
    Endpoint plain("plain");
    plain.model.m_nTimeout = 30;
    plain.StoreServer(s_good->plainPort);
    EXPECT_EQ(Login(plain, number, "pw-tls@example.cn"), REPLY_SUCCESS);
    EXPECT_TRUE(plain.messages.ids.empty());
}

TEST_F(TlsDirectory, PinStandsForTheAuthorityAndAWrongOneSendsNothing) {
    // A certificate that signs itself, pinned as typed (colons, capitals).
    QByteArray typed = QByteArray::fromStdString(s_certs->self_signed_pin).toUpper();
    for (int i = typed.size() - 2; i > 0; i -= 2) typed.insert(i, ':');
    UseTls(ep, *s_self, typed.toStdString());
    EXPECT_EQ(Register(ep, "pin@example.cn"), REPLY_SUCCESS);
    EXPECT_EQ(BlockingHandshake(*s_self, s_certs->self_signed_pin, nullptr), TlsFailure::kNone);
    EXPECT_TRUE(ep.messages.ids.empty());

    // Unpinned, nobody vouches for it.
    TlsFailure failure = TlsFailure::kNone;
    UseTls(ep, *s_self);
    EXPECT_EQ(Register(ep, "nopin@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kUnknownIssuer);

    // Another certificate's pin: refused whether or not an authority vouches
    // for the certificate, and no record reaches the server.
    const int selfBefore = s_self->Count("REGISTERNEW");
    const int goodBefore = s_good->Count("REGISTERNEW");
    UseTls(ep, *s_self, s_certs->good_pin);
    EXPECT_EQ(Register(ep, "wrong1@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kPinMismatch);
    UseTls(ep, *s_good, s_certs->self_signed_pin);
    EXPECT_EQ(Register(ep, "wrong2@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kPinMismatch);
    EXPECT_EQ(BlockingHandshake(*s_good, s_certs->self_signed_pin, nullptr),
              TlsFailure::kPinMismatch);
    EXPECT_EQ(s_self->Count("REGISTERNEW"), selfBefore);
    EXPECT_EQ(s_good->Count("REGISTERNEW"), goodBefore);

    // A pin that is no fingerprint stops the exchange before it connects.
    UseTls(ep, *s_good, "00:11:22");
    EXPECT_EQ(Register(ep, "badpin@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kBadPin);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{msg::kTlsUnknownIssuer, msg::kTlsPinMismatch,
                                                 msg::kTlsPinMismatch, msg::kTlsBadPin}));
}

TEST_F(TlsDirectory, ExpiredCertificateAndWrongNameAreRefusedWithTheirMessages) {
    TlsFailure failure = TlsFailure::kNone;
    UseTls(ep, *s_expired);
    EXPECT_EQ(Register(ep, "old@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kExpired);
    // A pin does not make an expired certificate good.
    EXPECT_EQ(BlockingHandshake(*s_expired, s_certs->expired_pin, nullptr), TlsFailure::kExpired);

    UseTls(ep, *s_other);
    EXPECT_EQ(Register(ep, "name@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kNameMismatch);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{msg::kTlsExpired, msg::kTlsNameMismatch}));
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_NONE), 1);
}

TEST_F(TlsDirectory, NeverFallsBackToPlainAndANoPlainServerHasNoPlainPort) {
    // TLS on, but the port is a plain one: the greeting there is no TLS, and
    // the login is not sent in the clear.
    TlsFailure failure = TlsFailure::kNone;
    const int before = s_good->Count("REGISTERNEW");
    ep.StoreServer(s_good->plainPort);
    ep.Store("HostTls", "1");
    EXPECT_EQ(Register(ep, "plainport@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kHandshake);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{msg::kTlsHandshake}));
    EXPECT_EQ(s_good->Count("REGISTERNEW"), before);

    Endpoint plain("noplain");
    plain.StoreServer(s_expired->plainPort);
    EXPECT_EQ(Register(plain, "noplain@example.cn"), REPLY_NONE);
    EXPECT_NE(s_expired->Log().find("listening for TLS"), std::string::npos);
    EXPECT_EQ(s_expired->Log().find("listening on"), std::string::npos);
}

TEST_F(TlsDirectory, ThroughTinyproxyConnect) {
    if (!s_tinyproxy)
        GTEST_SKIP() << "tinyproxy not available";
    ep.model.m_nProxy = 1;
    ep.model.m_nHttpPort = s_tinyproxy->Port();
    UseTls(ep, *s_good);
    int32_t number = 0;
    ASSERT_EQ(Register(ep, "proxytls@example.cn", &number), REPLY_SUCCESS) << s_tinyproxy->Log();
    EXPECT_EQ(Login(ep, number, "pw-proxytls@example.cn"), REPLY_SUCCESS);
    EXPECT_FALSE(LiveTimedOut(ep));
    // The name checked is the server's, not the proxy's.
    TlsFailure failure = TlsFailure::kNone;
    UseTls(ep, *s_other);
    EXPECT_EQ(Register(ep, "proxyname@example.cn", nullptr, &failure), REPLY_NONE);
    EXPECT_EQ(failure, TlsFailure::kNameMismatch);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{msg::kTlsNameMismatch}));
}

}  // namespace
}  // namespace kestrona
