#include "net/relay_client.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <optional>
#include <random>

#include "net/net_test_util.h"
#include "net/stun_message.h"
#include "support/coturn_fixture.h"
#include "support/test_certs.h"

using namespace kestrona;
using kestrona::test::CoturnProcess;
using kestrona::test::PumpFor;
using kestrona::test::PumpUntil;

namespace {

// The phone's local port stand-in: sends back whatever arrives, and counts
// its connections.
class EchoServer {
  public:
    EchoServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    int Port() const { return m_server.serverPort(); }
    int connections = 0;

  private:
    QTcpServer m_server;
};

QByteArray RandomBytes(int size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::unique_ptr<QTcpSocket> Connect(int port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return socket;
}

// Sends `bytes` and reads them back through the echo at the far end.
QByteArray EchoThrough(QTcpSocket& socket, const QByteArray& bytes) {
    QByteArray back;
    if (!PumpUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; })) {
        return back;
    }
    socket.write(bytes);
    PumpUntil(
        [&] {
            back += socket.readAll();
            return back.size() >= bytes.size() ||
                   socket.state() == QAbstractSocket::UnconnectedState;
        },
        20000);
    return back;
}

std::size_t Count(const char* folder) {
    std::size_t n = 0;
    if (DIR* dir = ::opendir(folder)) {
        while (::readdir(dir)) ++n;
        ::closedir(dir);
    }
    return n;
}

class RelayClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!CoturnProcess::Available()) {
            GTEST_SKIP() << "turnserver is not installed";
        }
        kestrona::test::EnsureNetTestApp();
        ASSERT_TRUE(m_relay.Start()) << m_relay.Log();
        m_server = RelayServer{CoturnProcess::kListenIp, m_relay.Port(), false};
    }
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "relay's log:\n" << m_relay.Log() << "\n";
        }
    }

    std::unique_ptr<CRelayClient> NewClient(const std::string& number = "1") {
        CRelayClient::Options options;
        options.exchangeLimit = std::chrono::milliseconds(2000);
        auto client = std::make_unique<CRelayClient>(options);
        const auto credentials = m_relay.MakeCredentials(3600, number);
        client->SetCredentials({credentials.username, credentials.password});
        return client;
    }

    // Maps `localPort` and waits for the answer.
    std::optional<RelayGrant> MapAndWait(CRelayClient& client, int localPort, int* id = nullptr) {
        std::optional<RelayGrant> grant;
        const int mapId = client.Map(m_server, localPort, [&](const RelayGrant& g) { grant = g; });
        if (id) {
            *id = mapId;
        }
        PumpUntil([&] { return grant.has_value(); });
        return grant;
    }

    CoturnProcess m_relay;
    RelayServer m_server;
};

TEST_F(RelayClientTest, CallerReachesCalleeThroughTheRelayTwice) {
    EchoServer echo;
    auto callee = NewClient("callee");
    auto caller = NewClient("caller");
    const auto grant = MapAndWait(*callee, echo.Port());
    ASSERT_TRUE(grant);
    ASSERT_NE(grant->port, 0);
    EXPECT_EQ(grant->address, CoturnProcess::kRelayIp);
    EXPECT_EQ(callee->ActiveAllocations(), 1);

    for (unsigned round = 0; round < 2; ++round) {
        const int port = caller->OpenRoute(m_server, grant->address, grant->port);
        ASSERT_GT(port, 0);
        auto socket = Connect(port);
        // The relay keeps only a little of what a caller sends before the
        // callee's side is joined, and drops the rest: bulk goes only after
        // an answer has come back.
        ASSERT_EQ(EchoThrough(*socket, "ready"), QByteArray("ready"));
        const QByteArray bytes = RandomBytes(200 * 1024, round);
        const QByteArray back = EchoThrough(*socket, bytes);
        EXPECT_EQ(back.size(), bytes.size()) << "round " << round;
        EXPECT_TRUE(back == bytes) << "round " << round;
        EXPECT_EQ(echo.connections, static_cast<int>(round + 1));
        socket->disconnectFromHost();
        PumpUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; });
    }
    // A route's port takes one connection only.
    const int port = caller->OpenRoute(m_server, grant->address, grant->port);
    auto first = Connect(port);
    ASSERT_EQ(EchoThrough(*first, "hello"), QByteArray("hello"));
    auto second = Connect(port);
    PumpUntil([&] { return second->state() == QAbstractSocket::UnconnectedState; }, 3000);
    EXPECT_EQ(second->state(), QAbstractSocket::UnconnectedState);
}

TEST_F(RelayClientTest, StrangersAndWrongCredentialsGetNowhere) {
    EchoServer echo;
    auto callee = NewClient();
    const auto grant = MapAndWait(*callee, echo.Port());
    ASSERT_TRUE(grant && grant->port != 0);

    // Straight to the relayed address, not through the relay: not joined.
    QTcpSocket stranger;
    stranger.connectToHost(QString::fromStdString(grant->address),
                           static_cast<quint16>(grant->port));
    // The relay refuses it at once, or takes it and closes it.
    PumpUntil([&] {
        return stranger.state() == QAbstractSocket::ConnectedState ||
               stranger.state() == QAbstractSocket::UnconnectedState;
    });
    stranger.write("let me in");
    QByteArray back;
    PumpUntil(
        [&] {
            back += stranger.readAll();
            return stranger.state() == QAbstractSocket::UnconnectedState;
        },
        3000);
    EXPECT_EQ(echo.connections, 0);
    EXPECT_TRUE(back.isEmpty());

    // A route to an address that is not the relay's own: the relay refuses
    // it, and the caller sees its connection closed.
    auto caller = NewClient("caller");
    auto refusedRoute = Connect(caller->OpenRoute(m_server, "127.0.0.1", echo.Port()));
    EXPECT_TRUE(
        PumpUntil([&] { return refusedRoute->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(echo.connections, 0);

    // Wrong password, and credentials that ran out: refused within the
    // deadline of the exchanges.
    for (const bool expired : {false, true}) {
        CRelayClient::Options options;
        options.exchangeLimit = std::chrono::milliseconds(2000);
        CRelayClient client(options);
        auto credentials = m_relay.MakeCredentials(expired ? -60 : 3600);
        if (!expired) {
            credentials.password = "not-the-password";
        }
        client.SetCredentials({credentials.username, credentials.password});
        QElapsedTimer clock;
        clock.start();
        const auto refused = MapAndWait(client, echo.Port());
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->port, 0);
        EXPECT_LT(clock.elapsed(), 4000);
        EXPECT_EQ(client.ActiveAllocations(), 0);
    }
}

TEST_F(RelayClientTest, RelayStoppedMidCallEndsTheJoinAndTheMapping) {
    EchoServer echo;
    auto callee = NewClient("callee");
    auto caller = NewClient("caller");
    std::vector<int> lost;
    QObject::connect(callee.get(), &CRelayClient::mappingLost, [&](int id) { lost.push_back(id); });
    int id = 0;
    const auto grant = MapAndWait(*callee, echo.Port(), &id);
    ASSERT_TRUE(grant && grant->port != 0);
    const int port = caller->OpenRoute(m_server, grant->address, grant->port);
    auto socket = Connect(port);
    ASSERT_EQ(EchoThrough(*socket, "before"), QByteArray("before"));

    m_relay.Stop();
    EXPECT_TRUE(PumpUntil(
        [&] { return socket->state() == QAbstractSocket::UnconnectedState && !lost.empty(); }));
    EXPECT_EQ(lost, std::vector<int>{id});
    EXPECT_EQ(callee->ActiveAllocations(), 0);

    ASSERT_TRUE(m_relay.Restart()) << m_relay.Log();
    const auto again = MapAndWait(*callee, echo.Port());
    ASSERT_TRUE(again);
    EXPECT_NE(again->port, 0);
    const int port2 = caller->OpenRoute(m_server, again->address, again->port);
    auto socket2 = Connect(port2);
    EXPECT_EQ(EchoThrough(*socket2, "after"), QByteArray("after"));
}

TEST_F(RelayClientTest, UnmapAndShutdownLeaveNothingBehind) {
    EchoServer echo;
    // A first client warms up whatever Qt opens once per process.
    NewClient()->Shutdown();
    PumpFor(100);
    const std::size_t fds = Count("/proc/self/fd");
    const std::size_t threads = Count("/proc/self/task");
    {
        auto callee = NewClient("callee");
        auto caller = NewClient("caller");
        int id = 0;
        const auto grant = MapAndWait(*callee, echo.Port(), &id);
        ASSERT_TRUE(grant && grant->port != 0);
        auto first = Connect(caller->OpenRoute(m_server, grant->address, grant->port));
        auto second = Connect(caller->OpenRoute(m_server, grant->address, grant->port));
        ASSERT_EQ(EchoThrough(*first, "one"), QByteArray("one"));
        ASSERT_EQ(EchoThrough(*second, "two"), QByteArray("two"));

        // Unmap closes the joined connections and gives the allocation back.
        callee->Unmap(id);
        EXPECT_TRUE(PumpUntil([&] {
            return first->state() == QAbstractSocket::UnconnectedState &&
                   second->state() == QAbstractSocket::UnconnectedState;
        }));
        EXPECT_TRUE(PumpUntil([&] { return callee->ActiveAllocations() == 0; }));

        // Shutdown with a join up.
        const auto grant2 = MapAndWait(*callee, echo.Port());
        ASSERT_TRUE(grant2 && grant2->port != 0);
        auto third = Connect(caller->OpenRoute(m_server, grant2->address, grant2->port));
        ASSERT_EQ(EchoThrough(*third, "three"), QByteArray("three"));
        QElapsedTimer clock;
        clock.start();
        callee->Shutdown();
        caller->Shutdown();
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_TRUE(PumpUntil([&] { return third->state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_EQ(caller->OpenRoute(m_server, grant2->address, grant2->port), 0);
        bool answered = false;
        callee->Map(m_server, echo.Port(), [&](const RelayGrant& g) { answered = g.port == 0; });
        EXPECT_TRUE(PumpUntil([&] { return answered; }, 1000));
    }
    PumpFor(200);
    EXPECT_EQ(Count("/proc/self/fd"), fds);
#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer starts a thread of its own at some point, and reports
    // any thread left unjoined itself.
    EXPECT_EQ(Count("/proc/self/task"), threads);
#else
    (void)threads;
#endif
}

// The same relay through its TLS listener, its certificate made for the
// test and trusted through KESTRONA_TLS_CA_FILE.
class RelayClientTlsTest : public RelayClientTest {
  protected:
    void SetUp() override {
        if (!CoturnProcess::Available()) {
            GTEST_SKIP() << "turnserver is not installed";
        }
        kestrona::test::EnsureNetTestApp();
        m_certs = std::make_unique<kestrona::test::TestCertificates>(m_dir.Path().string());
        ASSERT_TRUE(m_relay.Start(m_certs->good.certificate, m_certs->good.key)) << m_relay.Log();
        m_server = RelayServer{CoturnProcess::kListenIp, m_relay.TlsPort(), true};
        TrustTestAuthority(true);
    }
    void TearDown() override {
        TrustTestAuthority(false);
        RelayClientTest::TearDown();
    }
    // Read when a client first reaches a relay.
    void TrustTestAuthority(bool trust) {
        if (trust) {
            qputenv("KESTRONA_TLS_CA_FILE",
                    QByteArray::fromStdString(m_certs->authority.certificate));
        } else {
            qunsetenv("KESTRONA_TLS_CA_FILE");
        }
    }

    kestrona::test::TempDir m_dir;
    std::unique_ptr<kestrona::test::TestCertificates> m_certs;
};

TEST_F(RelayClientTlsTest, CallerReachesCalleeThroughTheTlsListener) {
    EchoServer echo;
    auto callee = NewClient("callee");
    auto caller = NewClient("caller");
    const auto grant = MapAndWait(*callee, echo.Port());
    ASSERT_TRUE(grant);
    ASSERT_NE(grant->port, 0);
    EXPECT_EQ(grant->address, CoturnProcess::kRelayIp);

    const int port = caller->OpenRoute(m_server, grant->address, grant->port);
    ASSERT_GT(port, 0);
    auto socket = Connect(port);
    ASSERT_EQ(EchoThrough(*socket, "ready"), QByteArray("ready"));
    // More than one TLS record each way, and more than a join's buffer.
    const QByteArray bytes = RandomBytes(200 * 1024, 7);
    const QByteArray back = EchoThrough(*socket, bytes);
    EXPECT_EQ(back.size(), bytes.size());
    EXPECT_TRUE(back == bytes);
    EXPECT_EQ(echo.connections, 1);
    // The relay logs the TLS version of each allocation's connection.
    EXPECT_NE(m_relay.Log().find("method=TLS"), std::string::npos);
    socket->disconnectFromHost();
    EXPECT_TRUE(PumpUntil([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
}

// A relay whose certificate is not trusted, or names another host, is as
// good as unreachable: no grant and no route, within the exchange deadline.
TEST_F(RelayClientTlsTest, UntrustedRelayIsRefused) {
    EchoServer echo;
    kestrona::test::CoturnProcess otherName;
    ASSERT_TRUE(otherName.Start(m_certs->other_name.certificate, m_certs->other_name.key))
        << otherName.Log();
    const RelayServer misnamed{CoturnProcess::kListenIp, otherName.TlsPort(), true};
    for (const bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "names another host" : "unknown authority");
        TrustTestAuthority(trusted);
        const RelayServer& server = trusted ? misnamed : m_server;
        CRelayClient::Options options;
        options.exchangeLimit = std::chrono::milliseconds(2000);
        CRelayClient client(options);
        const auto credentials = m_relay.MakeCredentials();
        client.SetCredentials({credentials.username, credentials.password});
        QElapsedTimer clock;
        clock.start();
        std::optional<RelayGrant> grant;
        client.Map(server, echo.Port(), [&](const RelayGrant& g) { grant = g; });
        auto route = Connect(client.OpenRoute(server, CoturnProcess::kRelayIp, 50000));
        ASSERT_TRUE(PumpUntil([&] { return grant.has_value(); }));
        EXPECT_EQ(grant->port, 0);
        EXPECT_TRUE(PumpUntil([&] { return route->state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_LT(clock.elapsed(), 4000);
        EXPECT_EQ(client.ActiveAllocations(), 0);
    }
}

// Credentials are renewed while a mapping is held: its permission is
// renewed meanwhile, and later connections still get through.
TEST_F(RelayClientTest, RenewedCredentialsKeepTheMapping) {
    EchoServer echo;
    CRelayClient::Options options;
    options.permissionRefresh = std::chrono::seconds(1);
    CRelayClient callee(options);
    const auto first = m_relay.MakeCredentials(3600, "first");
    callee.SetCredentials({first.username, first.password});
    std::vector<int> lost;
    QObject::connect(&callee, &CRelayClient::mappingLost, [&](int id) { lost.push_back(id); });
    const auto grant = MapAndWait(callee, echo.Port());
    ASSERT_TRUE(grant && grant->port != 0);
    const auto renewed = m_relay.MakeCredentials(7200, "renewed");
    callee.SetCredentials({renewed.username, renewed.password});
    PumpFor(2500);
    EXPECT_TRUE(lost.empty());
    auto caller = NewClient("caller");
    auto socket = Connect(caller->OpenRoute(m_server, grant->address, grant->port));
    EXPECT_EQ(EchoThrough(*socket, "still here"), QByteArray("still here"));
}

// A relay that answers as a test tells it: a challenge, then a grant whose
// integrity is wrong, or a grant followed by bytes that are not STUN.
class ScriptedRelay {
  public:
    enum class Fault { kBadIntegrity, kGarbageAfterGrant, kOversized };
    explicit ScriptedRelay(Fault fault) : m_fault(fault) {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { Serve(*s); });
            }
        });
    }
    int Port() const { return m_server.serverPort(); }

  private:
    void Serve(QTcpSocket& socket) {
        m_in += socket.readAll();
        for (;;) {
            const auto bytes = std::span<const uint8_t>(
                reinterpret_cast<const uint8_t*>(m_in.constData()), m_in.size());
            const auto length = stun::MessageLength(bytes);
            if (!length || *length == 0 || *length > bytes.size()) {
                return;
            }
            const auto request = stun::Message::Parse(bytes.first(*length));
            m_in.remove(0, static_cast<int>(*length));
            if (!request) {
                return;
            }
            Answer(socket, *request);
        }
    }
    void Send(QTcpSocket& socket, const std::vector<uint8_t>& bytes) {
        socket.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    void Answer(QTcpSocket& socket, const stun::Message& request) {
        if (!request.Find(stun::attr::kUsername)) {
            Send(socket, stun::MessageBuilder(request.GetMethod(), stun::Class::kError,
                                              request.Transaction())
                             .AddErrorCode(401, "Unauthorized")
                             .AddText(stun::attr::kRealm, "kestrona")
                             .AddText(stun::attr::kNonce, "0123456789abcdef")
                             .Finish(nullptr, false));
            return;
        }
        stun::MessageBuilder answer(request.GetMethod(), stun::Class::kSuccess,
                                    request.Transaction());
        if (request.GetMethod() == stun::Method::kAllocate) {
            answer
                .AddXorAddress(stun::attr::kXorRelayedAddress,
                               *stun::Address::FromText("127.0.0.2", 50000))
                .AddUint32(stun::attr::kLifetime, 600);
        }
        // Signed with a key that is not the user's.
        const stun::Key key = m_fault == Fault::kBadIntegrity
                                  ? stun::LongTermKey("someone", "kestrona", "else")
                                  : stun::LongTermKey(kUser, "kestrona", kPassword);
        Send(socket, answer.Finish(&key, false));
        if (request.GetMethod() == stun::Method::kCreatePermission) {
            if (m_fault == Fault::kGarbageAfterGrant) {
                socket.write(QByteArray(40, 'x'));
            } else if (m_fault == Fault::kOversized) {
                // A header that announces more than any relay message.
                auto header =
                    stun::MessageBuilder(stun::Method::kConnectionAttempt, stun::Class::kIndication,
                                         stun::NewTransactionId())
                        .Finish(nullptr, false);
                header[2] = 0xff;
                header[3] = 0xfc;
                Send(socket, header);
                socket.write(QByteArray(4096, '\0'));
            }
        }
    }

  public:
    static constexpr const char* kUser = "1:scripted";
    static constexpr const char* kPassword = "secret";

  private:
    Fault m_fault;
    QTcpServer m_server;
    QByteArray m_in;
};

// Whatever the relay sends is checked: a grant that fails its integrity
// check is no grant, and bytes that cannot be STUN end the mapping.
TEST(RelayClientHostileRelayTest, BadAnswersEndTheMapping) {
    kestrona::test::EnsureNetTestApp();
    for (const auto fault :
         {ScriptedRelay::Fault::kBadIntegrity, ScriptedRelay::Fault::kGarbageAfterGrant,
          ScriptedRelay::Fault::kOversized}) {
        SCOPED_TRACE(static_cast<int>(fault));
        ScriptedRelay relay(fault);
        CRelayClient client;
        client.SetCredentials({ScriptedRelay::kUser, ScriptedRelay::kPassword});
        std::vector<int> lost;
        QObject::connect(&client, &CRelayClient::mappingLost, [&](int id) { lost.push_back(id); });
        std::optional<RelayGrant> grant;
        const int id = client.Map(RelayServer{"127.0.0.1", relay.Port(), false}, 9,
                                  [&](const RelayGrant& g) { grant = g; });
        ASSERT_TRUE(PumpUntil([&] { return grant.has_value(); }));
        if (fault == ScriptedRelay::Fault::kBadIntegrity) {
            EXPECT_EQ(grant->port, 0);
            continue;
        }
        EXPECT_EQ(grant->port, 50000);
        EXPECT_TRUE(PumpUntil([&] { return !lost.empty(); }));
        EXPECT_EQ(lost, std::vector<int>{id});
        EXPECT_EQ(client.ActiveAllocations(), 0);
    }
}

}  // namespace
