// The server over real loopback connections, byte by byte, as a phone sees it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <regex>
#include <thread>

#include "greeting_listener.h"
#include "raw_client.h"
#include "server/directory.h"
#include "server/password.h"
#include "server/server.h"
#include "server/sqlite_store.h"
#include "server/store_executor.h"
#include "server_test_util.h"
#include "store_backends.h"

extern char** environ;

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::RawClient;
namespace rec = records;

// Store, directory and server as the executable wires them, on a free port.
class ServerStack {
  public:
    ServerStack(const std::string& db, test::ManualClock& clock, ServerConfig config = {},
                std::uint16_t port = 0, RelayConfig relay = {})
        : store_(db), hasher_(HashCost::Minimum()) {
        DirectoryConfig dc;
        dc.live_period_s = 20;
        dc.session_timeout = 60s;
        dc.welcome = "\xBB\xB6\xD3\xAD";
        dc.notice = "notice";
        dc.clock = [&clock] { return clock.SystemNow(); };
        dc.relay = std::move(relay);
        directory_ = std::make_unique<Directory>(store_, hasher_, dc);
        config.listen_address = "127.0.0.1";
        config.port = port;
        config.io_threads = 2;
        config.log = [this](std::string_view line) {
            std::lock_guard lock(log_mutex_);
            log_.emplace_back(line);
        };
        server_ = std::make_unique<Server>(config, *directory_);
        server_->Start();
    }
    ~ServerStack() { server_->Stop(); }

    std::uint16_t port() const { return server_->port(); }

    std::vector<std::string> Log() {
        std::lock_guard lock(log_mutex_);
        return log_;
    }

  private:
    SqliteStore store_;
    PasswordHasher hasher_;
    std::unique_ptr<Directory> directory_;
    std::mutex log_mutex_;
    std::vector<std::string> log_;
    std::unique_ptr<Server> server_;
};

// Connect, take the greeting, send one record, read until the server closes.
struct Exchange {
    Bytes greeting;
    Bytes reply;
};

Exchange Talk(std::uint16_t port, const Bytes& record) {
    RawClient client(port);
    Exchange e;
    e.greeting = client.ReadExactly(6);
    client.Send(record);
    e.reply = client.ReadToEnd();
    return e;
}

class ServerLoopbackTest : public ::testing::Test {
  protected:
    ServerStack& Start(ServerConfig config = {}) {
        stack_ = std::make_unique<ServerStack>(dir_.File("directory.db"), clock_, config);
        return *stack_;
    }
    Bytes Reply(const Bytes& record) { return Talk(stack_->port(), record).reply; }

    test::TempDir dir_;
    test::ManualClock clock_;
    std::unique_ptr<ServerStack> stack_;
};

TEST_F(ServerLoopbackTest, EveryExchangeOnTheWire) {
    ServerStack& s = Start();
    Exchange reg = Talk(s.port(), test::RegisterRecord("\xD5\xC5\xC8\xFD", "pw", "zs@x.cn"));
    EXPECT_EQ(reg.greeting, test::AsBytes("ACCEPT"));
    ASSERT_EQ(reg.reply.size(), 22u);
    EXPECT_EQ(test::Prefix(reg.reply, 18), "REGISTERNEWSUCCESS");
    std::int32_t number = rec::GetInt(reg.reply.data(), 18);
    EXPECT_EQ(number, 10000);

    EXPECT_EQ(Reply(test::RegisterRecord("x", "y", "zs@x.cn")),
              test::AsBytes("REGISTERNEWFAILEMAIL"));

    Bytes login = Reply(test::LoginRecord(number, "pw", 6100));
    ASSERT_EQ(login.size(), 252u);
    Bytes expected_login(252, 0);
    rec::PutWord(expected_login.data(), "LOGINRESULT");
    rec::PutInt(expected_login.data(), 36, 20);
    rec::PutWord(expected_login.data() + 52, "\xBB\xB6\xD3\xAD");
    rec::PutWord(expected_login.data() + 102, "notice");
    EXPECT_EQ(login, expected_login);

    Bytes wrong = Reply(test::LoginRecord(number, "bad", 6100));
    EXPECT_EQ(rec::GetInt(wrong.data(), 20), 2);

    Bytes found = Reply(test::QueryRecord(10001, number));
    Bytes expected_found(52, 0);
    rec::PutWord(expected_found.data(), "QUERYUSERRESULT");
    rec::PutWord(expected_found.data() + 20, "127.0.0.1");  // as the server saw the phone
    rec::PutInt(expected_found.data(), 36, 6100);
    EXPECT_EQ(found, expected_found);

    EXPECT_EQ(test::Prefix(Reply(test::QueryRecord(number, 55555)), 22), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(test::ReplyWord(Reply(test::ChangePortRecord(number, 6200))), "GENERALCMDSUCCESS");
    EXPECT_EQ(rec::GetInt(Reply(test::QueryRecord(1, number)).data(), 36), 6200);
    EXPECT_EQ(test::ReplyWord(Reply(test::LiveRecord(number))), "GENERALCMDSUCCESS");
    EXPECT_EQ(test::ReplyWord(Reply(test::ReportRecord(2, 10001, number, 30))),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(test::ReplyWord(Reply(test::LogoutRecord(number))), "GENERALCMDSUCCESS");
    EXPECT_EQ(test::ReplyWord(Reply(test::QueryRecord(1, number))), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(test::ReplyWord(Reply(test::LiveRecord(number))), "ALREADYTIMEOUT");

    // One log line per exchange: peer, command and result.
    std::vector<std::string> log = s.Log();
    ASSERT_EQ(log.size(), 13u);
    EXPECT_NE(log[0].find(" 127.0.0.1:"), std::string::npos);
    EXPECT_NE(log[0].find("REGISTERNEW -> registered 10000"), std::string::npos);
    EXPECT_NE(log[2].find("USERLOGIN -> accepted"), std::string::npos);
    EXPECT_NE(log[3].find("USERLOGIN -> wrong password"), std::string::npos);
}

// The relay requests go through the exchange like the others; the check of
// a phone that never greets ends in time for its answer to beat the
// request's deadline.
TEST_F(ServerLoopbackTest, RelayedCallsOnTheWire) {
    RelayConfig relay;
    relay.secret = "x";
    relay.relays = {{{"relay.example", 3478, false}, {"127.0.0.5"}}};
    ServerConfig config;
    config.request_deadline = 2000ms;
    stack_ = std::make_unique<ServerStack>(dir_.File("directory.db"), clock_, config, 0, relay);
    std::int32_t number = rec::GetInt(Reply(test::RegisterRecord("n", "pw", "n@x")).data(),
                                      rec::register_success::kNumber);
    test::GreetingListener silent("");
    ASSERT_EQ(rec::GetInt(Reply(test::LoginRecord(number, "pw", silent.port())).data(), 20), 0);

    Bytes creds = Reply(test::RelayCredsRecord(number));
    ASSERT_EQ(creds.size(), rec::relay_creds_result::kSize);
    EXPECT_EQ(rec::GetInt(creds.data(), rec::relay_creds_result::kResult), 0);

    auto start = std::chrono::steady_clock::now();
    Bytes reach = Reply(test::ReachCheckRecord(number, silent.port()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);
    ASSERT_EQ(reach.size(), rec::reach_result::kSize) << test::ReplyWord(reach);
    EXPECT_EQ(rec::GetInt(reach.data(), rec::reach_result::kVerdict), 1);
    test::GreetingListener phone("ACCEPT");
    reach = Reply(test::ReachCheckRecord(number, phone.port()));
    EXPECT_EQ(rec::GetInt(reach.data(), rec::reach_result::kVerdict), 0);

    EXPECT_EQ(test::ReplyWord(Reply(test::RelayAddrRecord(number, "127.0.0.5", 40000))),
              "GENERALCMDSUCCESS");
    Bytes peer = Reply(test::QueryPeerRecord(1, number));
    ASSERT_EQ(peer.size(), rec::query_peer_result::kSize);
    EXPECT_EQ(rec::GetInt(peer.data(), rec::query_peer_result::kMode), 1);
    Bytes found = Reply(test::QueryRecord(1, number));
    EXPECT_EQ(test::TextAt(found, rec::query_result::kAddress, 16), "127.0.0.5");
    EXPECT_EQ(rec::GetInt(found.data(), rec::query_result::kPort), 40000);
}

TEST_F(ServerLoopbackTest, ARequestSplitOverSeveralSegmentsIsStillOneRecord) {
    ServerStack& s = Start();
    RawClient client(s.port());
    ASSERT_EQ(client.ReadExactly(6), test::AsBytes("ACCEPT"));
    Bytes record = test::QueryRecord(1, 2);
    client.Send(Bytes(record.begin(), record.begin() + 5));
    client.Send(Bytes(record.begin() + 5, record.begin() + 25));
    client.Send(Bytes(record.begin() + 25, record.end()));
    EXPECT_EQ(test::ReplyWord(client.ReadToEnd()), "QUERYUSERRESULTNOTFOND");
}

TEST_F(ServerLoopbackTest, BadInputGetsGeneralErrorAndTheConnectionCloses) {
    ServerConfig config;
    config.idle_timeout = 300ms;
    ServerStack& s = Start(config);
    const Bytes general_error = [] {
        Bytes b(20, 0);
        rec::PutWord(b.data(), "GENERALERROR");
        return b;
    }();
    Bytes too_long = test::QueryRecord(1, 2);
    too_long.push_back(0);
    EXPECT_EQ(Reply(too_long), general_error);
    EXPECT_EQ(Reply(test::AsBytes("HELLO THERE")), general_error);
    EXPECT_EQ(Reply(test::AsBytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n")), general_error);
    // A text without its terminator would overflow its field.
    Bytes login = test::LoginRecord(10000, std::string(20, 'p'), 1);
    EXPECT_EQ(Reply(login), general_error);
    // Too short: the rest never comes, so the time-out ends it with the error.
    Bytes short_query = test::QueryRecord(1, 2);
    short_query.resize(30);
    EXPECT_EQ(Reply(short_query), general_error);
    // Too short and the phone half-closes: no need to wait for the time-out.
    {
        RawClient client(s.port());
        client.ReadExactly(6);
        client.Send(short_query);
        client.ShutdownSend();
        EXPECT_EQ(client.ReadToEnd(), general_error);
    }
    // A flood is answered at its first bytes; the server reads no further.
    {
        RawClient client(s.port());
        client.ReadExactly(6);
        Bytes flood = test::AsBytes("USERLOGIN");
        flood.resize(1 << 20, 'A');
        flood[9] = 0;
        client.Send(Bytes(flood.begin(), flood.begin() + 4096));
        EXPECT_EQ(client.ReadExactly(20), general_error);
        EXPECT_TRUE(client.SeesEnd());
    }
    for (const std::string& line : s.Log()) {
        EXPECT_NE(line.find("GENERALERROR"), std::string::npos) << line;
    }
}

TEST_F(ServerLoopbackTest, SilentAndRepeatedConnectionsDoNotExhaustTheServer) {
    ServerConfig config;
    config.idle_timeout = 200ms;
    config.max_per_address = 3;
    ServerStack& s = Start(config);
    {
        // Silent ones are closed by the server without a reply.
        RawClient silent(s.port());
        EXPECT_EQ(silent.ReadExactly(6), test::AsBytes("ACCEPT"));
        EXPECT_TRUE(silent.SeesEnd());
    }
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawClient>(s.port()));
        ASSERT_EQ(held.back()->ReadExactly(6), test::AsBytes("ACCEPT"));
    }
    // While three from this address are open, a fourth is refused at once.
    RawClient refused(s.port());
    Bytes answer = refused.ReadToEnd();
    EXPECT_EQ(test::ReplyWord(answer), "GENERALERROR");
    held.clear();
    // The slots come back when those connections end; the idle time-out ends
    // them all the same, so this loop is bounded.
    bool served = false;
    for (int attempt = 0; attempt < 200 && !served; ++attempt) {
        Exchange e = Talk(s.port(), test::QueryRecord(1, 2));
        served = test::ReplyWord(e.reply) == "QUERYUSERRESULTNOTFOND";
        if (!served) {
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_TRUE(served);
    bool logged_refusal = false;
    for (const std::string& line : s.Log()) {
        logged_refusal |= line.find("refused: too many connections") != std::string::npos;
    }
    EXPECT_TRUE(logged_refusal);
}

TEST_F(ServerLoopbackTest, SessionsExpireWithoutKeepAlive) {
    ServerStack& s = Start();
    std::int32_t number = rec::GetInt(Reply(test::RegisterRecord("n", "pw", "e@x")).data(), 18);
    ASSERT_EQ(rec::GetInt(Reply(test::LoginRecord(number, "pw", 7000)).data(), 20), 0);
    clock_.Advance(59s);
    EXPECT_EQ(test::ReplyWord(Reply(test::LiveRecord(number))), "GENERALCMDSUCCESS");
    clock_.Advance(59s);
    EXPECT_EQ(test::ReplyWord(Reply(test::QueryRecord(1, number))), "QUERYUSERRESULT");
    clock_.Advance(1s);
    EXPECT_EQ(test::ReplyWord(Reply(test::QueryRecord(1, number))), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(test::ReplyWord(Reply(test::LiveRecord(number))), "ALREADYTIMEOUT");
    (void)s;
}

TEST_F(ServerLoopbackTest, SubscribersSurviveARestart) {
    std::int32_t number = 0;
    {
        ServerStack& s = Start();
        number = rec::GetInt(Reply(test::RegisterRecord("n", "secret", "e@x")).data(), 18);
        ASSERT_EQ(number, 10000);
        (void)s;
        stack_.reset();
    }
    Start();
    Bytes login = Reply(test::LoginRecord(number, "secret", 7000));
    EXPECT_EQ(rec::GetInt(login.data(), 20), 0);
    EXPECT_EQ(rec::GetInt(Reply(test::LoginRecord(number, "Secret", 7000)).data(), 20), 2);
    EXPECT_EQ(test::ReplyWord(Reply(test::RegisterRecord("n", "p", "E@X"))),
              "REGISTERNEWFAILEMAIL");
    EXPECT_EQ(rec::GetInt(Reply(test::RegisterRecord("m", "p", "f@x")).data(), 18), 10001);
}

// The two connection threads listen on sockets of their own that share the
// port: no other server may join them there and take a share of the phones.
TEST_F(ServerLoopbackTest, ManyClientsAtOnceAllGetTheirAnswerFromTheOneServerOnThePort) {
    ServerStack& s = Start();
    EXPECT_THROW(ServerStack(dir_.File("other.db"), clock_, {}, s.port()), std::system_error);
    std::int32_t number = rec::GetInt(Reply(test::RegisterRecord("n", "pw", "e@x")).data(), 18);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                Bytes login = Talk(s.port(), test::LoginRecord(number, "pw", 7000 + t)).reply;
                Bytes query = Talk(s.port(), test::QueryRecord(1, number)).reply;
                if (login.size() == 252 && rec::GetInt(login.data(), 20) == 0 &&
                    test::ReplyWord(query) == "QUERYUSERRESULT") {
                    ++good;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(good.load(), 200);
}

// A store whose registrations wait until the test lets them through.
class GatedStore final : public test::ForwardingStore {
  public:
    explicit GatedStore(SubscriberStore& inner) : ForwardingStore(inner) {}
    AddResult AddSubscriber(const NewSubscriber& s, std::int32_t first) override {
        entered_.set_value();
        gate_.get_future().wait();
        return inner_.AddSubscriber(s, first);
    }
    void WaitEntered() { entered_.get_future().wait(); }
    void Open() { gate_.set_value(); }

  private:
    std::promise<void> entered_;
    std::promise<void> gate_;
};

TEST(ServerLoad, PasswordChecksBeyondTheQueueLimitAreRefusedAtOnce) {
    test::TempDir dir;
    SqliteStore sqlite(dir.File("directory.db"));
    GatedStore store(sqlite);
    PasswordHasher hasher(HashCost::Minimum());
    Directory directory(store, hasher, DirectoryConfig{});
    ServerConfig config;
    config.listen_address = "127.0.0.1";
    config.port = 0;
    config.max_pending_hashes = 1;
    Server server(config, directory);
    server.Start();

    std::thread first([&] {
        Bytes reply = Talk(server.port(), test::RegisterRecord("a", "p", "a@x")).reply;
        EXPECT_EQ(test::Prefix(reply, 18), "REGISTERNEWSUCCESS");
    });
    store.WaitEntered();  // the first registration now holds the only place
    EXPECT_EQ(test::ReplyWord(Talk(server.port(), test::RegisterRecord("b", "p", "b@x")).reply),
              "GENERALERROR");
    // Work that needs no password check is not held up.
    EXPECT_EQ(test::ReplyWord(Talk(server.port(), test::QueryRecord(1, 2)).reply),
              "QUERYUSERRESULTNOTFOND");
    store.Open();
    first.join();
    server.Stop();
}

// A store whose session calls hang until it is opened or interrupted, as a
// database stopped without closing its connections does.
class HangingStore : public test::ForwardingStore {
  public:
    using ForwardingStore::ForwardingStore;
    SessionStatus TouchSession(std::int32_t n, const std::string& a, std::int64_t now,
                               std::int64_t since) override {
        Wait();
        return inner_.TouchSession(n, a, now, since);
    }
    std::optional<SessionRow> FindSession(std::int32_t n, std::int64_t since) override {
        Wait();
        return inner_.FindSession(n, since);
    }
    bool Ping() override {
        Wait();
        return inner_.Ping();
    }
    void Interrupt() override {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        wake_.notify_all();
    }
    void Hang(bool hang) {
        std::lock_guard lock(mutex_);
        hanging_ = hang;
        wake_.notify_all();
    }

  private:
    void Wait() {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !hanging_ || interrupted_; });
        if (interrupted_) {
            throw std::runtime_error("interrupted");
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    bool hanging_ = false;
    bool interrupted_ = false;
};

bool Healthy(std::uint16_t metrics_port) {
    return test::HttpGet(metrics_port, "/healthz").rfind("HTTP/1.1 200", 0) == 0;
}

// The database stops answering: every request is still answered by its
// deadline, the health check says so without waiting itself, the scrape
// goes on, and a stop does not wait for the database.
TEST(ServerLoad, AHungDatabaseCostsEachRequestItsDeadlineAndNoMore) {
    test::TempDir dir;
    SqliteStore sqlite(dir.File("directory.db"));
    HangingStore store(sqlite);
    PasswordHasher hasher(HashCost::Minimum());
    Directory directory(store, hasher, DirectoryConfig{});
    ServerConfig config;
    config.listen_address = "127.0.0.1";
    config.port = 0;
    config.metrics_address = "127.0.0.1";
    config.request_deadline = 300ms;
    config.store_threads = 2;
    config.store_queue = 4;
    Server server(config, directory);
    server.Start();
    EXPECT_TRUE(Healthy(server.metrics_port()));

    store.Hang(true);
    // More requests than threads and queue places: the ones beyond are
    // refused at once, the others when their deadline passes.
    std::vector<std::future<std::string>> replies;
    for (int i = 0; i < 8; ++i) {
        replies.push_back(std::async(std::launch::async, [&server, i] {
            return test::ReplyWord(Talk(server.port(), test::LiveRecord(10000 + i)).reply);
        }));
    }
    for (auto& reply : replies) {
        EXPECT_EQ(reply.get(), "GENERALERROR");
    }
    // Registration has threads of its own and is not held up.
    EXPECT_EQ(test::Prefix(Talk(server.port(), test::RegisterRecord("a", "p", "a@x")).reply, 18),
              "REGISTERNEWSUCCESS");
    bool unhealthy = false;
    for (int i = 0; i < 100 && !unhealthy; ++i) {
        unhealthy = !Healthy(server.metrics_port());
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(unhealthy);
    EXPECT_NE(test::HttpGet(server.metrics_port(), "/metrics").find("200 OK"), std::string::npos);

    store.Hang(false);
    bool healthy = false;
    for (int i = 0; i < 100 && !healthy; ++i) {
        healthy = Healthy(server.metrics_port());
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(healthy);
    EXPECT_EQ(test::ReplyWord(Talk(server.port(), test::LiveRecord(10000)).reply),
              "ALREADYTIMEOUT");

    // Hung again, with work in flight: the stop breaks it off.
    store.Hang(true);
    std::thread late([port = server.port()] {
        RawClient client(port, 1);
        client.ReadExactly(6);
        client.Send(test::LiveRecord(10000));
        client.ReadToEnd();
    });
    std::this_thread::sleep_for(100ms);
    server.Stop();
    late.join();
}

// Holds every password look-up, once told to, until released or broken off,
// so that the logins behind the held ones wait in the queue.
class HeldLookUps : public test::ForwardingStore {
  public:
    using ForwardingStore::ForwardingStore;
    std::optional<std::string> PasswordHash(std::int32_t number) override {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return !holding_; });
        }
        return inner_.PasswordHash(number);
    }
    void Interrupt() override { Release(); }
    void Hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void Release() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        wake_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool holding_ = false;
};

// A stop in the middle of a login storm, with the password checks held so
// that the queue is full: the queued checks are refused and the running ones
// finish before the connections' contexts go, and no phone is told anything
// about its password.
TEST(ServerLoad, AStopDuringALoginStormLeavesNoWorkBehind) {
    test::TempDir dir;
    SqliteStore sqlite(dir.File("directory.db"));
    HeldLookUps store(sqlite);
    PasswordHasher hasher(HashCost::Minimum());
    Directory directory(store, hasher, DirectoryConfig{});
    ServerConfig config;
    config.listen_address = "127.0.0.1";
    config.port = 0;
    config.metrics_address = "127.0.0.1";
    config.hash_threads = 2;
    config.limits.address_failures = 0;
    config.limits.number_failures = 0;
    config.limits.registrations_per_hour = 0;
    auto server = std::make_unique<Server>(config, directory);
    server->Start();
    std::int32_t number =
        rec::GetInt(Talk(server->port(), test::RegisterRecord("a", "p", "a@x")).reply.data(), 18);

    store.Hold();
    constexpr int kLogins = 24;
    std::vector<Bytes> answers(kLogins);
    std::vector<std::thread> storm;
    for (int i = 0; i < kLogins; ++i) {
        storm.emplace_back([port = server->port(), number, i, &answer = answers[i]] {
            RawClient client(port, 5);
            client.ReadExactly(6);
            client.Send(test::LoginRecord(number, "guess" + std::to_string(i), 7000));
            answer = client.ReadToEnd();
        });
    }
    // Two checks held on the hash threads, the others queued behind them.
    std::string waiting = "kestrona_password_checks_waiting " + std::to_string(kLogins) + "\n";
    bool queued = false;
    for (int i = 0; i < 300 && !queued; ++i) {
        queued =
            test::HttpGet(server->metrics_port(), "/metrics").find(waiting) != std::string::npos;
        if (!queued) {
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_TRUE(queued);
    // Let go once the stop is under way, before it would break the checks off.
    std::thread release([&store] {
        std::this_thread::sleep_for(100ms);
        store.Release();
    });
    server->Stop();
    server.reset();
    release.join();
    for (std::thread& t : storm) {
        t.join();
    }
    for (const Bytes& answer : answers) {
        EXPECT_TRUE(answer.empty() || test::ReplyWord(answer) == "GENERALERROR")
            << test::ReplyWord(answer);
    }
}

// Work that a stop refuses has its one call and is let go of before Stop
// returns, so nothing it holds outlives the stop.
TEST(StoreWork, AStopCallsEachQueuedJobOnceAndKeepsNoneOfThem) {
    StoreExecutorConfig work_config;
    work_config.threads = 1;
    work_config.queue_limit = 8;
    StoreExecutor work(work_config);
    work.Start();
    std::promise<void> started;
    std::promise<void> finish;
    std::shared_future<void> finished = finish.get_future().share();
    ASSERT_TRUE(work.Submit(SteadyTime::max(), [&started, finished](bool) {
        started.set_value();
        finished.wait_for(5s);
    }));
    started.get_future().wait();
    auto held = std::make_shared<int>(0);
    std::atomic<int> runs{0};
    std::atomic<int> refusals{0};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(work.Submit(SteadyTime::max(),
                                [held, &runs, &refusals](bool run) { ++(run ? runs : refusals); }));
    }
    std::thread release([&finish] {
        std::this_thread::sleep_for(50ms);
        finish.set_value();
    });
    work.Stop();
    release.join();
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(refusals.load(), 5);
    EXPECT_EQ(held.use_count(), 1);
}

// The executable itself: nothing but a database path (and a free port, since
// the default one may be taken on a shared machine).
TEST(ServerProgram, RunsWithOnlyADatabasePathAndServesAPhone) {
    test::TempDir dir;
    std::string db = dir.File("sub/dir/directory.db");
    int err_pipe[2];
    ASSERT_EQ(::pipe(err_pipe), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    std::vector<std::string> args{KESTRONA_SERVER_BINARY, "--db", db, "--port", "0",
                                  "--minimum-hash-cost"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err_pipe[1]);
    FILE* err = ::fdopen(err_pipe[0], "r");
    char line[512];
    std::uint16_t port = 0;
    if (std::fgets(line, sizeof line, err)) {
        std::cmatch m;
        if (std::regex_search(line, m,
                              std::regex("^kestrona-server: listening on .* port ([0-9]+),"))) {
            port = static_cast<std::uint16_t>(std::stoi(m[1]));
        }
    }
    ASSERT_NE(port, 0) << line;
    std::int32_t number =
        rec::GetInt(Talk(port, test::RegisterRecord("n", "p", "e@x")).reply.data(), 18);
    EXPECT_EQ(number, 10000);
    Bytes login = Talk(port, test::LoginRecord(number, "p", 7000)).reply;
    EXPECT_EQ(rec::GetInt(login.data(), 20), 0);
    EXPECT_EQ(rec::GetInt(login.data(), 36), 60);
    std::string log_line;
    ASSERT_TRUE(std::fgets(line, sizeof line, err));
    EXPECT_NE(std::string(line).find("REGISTERNEW -> registered 10000"), std::string::npos);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::fclose(err);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kestrona::server
