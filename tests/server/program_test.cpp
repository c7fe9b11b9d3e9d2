// kestrona-server as a program: restarts and several instances on one
// database, and the admin and migrate commands, on both backends.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "raw_client.h"
#include "server/open_store.h"
#include "server_process.h"
#include "server_test_util.h"
#include "store_backends.h"
#include "support/haproxy_fixture.h"

extern char** environ;

namespace kestrona::server {
namespace {

using test::Bytes;
namespace rec = records;

using test::ServerProcess;

Bytes Talk(std::uint16_t port, const Bytes& record) {
    test::RawClient client(port);
    client.ReadExactly(6);
    client.Send(record);
    return client.ReadToEnd();
}

std::string Word(std::uint16_t port, const Bytes& record) {
    return test::ReplyWord(Talk(port, record));
}

std::int32_t Register(std::uint16_t port, const std::string& email, const std::string& pw) {
    Bytes reply = Talk(port, test::RegisterRecord("\xD5\xC5\xC8\xFD", pw, email));
    EXPECT_EQ(test::Prefix(reply, 18), "REGISTERNEWSUCCESS");
    return reply.size() >= 22 ? rec::GetInt(reply.data(), 18) : 0;
}

std::int32_t Login(std::uint16_t port, std::int32_t number, const std::string& pw,
                   std::int32_t listen_port = 7000) {
    Bytes reply = Talk(port, test::LoginRecord(number, pw, listen_port));
    return reply.size() >= 24 ? rec::GetInt(reply.data(), 20) : -1;
}

struct CommandResult {
    int status = -1;
    std::string out;
};

// Runs the program with arguments (no shell quoting needed for ours), input
// (a printf format) on standard input.
CommandResult RunProgram(const std::string& arguments, const std::string& input = "") {
    std::string command =
        "printf '" + input + "' | " + KESTRONA_SERVER_BINARY + " " + arguments + " 2>&1";
    CommandResult result;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        result.out += buffer;
    }
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class ServerProgramTest : public ::testing::TestWithParam<test::Backend> {
  protected:
    ServerProgramTest() : spec_(test::FreshStoreSpec(GetParam(), dir_)) {}
    void SetUp() override { ASSERT_FALSE(spec_.empty()); }
    test::TempDir dir_;
    std::string spec_;
};

INSTANTIATE_TEST_SUITE_P(Backends, ServerProgramTest,
                         ::testing::Values(test::Backend::kSqlite, test::Backend::kPostgres),
                         test::BackendName);

TEST_P(ServerProgramTest, PhonesKeepTheirSessionsThroughACrashAndRestart) {
    auto server = std::make_unique<ServerProcess>(spec_);
    std::uint16_t port = server->port();
    ASSERT_NE(port, 0) << server->first_line();
    std::int32_t a = Register(port, "a@x", "pw");
    std::int32_t b = Register(port, "b@x", "pw");
    ASSERT_EQ(Login(port, a, "pw", 7001), 0);
    ASSERT_EQ(Login(port, b, "pw", 7002), 0);
    server->Stop(SIGKILL);
    server = std::make_unique<ServerProcess>(spec_, port);
    ASSERT_EQ(server->port(), port) << server->first_line();
    EXPECT_EQ(Word(port, test::LiveRecord(a)), "GENERALCMDSUCCESS");
    Bytes found = Talk(port, test::QueryRecord(b, a));
    ASSERT_EQ(test::ReplyWord(found), "QUERYUSERRESULT");
    EXPECT_EQ(rec::GetInt(found.data(), 36), 7001);
    // A clean stop and start just the same.
    server->Stop(SIGTERM);
    server = std::make_unique<ServerProcess>(spec_, port);
    EXPECT_EQ(Word(port, test::LiveRecord(b)), "GENERALCMDSUCCESS");
}

TEST_P(ServerProgramTest, AdminListsSessionsSetsPasswordsAndRemovesSubscribers) {
    ServerProcess server(spec_);
    std::uint16_t port = server.port();
    ASSERT_NE(port, 0) << server.first_line();
    std::int32_t a = Register(port, "a@x", "old");
    std::int32_t b = Register(port, "b@x", "pw");
    ASSERT_EQ(Login(port, a, "old", 7001), 0);

    CommandResult sessions = RunProgram("admin sessions --db " + spec_);
    EXPECT_EQ(sessions.status, 0) << sessions.out;
    EXPECT_NE(sessions.out.find(std::to_string(a) + "\t127.0.0.1\t7001\t"), std::string::npos)
        << sessions.out;
    EXPECT_EQ(sessions.out.find(std::to_string(b)), std::string::npos);

    // The running server remembers "old" as checked; the new hash wins.
    CommandResult set = RunProgram(
        "admin set-password " + std::to_string(a) + " --db " + spec_ + " --minimum-hash-cost",
        "fresh\\n");
    EXPECT_EQ(set.status, 0) << set.out;
    EXPECT_EQ(Login(port, a, "old"), rec::login_result::kWrongPassword);
    EXPECT_EQ(Login(port, a, "fresh"), rec::login_result::kAccepted);
    EXPECT_EQ(RunProgram("admin set-password " + std::to_string(a) + " --db " + spec_,
                         "twenty-bytes-is-long\\n")
                  .status,
              1);
    EXPECT_EQ(RunProgram("admin set-password 99999 --db " + spec_, "x\\n").status, 1);

    CommandResult removed = RunProgram("admin remove " + std::to_string(a) + " --db " + spec_);
    EXPECT_EQ(removed.status, 0) << removed.out;
    EXPECT_EQ(Word(port, test::QueryRecord(b, a)), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(Word(port, test::LiveRecord(a)), "ALREADYTIMEOUT");
    EXPECT_EQ(Login(port, a, "fresh"), rec::login_result::kWrongPassword);
    EXPECT_EQ(RunProgram("admin remove " + std::to_string(a) + " --db " + spec_).status, 1);
    EXPECT_EQ(RunProgram("admin frobnicate --db " + spec_).status, 2);
}

// Two instances on one PostgreSQL: a phone may reach either for any request.
TEST(ServerInstances, TwoInstancesOnOnePostgresServeTheSameSessions) {
    test::TempDir dir;
    std::string spec = test::FreshStoreSpec(test::Backend::kPostgres, dir);
    ASSERT_FALSE(spec.empty());
    auto one = std::make_unique<ServerProcess>(spec);
    ServerProcess two(spec);
    ASSERT_NE(one->port(), 0) << one->first_line();
    ASSERT_NE(two.port(), 0) << two.first_line();
    std::int32_t a = Register(one->port(), "a@x", "pw");
    std::int32_t b = Register(two.port(), "b@x", "pw");
    EXPECT_EQ(b, a + 1);
    ASSERT_EQ(Login(two.port(), a, "pw", 7001), 0);
    ASSERT_EQ(Login(one->port(), b, "pw", 7002), 0);
    EXPECT_EQ(rec::GetInt(Talk(one->port(), test::QueryRecord(b, a)).data(), 36), 7001);
    EXPECT_EQ(Word(one->port(), test::LiveRecord(a)), "GENERALCMDSUCCESS");
    EXPECT_EQ(Word(two.port(), test::ChangePortRecord(b, 7102)), "GENERALCMDSUCCESS");
    EXPECT_EQ(rec::GetInt(Talk(one->port(), test::QueryRecord(a, b)).data(), 36), 7102);
    // One instance dies: the other carries on with every session.
    one->Stop(SIGKILL);
    EXPECT_EQ(Word(two.port(), test::LiveRecord(a)), "GENERALCMDSUCCESS");
    EXPECT_EQ(Word(two.port(), test::LiveRecord(b)), "GENERALCMDSUCCESS");
    EXPECT_EQ(Word(two.port(), test::LogoutRecord(b)), "GENERALCMDSUCCESS");
    one = std::make_unique<ServerProcess>(spec);
    EXPECT_EQ(Word(one->port(), test::QueryRecord(a, b)), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(Word(one->port(), test::LiveRecord(a)), "GENERALCMDSUCCESS");
}

// As a balancer hands a phone's connection on.
Bytes TalkVia(std::uint16_t port, const std::string& from, const Bytes& record) {
    test::RawClient client(port);
    client.Send(test::AsBytes("PROXY TCP4 " + from + " 127.0.0.1 40000 10004\r\n"));
    client.ReadExactly(6);
    client.Send(record);
    return client.ReadToEnd();
}

std::int32_t LoginVia(std::uint16_t port, const std::string& from, std::int32_t number,
                      const std::string& pw) {
    Bytes reply = TalkVia(port, from, test::LoginRecord(number, pw, 7000));
    return reply.size() >= 24 ? rec::GetInt(reply.data(), 20) : -1;
}

// An exchange through a balancer from a loopback address of the client's
// own, which the balancer names in its header.
Bytes TalkFrom(std::uint16_t port, const std::string& from, const Bytes& record) {
    test::RawClient client(port, 10, from.c_str());
    client.ReadExactly(6);
    client.Send(record);
    return client.ReadToEnd();
}

std::int32_t LoginFrom(std::uint16_t port, const std::string& from, std::int32_t number,
                       const std::string& pw) {
    Bytes reply = TalkFrom(port, from, test::LoginRecord(number, pw, 7000));
    return reply.size() >= 24 ? rec::GetInt(reply.data(), 20) : -1;
}

// Logins an instance has answered, from its metrics.
int LoginsAnswered(std::uint16_t metrics_port) {
    std::string text = test::HttpGet(metrics_port, "/metrics");
    std::regex line("kestrona_exchanges_total\\{command=\"USERLOGIN\"[^}]*\\} ([0-9]+)");
    int sum = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        sum += std::stoi((*it)[1]);
    }
    return sum;
}

// Two instances on one database behind HAProxy give a guesser one allowance
// between them, and a restart forgets neither the counts nor the addresses
// an owner is known by.
TEST(ServerInstances, LimitsAreSharedByInstancesAndOutliveARestart) {
    if (!kestrona::test::HaproxyProcess::Available()) {
        GTEST_SKIP() << "haproxy is not installed";
    }
    test::TempDir dir;
    std::string spec = test::FreshStoreSpec(test::Backend::kPostgres, dir);
    ASSERT_FALSE(spec.empty());
    const std::vector<std::string> behind{"--trusted-proxy", "127.0.0.1"};
    std::vector<int> metrics{kestrona::test::FreeLoopbackPort(),
                             kestrona::test::FreeLoopbackPort()};
    auto started = [&](std::uint16_t port, int m) {
        std::vector<std::string> args = behind;
        args.insert(args.end(), {"--metrics", "127.0.0.1:" + std::to_string(m)});
        return std::make_unique<ServerProcess>(spec, port, args);
    };
    auto one = started(0, metrics[0]);
    auto two = started(0, metrics[1]);
    ASSERT_NE(one->port(), 0) << one->first_line();
    ASSERT_NE(two->port(), 0) << two->first_line();
    const std::string owner = "127.0.0.5";
    const std::string guesser = "127.0.0.9";
    std::int32_t number = 0;
    {
        kestrona::test::HaproxyProcess haproxy;
        ASSERT_TRUE(haproxy.Start({one->port(), two->port()})) << haproxy.Log();
        auto front = static_cast<std::uint16_t>(haproxy.Port());
        Bytes registered = TalkFrom(front, owner, test::RegisterRecord("o", "right", "o@x"));
        ASSERT_EQ(registered.size(), 22u);
        number = rec::GetInt(registered.data(), 18);
        ASSERT_EQ(LoginFrom(front, owner, number, "right"), 0);

        int checked = 0;
        for (int i = 0; i < 16; ++i) {
            checked += LoginFrom(front, guesser, number, "guess") == 2;
        }
        EXPECT_EQ(checked, 10);
        // The balancer spread the guesses over both.
        EXPECT_GE(LoginsAnswered(static_cast<std::uint16_t>(metrics[0])), 4);
        EXPECT_GE(LoginsAnswered(static_cast<std::uint16_t>(metrics[1])), 4);
    }

    std::uint16_t port_one = one->port();
    std::uint16_t port_two = two->port();
    one.reset();
    two.reset();
    one = std::make_unique<ServerProcess>(spec, port_one, behind);
    two = std::make_unique<ServerProcess>(spec, port_two, behind);
    ASSERT_NE(one->port(), 0) << one->first_line();
    EXPECT_EQ(LoginVia(one->port(), guesser, number, "right"), 1);
    // Strangers spread over many addresses cool the number down for every
    // stranger, not for its owner, whom the restart did not forget.
    for (int i = 2; i < 12; ++i) {
        LoginVia(i % 2 ? one->port() : two->port(), "198.51.100." + std::to_string(i), number,
                 "guess");
    }
    EXPECT_EQ(LoginVia(two->port(), "198.51.100.99", number, "right"), 1);
    EXPECT_EQ(LoginVia(one->port(), owner, number, "right"), 0);
}

// SQLite to PostgreSQL and back: every subscriber, report, retired number and
// session arrives unchanged, and the copy serves logins with the old passwords.
TEST(ServerMigrate, ARoundTripThroughPostgresKeepsEverything) {
    test::TempDir dir;
    std::string first = "sqlite:" + dir.File("first.db");
    std::string back = "sqlite:" + dir.File("back.db");
    std::string pg = test::FreshStoreSpec(test::Backend::kPostgres, dir);
    ASSERT_FALSE(pg.empty());
    std::int32_t a = 0;
    {
        ServerProcess server(first);
        ASSERT_NE(server.port(), 0) << server.first_line();
        a = Register(server.port(), "Mixed@Case.cn", "\xC3\xDC\xC2\xEB");
        std::int32_t gone = Register(server.port(), "gone@x", "pw");
        Register(server.port(), "third@x", "pw");
        ASSERT_EQ(Login(server.port(), a, "\xC3\xDC\xC2\xEB", 7001), 0);
        Talk(server.port(), test::ReportRecord(2, gone, a, 42));
        EXPECT_EQ(RunProgram("admin remove " + std::to_string(gone) + " --db " + first).status, 0);
    }
    CommandResult there = RunProgram("migrate --from " + first + " --to " + pg);
    ASSERT_EQ(there.status, 0) << there.out;
    CommandResult again = RunProgram("migrate --from " + first + " --to " + pg);
    EXPECT_EQ(again.status, 1) << "copied twice into the same database";
    CommandResult home = RunProgram("migrate --from " + pg + " --to " + back);
    ASSERT_EQ(home.status, 0) << home.out;

    auto original = OpenStore(first, 1);
    auto copy = OpenStore(back, 1);
    auto subscribers = original->Subscribers();
    ASSERT_EQ(subscribers.size(), 2u);
    auto copied = copy->Subscribers();
    ASSERT_EQ(copied.size(), subscribers.size());
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
        EXPECT_EQ(copied[i].number, subscribers[i].number);
        EXPECT_EQ(copied[i].data.name, subscribers[i].data.name);
        EXPECT_EQ(copied[i].data.password_hash, subscribers[i].data.password_hash);
        EXPECT_EQ(copied[i].data.email, subscribers[i].data.email);
        EXPECT_EQ(copied[i].data.registered_from, subscribers[i].data.registered_from);
        EXPECT_EQ(copied[i].registered_at, subscribers[i].registered_at);
    }
    EXPECT_EQ(copy->RetiredNumbers(), original->RetiredNumbers());
    ASSERT_EQ(copy->CallReports().size(), 1u);
    EXPECT_EQ(copy->CallReports()[0].seconds, 42);
    EXPECT_EQ(copy->CallReports()[0].reported_at, original->CallReports()[0].reported_at);
    ASSERT_EQ(copy->ListSessions(0).size(), 1u);

    ServerProcess on_pg(pg);
    ASSERT_NE(on_pg.port(), 0) << on_pg.first_line();
    // The phone online before the move goes on without logging in again.
    EXPECT_EQ(Word(on_pg.port(), test::LiveRecord(a)), "GENERALCMDSUCCESS");
    EXPECT_EQ(Login(on_pg.port(), a, "\xC3\xDC\xC2\xEB"), rec::login_result::kAccepted);
    EXPECT_EQ(Word(on_pg.port(), test::RegisterRecord("n", "p", "mixed@case.CN")),
              "REGISTERNEWFAILEMAIL");
    // The removed number stays retired after the move.
    EXPECT_EQ(Register(on_pg.port(), "new@x", "pw"), a + 3);
}

}  // namespace
}  // namespace kestrona::server
