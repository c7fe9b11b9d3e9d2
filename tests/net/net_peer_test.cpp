// The peer call-control protocol between two endpoints in one process, over
// loopback in direct mode, and the waits of the command socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QPointer>
#include <QTimer>

#include "net_test_util.h"

namespace kestrona {
namespace {

using test::Endpoint;
using test::PumpUntil;

// Callee B listens directly; caller A connects to it.
class PeerCall : public ::testing::Test {
  protected:
    void SetUp() override {
        a.model.m_nID = 1001;
        a.model.m_nDelayBufferMs = 2000;
        b.model.m_nID = 2002;
        b.ctx->OpenCmdListenSocket();
        ASSERT_TRUE(b.ctx->m_pCmdListenSocket);
        ASSERT_TRUE(b.ctx->m_pCmdListenSocket->IsListening());
        ASSERT_TRUE(b.messages.ids.empty());
        port = b.ctx->m_pCmdListenSocket->m_nPort;
        ASSERT_GT(port, 0);
        // The callee's window answers a request with the lower of both rates.
        b.window.onIncoming = [this](const RequestCall& request) {
            Paramenter params{std::min(calleeRate, request.nSampleRate), 7001, 7002};
            ParamenterBytes record{};
            PutInt32(&record[20], params.nSampleRate);
            PutInt32(&record[24], params.nPortIn);
            PutInt32(&record[28], params.nPortOut);
            b.ctx->m_pPeerSocket->SendParameters(record);
        };
    }

    // A places a call and waits for the PARAMENTER.
    void Connect(int32_t proposed = 24000) {
        a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
        a.ctx->m_pPeerSocket->Create();
        ASSERT_TRUE(a.ctx->m_pPeerSocket->RequestCall("127.0.0.1", port, proposed));
        ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("params"); }));
    }

    CCallSocket& A() { return *a.ctx->m_pPeerSocket; }

    Endpoint a{"caller"};
    Endpoint b{"callee"};
    int port = 0;
    int32_t calleeRate = 8000;
};

TEST_F(PeerCall, RequestIsAnsweredWithTheLowerRate) {
    Connect(24000);
    EXPECT_TRUE(A().m_bConnected);
    EXPECT_EQ(b.window.log, (std::vector<std::string>{"incoming", "record2"}));
    EXPECT_EQ(b.window.lastRequest.nSampleRate, 24000);
    EXPECT_EQ(b.window.lastRequest.nCallerId, 1001);
    EXPECT_EQ(b.window.lastRequest.nDelayBufferMs, 2000);
    EXPECT_EQ(a.window.lastParams.nSampleRate, 8000);
    EXPECT_EQ(a.window.lastParams.nPortIn, 7001);
    EXPECT_EQ(a.window.lastParams.nPortOut, 7002);
    ASSERT_TRUE(b.ctx->m_pPeerSocket);
}

TEST_F(PeerCall, IdleCalleeGreetsBeforeAnythingIsSent) {
    auto raw = test::RawConnect(port);
    ASSERT_TRUE(raw);
    EXPECT_EQ(test::ReadSome(*raw), QByteArray("ACCEPT"));
    EXPECT_TRUE(b.ctx->m_pPeerSocket);
}

// Before the phone window exists, or while it places a call of its own (its
// look-up has no connection yet), no one can take a call: the caller hears
// busy and the connection is not kept, so later callers get through. A
// caller that knows nothing of greeting first and refusing after the request
// (any phone of the first kind) is greeted, asks, and is told busy; the
// window learns its number.
TEST_F(PeerCall, CallerBeforeTheWindowIsRefusedAndForgotten) {
    b.ctx->window = nullptr;
    auto early = test::RawConnect(port);
    ASSERT_TRUE(early);
    EXPECT_EQ(test::ReadSome(*early), QByteArray("RCRESULTBUSY"));
    EXPECT_FALSE(b.ctx->m_pPeerSocket);

    b.ctx->window = &b.window;
    b.window.placing = true;
    auto dialling = test::RawConnect(port);
    ASSERT_TRUE(dialling);
    EXPECT_EQ(test::ReadSome(*dialling), QByteArray("ACCEPT"));
    const RequestCallRecord request = BuildRequestCallRecord(RequestCall{8000, 3003, 0, 250});
    dialling->write(reinterpret_cast<const char*>(request.data()), qint64(request.size()));
    EXPECT_EQ(test::ReadSome(*dialling), QByteArray("RCRESULTBUSY"));
    EXPECT_TRUE(PumpUntil([&] { return dialling->state() != QAbstractSocket::ConnectedState; }));
    EXPECT_FALSE(b.ctx->m_pPeerSocket);
    EXPECT_EQ(b.window.log, (std::vector<std::string>{"whilebusy 3003"}));
    b.window.log.clear();

    // One that stays silent is dropped by its deadline, unnamed.
    auto silent = test::RawConnect(port);
    ASSERT_TRUE(silent);
    EXPECT_EQ(test::ReadSome(*silent), QByteArray("ACCEPT"));
    EXPECT_TRUE(PumpUntil([&] { return silent->state() != QAbstractSocket::ConnectedState; },
                          NetContext::kTurnAwayLimitMs + 3000));
    EXPECT_TRUE(b.window.log.empty());

    b.window.placing = false;
    auto later = test::RawConnect(port);
    ASSERT_TRUE(later);
    EXPECT_EQ(test::ReadSome(*later), QByteArray("ACCEPT"));
    EXPECT_TRUE(b.ctx->m_pPeerSocket);
}

TEST_F(PeerCall, SecondCallerIsRefusedBusy) {
    Connect();
    Endpoint c("third");
    c.model.m_nID = 3003;
    c.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*c.ctx);
    c.ctx->m_pPeerSocket->Create();
    // Greeted and asked, then refused: busy all the same, and the callee
    // knows who it was.
    EXPECT_TRUE(c.ctx->m_pPeerSocket->RequestCall("127.0.0.1", port));
    EXPECT_TRUE(PumpUntil([&] { return c.window.Saw("busy"); }));
    EXPECT_TRUE(PumpUntil([&] { return b.window.Saw("whilebusy 3003"); }));
    EXPECT_FALSE(b.window.Saw("incoming 3003"));
    // The first call is untouched.
    A().SendStartTalk();
    EXPECT_TRUE(PumpUntil([&] { return b.window.Saw("starttalk"); }));
}

// A connection that never becomes a call (a port scan, a line that drops, a
// peer that stays silent) is dropped without a word to the window or the
// user, and the next caller is greeted, not told busy.
TEST_F(PeerCall, ConnectionsThatNeverAskForACallLeaveThePhoneReachable) {
    b.ctx->m_nCallRequestLimitMs = 200;
    auto greeted = [&] {
        auto raw = test::RawConnect(port);
        EXPECT_TRUE(raw);
        if (raw) {
            EXPECT_EQ(test::ReadSome(*raw), QByteArray("ACCEPT"));
        }
        return raw;
    };
    auto closing = greeted();
    closing->write("STARTTALK");  // a callee's answer, with no call to answer
    closing->disconnectFromHost();
    ASSERT_TRUE(PumpUntil([&] { return !b.ctx->m_pPeerSocket; }));

    auto silent = greeted();
    ASSERT_TRUE(PumpUntil([&] { return !b.ctx->m_pPeerSocket; }));
    EXPECT_TRUE(PumpUntil([&] { return silent->state() != QAbstractSocket::ConnectedState; }));

    auto ending = greeted();
    ending->write("ENDTALK");
    ASSERT_TRUE(PumpUntil([&] { return !b.ctx->m_pPeerSocket; }));

    EXPECT_TRUE(b.window.log.empty());
    EXPECT_TRUE(b.messages.ids.empty());
    EXPECT_TRUE(b.messages.texts.empty());

    // In a call the far end's close and time are not acted on: the call
    // ends on "ENDTALK", a hang-up or the forced break.
    Connect();
    test::PumpFor(400);
    A().Close();
    test::PumpFor(100);
    EXPECT_TRUE(b.ctx->m_pPeerSocket);
    EXPECT_EQ(b.window.log, (std::vector<std::string>{"incoming", "record2"}));
}

// A request the phone cannot take is refused with "UNSUPPORTED" and leaves
// the window as it was; so is a second request on a call's connection.
TEST_F(PeerCall, RequestsWithValuesThePhoneCannotTakeAreRefused) {
    const RequestCall bad[] = {
        {1000000000, 1001, 0, 1000}, {44100, 1001, 0, 1000}, {0, 1001, 0, 1000},
        {-8000, 1001, 0, 1000},      {8000, 1001, 0, 0},     {8000, 1001, 0, 249},
        {8000, 1001, 0, 5001},       {8000, 1001, 0, -1},    {8000, 1001, 0, 2000000000},
    };
    for (const RequestCall& request : bad) {
        auto raw = test::RawConnect(port);
        ASSERT_TRUE(raw);
        ASSERT_EQ(test::ReadSome(*raw), QByteArray("ACCEPT"));
        const auto record = BuildRequestCallRecord(request);
        raw->write(record.data(), 48);
        EXPECT_EQ(test::ReadSome(*raw), QByteArray("UNSUPPORTED"))
            << request.nSampleRate << " " << request.nDelayBufferMs;
        raw->abort();
        ASSERT_TRUE(PumpUntil([&] { return !b.ctx->m_pPeerSocket; }));
    }
    // A record cut short after the rate: the delay it lacks is not read from
    // behind the chunk.
    {
        auto raw = test::RawConnect(port);
        ASSERT_TRUE(raw);
        ASSERT_EQ(test::ReadSome(*raw), QByteArray("ACCEPT"));
        const auto record = BuildRequestCallRecord({8000, 1001, 0, 1000});
        raw->write(record.data(), 30);
        EXPECT_EQ(test::ReadSome(*raw), QByteArray("UNSUPPORTED"));
        raw->abort();
        ASSERT_TRUE(PumpUntil([&] { return !b.ctx->m_pPeerSocket; }));
    }
    EXPECT_TRUE(b.window.log.empty());

    Connect();
    const auto again = BuildRequestCallRecord({8000, 1001, 0, 1000});
    A().SendRecord(again.data(), 48);
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("unsupported"); }));
    EXPECT_EQ(b.window.log, (std::vector<std::string>{"incoming", "record2"}));
}

TEST_F(PeerCall, StartTalkAndAutoAnswer) {
    Connect();
    A().SendStartTalk();
    ASSERT_TRUE(PumpUntil([&] { return b.window.Saw("starttalk"); }));
    b.ctx->m_pPeerSocket->SendStartTalk();
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("starttalk"); }));
    b.ctx->m_pPeerSocket->SendAutoAnswer();
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("autoanswer"); }));
    EXPECT_TRUE(a.messages.texts.empty());
    EXPECT_TRUE(b.messages.texts.empty());
}

TEST_F(PeerCall, StartTalkWithTrailingBytesIsUnknown) {
    Connect();
    A().SendRecord("STARTTALK!!", 11);
    ASSERT_TRUE(PumpUntil([&] { return !a.messages.ids.empty(); }));
    EXPECT_FALSE(b.window.Saw("starttalk"));
    EXPECT_EQ(b.messages.texts, (std::vector<std::string>{"STARTTALK!!"}));
    EXPECT_EQ(a.messages.ids, (std::vector<int>{147}));  // "UNKNOWCMD" came back
}

TEST_F(PeerCall, ShortUnknownChunkIsShownAndAnswered) {
    Connect();
    A().SendRecord("XY", 2);
    ASSERT_TRUE(PumpUntil([&] { return !a.messages.ids.empty(); }));
    EXPECT_EQ(b.messages.texts, (std::vector<std::string>{"XY"}));
}

TEST_F(PeerCall, EndTalkInDirectModeClosesBeforeTheWindowEnds) {
    Connect();
    bool connectedAtEnd = true;
    b.window.onEndCall = [&] {
        // What the window's EndCall does: its own ENDTALK finds the
        // connection closed already, then the socket is deleted.
        connectedAtEnd = b.ctx->m_pPeerSocket->IsConnected();
        b.ctx->m_pPeerSocket->SendEndTalk();
        b.ctx->m_pPeerSocket.reset();
    };
    A().SendEndTalk();
    EXPECT_FALSE(A().IsConnected());
    ASSERT_TRUE(PumpUntil([&] { return b.window.Saw("endcall"); }));
    EXPECT_FALSE(connectedAtEnd);
    EXPECT_FALSE(b.ctx->m_pPeerSocket);
    // The callee is free again for the next call.
    a.window.log.clear();
    Connect();
}

TEST_F(PeerCall, NonZeroFeatureFieldIsRefused) {
    a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
    A().Create();
    A().ConnectTo("127.0.0.1", port);
    ASSERT_TRUE(A().m_bConnected);
    const auto record = BuildRequestCallRecord({8000, 1001, 1, 1000});
    A().SendRecord(record.data(), 48);
    ASSERT_TRUE(PumpUntil([&] { return a.window.Saw("unsupported"); }));
    EXPECT_FALSE(b.window.Saw("incoming"));
    EXPECT_FALSE(b.window.Saw("record2"));
}

TEST_F(PeerCall, LongDataIsClassifiedInChunksOfAtMost1024) {
    Connect();
    const std::string big(1500, 'q');
    A().SendRecord(big.data(), static_cast<int>(big.size()));
    ASSERT_TRUE(PumpUntil([&] {
        size_t total = 0;
        for (const auto& t : b.messages.texts) total += t.size();
        return total >= big.size();
    }));
    for (const auto& t : b.messages.texts) EXPECT_LE(t.size(), 1024u);
    EXPECT_EQ(b.messages.texts.front().size(), 1024u);
}

TEST_F(PeerCall, ShutdownLogsOutAndEndsTheOpenCall) {
    Connect();
    test::ScriptedServer server;
    a.StoreServer(server.Port());
    a.ctx->ReleaseSockets(true);
    EXPECT_FALSE(a.ctx->m_pPeerSocket);
    ASSERT_TRUE(PumpUntil([&] { return b.window.Saw("endcall"); }));
    ASSERT_TRUE(PumpUntil([&] { return !server.received.empty(); }));
    EXPECT_EQ(server.received[0], QByteArray(BuildLogoutRecord(1001).data(), 36));
}

TEST(ListenSocket, FixedPortInUseShowsMessage146) {
    Endpoint first("first");
    first.model.m_nCmdPort = test::FreeTcpPort();
    first.ctx->OpenCmdListenSocket();
    ASSERT_TRUE(first.ctx->m_pCmdListenSocket->IsListening());
    EXPECT_EQ(first.ctx->m_pCmdListenSocket->m_nPort, first.model.m_nCmdPort);
    Endpoint second("second");
    second.model.m_nCmdPort = first.model.m_nCmdPort;
    second.ctx->OpenCmdListenSocket();
    EXPECT_FALSE(second.ctx->m_pCmdListenSocket->IsListening());
    EXPECT_EQ(second.messages.ids, (std::vector<int>{146}));
}

// ---- the wait ----

TEST(ReplyWait, FarEndThatNeverGreetsLeavesTheSocketUnconnected) {
    test::ScriptedServer silent;
    silent.greet = false;
    Endpoint a("silent");
    a.model.m_nTimeout = 1;
    CCallSocket socket(*a.ctx);
    socket.Create();
    socket.ConnectTo("127.0.0.1", silent.Port());
    EXPECT_FALSE(socket.m_bConnected);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.m_nReply, REPLY_NONE);
    EXPECT_EQ(silent.connections, 1);
}

TEST(ReplyWait, ZeroTimeoutEndsAtOnce) {
    test::ScriptedServer server;
    Endpoint a("zero");
    a.model.m_nTimeout = 0;
    CCallSocket socket(*a.ctx);
    EXPECT_EQ(socket.m_nTimeoutMs, 0u);
    socket.Create();
    socket.ConnectTo("127.0.0.1", server.Port());
    EXPECT_FALSE(socket.m_bConnected);
}

TEST(ReplyWait, WaitOnUnconnectedSocketReturnsItsCode) {
    Endpoint a("unconnected");
    CCallSocket socket(*a.ctx);
    socket.Create();
    socket.ConnectTo("127.0.0.1", test::FreeTcpPort());
    EXPECT_FALSE(socket.m_bConnected);
    EXPECT_TRUE(a.messages.ids.empty());
    socket.m_nReply = REPLY_SUCCESS;
    socket.m_bReplied = true;
    EXPECT_EQ(a.ctx->PumpUntilReply(socket), REPLY_SUCCESS);
    EXPECT_TRUE(socket.m_bReplied);  // not a wait: the flag stays
}

TEST(ReplyWait, MissingServerPortConnectsNowhere) {
    Endpoint a("noport");
    a.Store("Host", "127.0.0.1");  // "HostPort" missing: reads as -1
    CServerSocket socket(*a.ctx);
    socket.Create();
    socket.SendLogout();
    EXPECT_FALSE(socket.m_bConnected);
    EXPECT_EQ(a.ctx->PumpUntilReply(socket), REPLY_NONE);
}

TEST(ReplyWait, SocketDeletedDuringTheWaitEndsItSafely) {
    test::ScriptedServer silent;
    silent.greet = false;
    Endpoint a("deleted");
    a.model.m_nTimeout = 30;
    a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
    a.ctx->m_pPeerSocket->Create();
    // A hang-up while the call is being set up drops the peer connection.
    QTimer::singleShot(100, [&] { a.ctx->m_pPeerSocket.reset(); });
    EXPECT_FALSE(a.ctx->m_pPeerSocket->RequestCall("127.0.0.1", silent.Port()));
    EXPECT_FALSE(a.ctx->m_pPeerSocket);
}

// A loopback listener whose accept queue is full: a further connect never
// completes its handshake, so the connecting side keeps waiting.
class StalledListener {
  public:
    StalledListener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_fd, 0);
        socklen_t length = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        for (int& filler : m_fillers) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        }
    }
    ~StalledListener() {
        for (int filler : m_fillers) ::close(filler);
        ::close(m_fd);
    }
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;

    int port = 0;

  private:
    int m_fd = -1;
    int m_fillers[2] = {-1, -1};
};

// What runs inside a wait may delete the socket that waits (a hang-up drops
// the call's connection while it is being opened): each kind of wait must
// end without touching the socket again.
TEST(ReplyWait, SocketDeletedInsideEachKindOfWait) {
    {  // the TCP connect itself
        StalledListener stalled;
        Endpoint a("in-connect");
        a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
        QPointer<CCallSocket> socket(a.ctx->m_pPeerSocket.get());
        socket->Create();
        QTimer::singleShot(50, [&] { a.ctx->m_pPeerSocket.reset(); });
        EXPECT_FALSE(socket->RequestCall("127.0.0.1", stalled.port));
        EXPECT_FALSE(socket);
    }
    // The proxy's answer: to the HTTP CONNECT of a call, and to the SOCKS5
    // greeting of the listening point.
    for (const bool socks : {false, true}) {
        test::ScriptedServer proxy;
        proxy.greet = false;
        Endpoint a(socks ? "in-socks" : "in-http");
        a.model.m_nProxy = 1;
        a.model.m_nHttpPort = proxy.Port();
        a.model.m_nSock5Port = proxy.Port();
        a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
        QPointer<CCallSocket> socket(a.ctx->m_pPeerSocket.get());
        socket->Create();
        proxy.reply = [&](const QByteArray&) {
            a.ctx->m_pPeerSocket.reset();
            return QByteArray();
        };
        if (socks)
            socket->BindThroughSocks5(0);
        else
            EXPECT_FALSE(socket->RequestCall("10.0.0.5", 2000));
        EXPECT_FALSE(socket);
        EXPECT_EQ(proxy.received.size(), 1u);
        EXPECT_TRUE(a.messages.ids.empty());
    }
    {  // the keep-alive's wait for the server's answer
        test::ScriptedServer server;
        Endpoint a("in-live");
        a.StoreServer(server.Port());
        auto live = std::make_unique<CServerSocket>(*a.ctx);
        QPointer<CServerSocket> socket(live.get());
        live->Create();
        live->SendLive();
        ASSERT_TRUE(live->m_bConnected);
        server.reply = [&](const QByteArray&) {
            live.reset();
            return QByteArray();
        };
        EXPECT_FALSE(socket->ReadLiveTimedOut());
        EXPECT_FALSE(socket);
    }
}

TEST(ReplyWait, QuitRequestEndsTheWaitAndReachesTheMainLoop) {
    test::ScriptedServer silent;
    silent.greet = false;
    Endpoint a("quit");
    a.model.m_nTimeout = 30;
    CCallSocket socket(*a.ctx);
    socket.Create();
    bool waitReturned = false;
    int mainResult = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(100, [] { QCoreApplication::exit(7); });
        socket.ConnectTo("127.0.0.1", silent.Port());
        waitReturned = true;
    });
    mainResult = QCoreApplication::exec();
    EXPECT_TRUE(waitReturned);
    EXPECT_EQ(mainResult, 7);
    EXPECT_FALSE(socket.m_bConnected);
}

// Two phones with identities: the request offers encryption, the callee
// rings once the keys are agreed, and every record after that (PARAMENTER,
// STARTTALK) arrives sealed and whole. A callee that answers the offer in
// the clear gets a plain call from a phone that prefers encryption, and
// none from one that requires it.
TEST_F(PeerCall, EncryptedCallAndACalleeThatAnswersInTheClear) {
    a.ctx->identity = IdentityKey::Generate();
    b.ctx->identity = IdentityKey::Generate();
    Connect();
    EXPECT_EQ(b.window.lastRequest.nFeatures, kFeatureEncryptedCall | kMediaFeatures);
    EXPECT_TRUE(A().Sealed());
    ASSERT_TRUE(b.ctx->m_pPeerSocket);
    EXPECT_TRUE(b.ctx->m_pPeerSocket->Sealed());
    EXPECT_EQ(a.window.lastParams.nPortIn, 7001);
    EXPECT_EQ(a.window.lastParams.nPortOut, 7002);
    A().SendStartTalk();
    ASSERT_TRUE(PumpUntil([&] { return b.window.Saw("starttalk"); }));

    test::ScriptedServer clear;
    clear.reply = [](const QByteArray& chunk) {
        if (!chunk.startsWith("REQUESTCALL"))
            return QByteArray();
        const auto record = BuildParamenterRecord({8000, 7001, 7002});
        return QByteArray(record.data(), static_cast<int>(record.size()));
    };
    for (const Encryption mode : {Encryption::kPreferred, Encryption::kRequired}) {
        a.model.m_encryption = mode;
        a.window.log.clear();
        a.ctx->m_pPeerSocket = std::make_unique<CCallSocket>(*a.ctx);
        a.ctx->m_pPeerSocket->Create();
        ASSERT_TRUE(a.ctx->m_pPeerSocket->RequestCall("127.0.0.1", clear.Port()));
        ASSERT_TRUE(PumpUntil([&] { return !a.window.log.empty(); }));
        EXPECT_EQ(a.window.log.front(), mode == Encryption::kRequired ? "endcall" : "params");
    }
}

}  // namespace
}  // namespace kestrona
