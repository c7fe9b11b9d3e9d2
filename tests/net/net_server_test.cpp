// The client side of the directory-server protocol against the real
// kestrona-server on loopback, directly and through tinyproxy.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <thread>

#include "net_test_util.h"
#include "support/proxy_fixtures.h"

namespace kestrona {
namespace {

using test::Endpoint;

const char* ServerBinary() {
    return KESTRONA_BINARY_DIR "/server/kestrona-server";
}

class DirectoryServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (::access(ServerBinary(), X_OK) != 0)
            return;
        s_dir = new test::TempDir;
        s_port = test::FreeLoopbackPort();
        s_server = new test::ChildProcess;
        const std::string db = (s_dir->Path() / "directory.db").string();
        s_server->Start({ServerBinary(), "--db", db, "--listen", "127.0.0.1", "--port",
                         std::to_string(s_port), "--live-period", "30", "--session-timeout", "2",
                         "--minimum-hash-cost", "--notice", "欢迎使用", "--welcome", "hello"},
                        s_dir->Path() / "server.log");
        if (!test::WaitForPort(s_port, 10000))
            TearDownTestSuite();
        s_tinyproxy = test::TinyproxyProcess::StartForSuite();
    }
    static void TearDownTestSuite() {
        delete s_tinyproxy;
        s_tinyproxy = nullptr;
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        if (!s_server)
            GTEST_SKIP() << "kestrona-server not built";
        ep.StoreServer(s_port);
    }

    // One exchange each, the way the dialogs and the window run them.
    int Register(Endpoint& e, const std::string& email, int32_t* number = nullptr) {
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendRegisterNew(BuildRegisterRecord({"张三", "pw-" + email, email, "中国", "北京"}));
        const int code = e.ctx->PumpUntilReply(s);
        if (number)
            *number = code == REPLY_SUCCESS ? RegisteredNumber(s.Buffer()) : 0;
        return code;
    }
    int Login(Endpoint& e, int32_t number, const std::string& password, int32_t port) {
        LoginRequest q;
        q.nID = number;
        q.strPassword = password;
        q.nListenPort = port;
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendLogin(BuildLoginRecord(q));
        const int code = e.ctx->PumpUntilReply(s);
        if (code == REPLY_SUCCESS)
            e.model.m_nID = number;
        return code;
    }
    int Query(Endpoint& e, int32_t number, QueryUserResult* where = nullptr) {
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendQueryUser(number);
        const int code = e.ctx->PumpUntilReply(s);
        if (where)
            *where = ParseQueryUserResult(s.Buffer());
        return code;
    }
    bool LiveTimedOut(Endpoint& e) {
        CServerSocket s(*e.ctx);
        s.Create();
        s.SendLive();
        return s.ReadLiveTimedOut();
    }
    // Fire-and-forget requests: the server answers but nobody waits. Give it
    // a moment by asking something that is waited for afterwards.
    void Send(Endpoint& e, const std::function<void(CServerSocket&)>& send) {
        CServerSocket s(*e.ctx);
        s.Create();
        send(s);
        ASSERT_TRUE(s.m_bConnected);
        test::PumpUntil([&] { return s.m_bReplied; }, 5000);
        s.Close();
    }
    int32_t RegisterAndLogin(Endpoint& e, const std::string& email, int32_t port) {
        int32_t number = 0;
        EXPECT_EQ(Register(e, email, &number), REPLY_SUCCESS);
        EXPECT_EQ(Login(e, number, "pw-" + email, port), REPLY_SUCCESS);
        return number;
    }

    Endpoint ep{"server"};
    static test::TempDir* s_dir;
    static test::ChildProcess* s_server;
    static test::TinyproxyProcess* s_tinyproxy;
    static int s_port;
};
test::TempDir* DirectoryServer::s_dir = nullptr;
test::ChildProcess* DirectoryServer::s_server = nullptr;
test::TinyproxyProcess* DirectoryServer::s_tinyproxy = nullptr;
int DirectoryServer::s_port = 0;

TEST_F(DirectoryServer, RegistrationAndTakenAddress) {
    int32_t number = 0;
    ASSERT_EQ(Register(ep, "reg@example.cn", &number), REPLY_SUCCESS);
    EXPECT_GT(number, 0);
    EXPECT_EQ(Register(ep, "reg@example.cn"), REPLY_EMAIL_TAKEN);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_EMAIL_TAKEN), 1);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{137}));
}

TEST_F(DirectoryServer, LoginOutcomes) {
    int32_t number = 0;
    ASSERT_EQ(Register(ep, "login@example.cn", &number), REPLY_SUCCESS);
    EXPECT_EQ(Login(ep, number, "wrong", 6000), REPLY_BAD_PASSWORD);
    // A phone without a listening port still logs in; it just cannot be called.
    EXPECT_EQ(Login(ep, number, "pw-login@example.cn", 0), REPLY_SUCCESS);
    ep.ctx->m_nLivePeriod = 60;
    EXPECT_EQ(Login(ep, number, "pw-login@example.cn", 6000), REPLY_SUCCESS);
    EXPECT_EQ(ep.ctx->m_nLivePeriod, 30);
    EXPECT_EQ(ep.ctx->m_strLoginText, "hello");
    EXPECT_EQ(ep.ctx->m_strLoginNotice, "欢迎使用");
}

TEST_F(DirectoryServer, QueryFoundAndNotFound) {
    Endpoint callee("callee");
    callee.StoreServer(s_port);
    const int32_t number = RegisterAndLogin(callee, "callee@example.cn", 6123);
    QueryUserResult where;
    EXPECT_EQ(Query(ep, number, &where), REPLY_SUCCESS);
    EXPECT_EQ(where.strAddress, "127.0.0.1");
    EXPECT_EQ(where.nPort, 6123);
    EXPECT_EQ(Query(ep, 99999999), REPLY_ERROR);
}

TEST_F(DirectoryServer, KeepAliveThenExpiry) {
    RegisterAndLogin(ep, "live@example.cn", 6200);
    EXPECT_FALSE(LiveTimedOut(ep));
    // Without keep-alive the server drops the session after its time-out
    // (two seconds here); a keep-alive then hears "ALREADYTIMEOUT".
    test::PumpFor(3500);
    EXPECT_TRUE(LiveTimedOut(ep));
}

TEST_F(DirectoryServer, KeepAliveFromAWorkerThread) {
    RegisterAndLogin(ep, "thread@example.cn", 6201);
    bool timedOut = true;
    std::thread worker([&] {
        CServerSocket s(*ep.ctx);
        s.Create();
        s.SendLive();
        timedOut = !s.m_bConnected || s.ReadLiveTimedOut();
    });
    worker.join();
    EXPECT_FALSE(timedOut);
}

TEST_F(DirectoryServer, LogoutAndChangePort) {
    Endpoint callee("mover");
    callee.StoreServer(s_port);
    const int32_t number = RegisterAndLogin(callee, "mover@example.cn", 6300);
    Send(callee, [&](CServerSocket& s) { s.SendChangePort(BuildChangePortRecord(number, 6301)); });
    QueryUserResult where;
    EXPECT_EQ(Query(ep, number, &where), REPLY_SUCCESS);
    EXPECT_EQ(where.nPort, 6301);
    Send(callee, [&](CServerSocket& s) { s.SendLogout(); });
    EXPECT_EQ(Query(ep, number), REPLY_ERROR);
}

TEST_F(DirectoryServer, CallReportIsStored) {
    const int32_t own = RegisterAndLogin(ep, "report@example.cn", 6400);
    Send(ep, [&](CServerSocket& s) { s.SendMsgReport(BuildMsgReportRecord(2, 12345, own, 77)); });
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((s_dir->Path() / "directory.db").c_str(), &db, SQLITE_OPEN_READONLY,
                              nullptr),
              SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT kind, other, seconds FROM call_reports WHERE own = ?",
                                 -1, &st, nullptr),
              SQLITE_OK);
    sqlite3_bind_int(st, 1, own);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 2);
    EXPECT_EQ(sqlite3_column_int(st, 1), 12345);
    EXPECT_EQ(sqlite3_column_int(st, 2), 77);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(DirectoryServer, UnreachableServerTimesOutWithMessage138) {
    ep.StoreServer(test::FreeLoopbackPort());
    EXPECT_EQ(Login(ep, 1, "x", 6000), REPLY_NONE);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_NONE), 1);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{138}));
}

TEST_F(DirectoryServer, ExchangesThroughTinyproxy) {
    if (!s_tinyproxy)
        GTEST_SKIP() << "tinyproxy not available";
    ep.model.m_nProxy = 1;
    ep.model.m_nHttpPort = s_tinyproxy->Port();
    int32_t number = 0;
    ASSERT_EQ(Register(ep, "proxy@example.cn", &number), REPLY_SUCCESS) << s_tinyproxy->Log();
    EXPECT_EQ(Register(ep, "proxy@example.cn"), REPLY_EMAIL_TAKEN);
    EXPECT_EQ(Login(ep, number, "bad", 6500), REPLY_BAD_PASSWORD);
    EXPECT_EQ(Login(ep, number, "pw-proxy@example.cn", 6500), REPLY_SUCCESS);
    QueryUserResult where;
    EXPECT_EQ(Query(ep, number, &where), REPLY_SUCCESS);
    EXPECT_EQ(where.nPort, 6500);
    EXPECT_EQ(Query(ep, 99999998), REPLY_ERROR);
    EXPECT_FALSE(LiveTimedOut(ep));
    EXPECT_TRUE(ep.messages.ids.empty());
}

}  // namespace
}  // namespace kestrona
