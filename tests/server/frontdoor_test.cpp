// What reaches the directory past the front door: balancer headers, abuse
// limits and the operator's counters, over real loopback connections.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "raw_client.h"
#include "server/directory.h"
#include "server/password.h"
#include "server/server.h"
#include "server/sqlite_store.h"
#include "server_test_util.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::RawClient;
namespace rec = records;

Bytes V1(const std::string& source) {
    return test::AsBytes("PROXY TCP4 " + source + " 127.0.0.1 40000 10004\r\n");
}

Bytes V2(std::array<std::uint8_t, 4> source, std::uint16_t port) {
    Bytes b{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A, 0x21, 0x11,
            0,    12,   0,    0,    0,    0,    127,  0,    0,    1,    0,    0,    0x27, 0x14};
    std::copy(source.begin(), source.end(), b.begin() + 16);
    b[24] = static_cast<std::uint8_t>(port >> 8);
    b[25] = static_cast<std::uint8_t>(port);
    return b;
}

struct Exchange {
    Bytes greeting;
    Bytes reply;
};

// As a balancer does: the header goes out at once, the phone's record after
// the greeting.
Exchange Talk(std::uint16_t port, const Bytes& record, const Bytes& header = {}) {
    RawClient client(port);
    if (!header.empty()) {
        client.Send(header);
    }
    Exchange e;
    e.greeting = client.ReadExactly(6);
    client.Send(record);
    e.reply = client.ReadToEnd();
    return e;
}

std::int32_t LoginResultOf(const Bytes& reply) {
    return reply.size() == rec::login_result::kSize ? rec::GetInt(reply.data(), 20) : -1;
}

class FrontDoorTest : public ::testing::Test {
  protected:
    FrontDoorTest() : store_(dir_.File("directory.db")), hasher_(HashCost::Minimum()) {
        directory_ = std::make_unique<Directory>(store_, hasher_, DirectoryConfig{});
    }

    Server& Start(ServerConfig config) {
        config.listen_address = "127.0.0.1";
        config.port = 0;
        config.idle_timeout = 2s;
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

    test::TempDir dir_;
    SqliteStore store_;
    PasswordHasher hasher_;
    std::unique_ptr<Directory> directory_;
    std::mutex log_mutex_;
    std::vector<std::string> log_;
    std::unique_ptr<Server> server_;
};

TEST_F(FrontDoorTest, ABalancersHeaderNamesTheClientAndNoOtherHeaderIsBelieved) {
    ServerConfig config;
    config.trusted_proxies.Add("127.0.0.1/32");
    std::uint16_t port = Start(config).port();
    Exchange reg = Talk(port, test::RegisterRecord("n", "pw", "n@x"), V1("192.0.2.7"));
    EXPECT_EQ(reg.greeting, test::AsBytes("ACCEPT"));
    std::int32_t number = rec::GetInt(reg.reply.data(), 18);
    ASSERT_EQ(
        LoginResultOf(
            Talk(port, test::LoginRecord(number, "pw", 7000), V2({198, 51, 100, 9}, 4444)).reply),
        0);
    Bytes found = Talk(port, test::QueryRecord(1, number), V1("192.0.2.99")).reply;
    ASSERT_EQ(test::ReplyWord(found), "QUERYUSERRESULT");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(found.data() + 20)), "198.51.100.9");
    // The own-address checks compare the client's address, not the balancer's.
    EXPECT_EQ(test::ReplyWord(Talk(port, test::LiveRecord(number), V1("192.0.2.99")).reply),
              "ALREADYTIMEOUT");
    EXPECT_EQ(
        test::ReplyWord(Talk(port, test::ChangePortRecord(number, 7100), V1("192.0.2.99")).reply),
        "GENERALCMDFAIL");
    EXPECT_EQ(test::ReplyWord(Talk(port, test::LiveRecord(number), V1("198.51.100.9")).reply),
              "GENERALCMDSUCCESS");
    EXPECT_TRUE(Logged("198.51.100.9:4444 USERLOGIN -> accepted"));

    // From the balancer's address, a connection without a header is refused
    // before the greeting, and so is a broken header.
    {
        RawClient client(port);
        client.Send(test::QueryRecord(1, number));
        EXPECT_EQ(test::ReplyWord(client.ReadToEnd()), "GENERALERROR");
    }
    {
        RawClient client(port);
        client.Send(test::AsBytes("PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n"));
        EXPECT_EQ(test::ReplyWord(client.ReadToEnd()), "GENERALERROR");
    }
    EXPECT_TRUE(Logged("refused: no PROXY header from a trusted balancer"));
    EXPECT_TRUE(Logged("refused: PROXY line without four fields"));
    server_->Stop();

    // A server that trusts only another range: the header is refused, and a
    // plain phone is served as before.
    ServerConfig elsewhere;
    elsewhere.trusted_proxies.Add("10.0.0.0/8");
    port = Start(elsewhere).port();
    Exchange forged = Talk(port, test::LoginRecord(number, "pw", 7000), V1("198.51.100.9"));
    EXPECT_EQ(test::ReplyWord(forged.reply), "GENERALERROR");
    EXPECT_EQ(test::ReplyWord(Talk(port, test::QueryRecord(1, 55555)).reply),
              "QUERYUSERRESULTNOTFOND");
    EXPECT_TRUE(Logged("PROXY header from an address not trusted to send one"));
    server_->Stop();

    elsewhere.proxy_only = true;
    RawClient direct(Start(elsewhere).port());
    EXPECT_EQ(test::ReplyWord(direct.ReadToEnd()), "GENERALERROR");
}

TEST_F(FrontDoorTest, GuessersAreHeldOffWithoutPasswordChecksWhileTheOwnerGetsIn) {
    ServerConfig config;
    config.trusted_proxies.Add("127.0.0.1");
    config.limits.registrations_per_hour = 3;
    std::uint16_t port = Start(config).port();
    const Bytes home = V1("203.0.113.5");
    std::int32_t number =
        rec::GetInt(Talk(port, test::RegisterRecord("o", "right", "o@x"), home).reply.data(), 18);
    ASSERT_EQ(LoginResultOf(Talk(port, test::LoginRecord(number, "right", 7000), home).reply), 0);

    // One address guessing: after ten wrong passwords even the right one is
    // refused, without being checked.
    const Bytes guesser = V1("198.51.100.1");
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(
            LoginResultOf(
                Talk(port, test::LoginRecord(number, "guess" + std::to_string(i), 7000), guesser)
                    .reply),
            2);
    }
    EXPECT_EQ(LoginResultOf(Talk(port, test::LoginRecord(number, "right", 7000), guesser).reply),
              1);
    EXPECT_TRUE(Logged("198.51.100.1:40000 USERLOGIN -> throttled"));
    // Those failures came from a stranger, so the number itself cools down
    // for every other stranger too.
    EXPECT_EQ(LoginResultOf(
                  Talk(port, test::LoginRecord(number, "right", 7000), V1("198.51.100.50")).reply),
              1);
    EXPECT_TRUE(Logged("198.51.100.50:40000 USERLOGIN -> throttled: too many failed logins for"));
    // The owner, at home, is let in all the while.
    EXPECT_EQ(LoginResultOf(Talk(port, test::LoginRecord(number, "right", 7000), home).reply), 0);

    // Registrations: three an hour from one address.
    const Bytes flood = V1("192.0.2.1");
    for (int i = 0; i < 3; ++i) {
        std::string email = "f" + std::to_string(i) + "@x";
        ASSERT_EQ(test::Prefix(Talk(port, test::RegisterRecord("f", "p", email), flood).reply, 18),
                  "REGISTERNEWSUCCESS");
    }
    EXPECT_EQ(test::ReplyWord(Talk(port, test::RegisterRecord("f", "p", "f9@x"), flood).reply),
              "GENERALERROR");
    EXPECT_EQ(
        test::Prefix(Talk(port, test::RegisterRecord("g", "p", "g@x"), V1("192.0.2.2")).reply, 18),
        "REGISTERNEWSUCCESS");
}

// A guesser that logs in to its own number between guesses at others gains
// nothing by it, and guesses sent all at once pass no more checks than one
// after another.
TEST_F(FrontDoorTest, OwnLoginsBetweenGuessesAndGuessesAtOnceStayWithinTheLimit) {
    ServerConfig config;
    config.trusted_proxies.Add("127.0.0.1");
    config.limits.registrations_per_hour = 0;
    config.limits.number_failures = 0;  // only the address's own allowance here
    config.hash_threads = 2;
    std::uint16_t port = Start(config).port();
    const Bytes guesser = V1("198.51.100.1");
    std::int32_t own =
        rec::GetInt(Talk(port, test::RegisterRecord("g", "mine", "g@x"), guesser).reply.data(), 18);
    std::vector<std::int32_t> others;
    for (int i = 0; i < 8; ++i) {
        std::string email = "v" + std::to_string(i) + "@x";
        others.push_back(rec::GetInt(
            Talk(port, test::RegisterRecord("v", "secret", email), V1("192.0.2.9")).reply.data(),
            18));
    }
    int checked = 0;
    for (int i = 0; i < 54; ++i) {
        if (i % 9 == 8) {
            Talk(port, test::LoginRecord(own, "mine", 7000), guesser);
            continue;
        }
        std::int32_t number = others[static_cast<std::size_t>(i) % others.size()];
        if (LoginResultOf(Talk(port, test::LoginRecord(number, "guess", 7000), guesser).reply) ==
            2) {
            ++checked;
        }
    }
    EXPECT_EQ(checked, 10);

    // Another address, 32 guesses at once against a limit of 10.
    const Bytes crowd = V1("198.51.100.2");
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 32; ++i) {
        threads.emplace_back([&, i] {
            std::int32_t number = others[static_cast<std::size_t>(i) % others.size()];
            if (LoginResultOf(Talk(port, test::LoginRecord(number, "guess", 7000), crowd).reply) ==
                2) {
                ++wrong;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_LE(wrong.load(), 10);
    EXPECT_GE(wrong.load(), 1);
    // An IPv6 guesser's neighbours in the same /64 share its allowance.
    EXPECT_EQ(AddressKey("2001:db8:1:2:aaaa::1"), AddressKey("2001:db8:1:2:bbbb::7"));
    EXPECT_NE(AddressKey("2001:db8:1:2::1"), AddressKey("2001:db8:1:3::1"));
    EXPECT_EQ(AddressKey("192.0.2.1"), "192.0.2.1");
}

TEST_F(FrontDoorTest, ALiveScrapePassesPromtool) {
    ServerConfig config;
    config.metrics_address = "127.0.0.1";
    config.trusted_proxies.Add("10.9.9.9");
    config.limits.address_failures = 2;
    Server& server = Start(config);
    std::uint16_t port = server.port();
    std::int32_t number =
        rec::GetInt(Talk(port, test::RegisterRecord("m", "pw", "m@x")).reply.data(), 18);
    Talk(port, test::LoginRecord(number, "pw", 7000));
    Talk(port, test::QueryRecord(1, number));
    for (int i = 0; i < 3; ++i) {
        Talk(port, test::LoginRecord(number, "bad", 7000));
    }
    Talk(port, test::AsBytes("HELLO"));
    Talk(port, test::QueryRecord(1, number), V1("1.2.3.4"));

    // The count of sessions is taken now and then in the background, never
    // by the scrape itself.
    std::string response;
    for (int i = 0; i < 100; ++i) {
        response = test::HttpGet(server.metrics_port(), "/metrics");
        if (response.find("kestrona_sessions_online 1\n") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    std::string body = response.substr(response.find("\r\n\r\n") + 4);
    for (const char* line : {
             "kestrona_exchanges_total{command=\"USERLOGIN\",result=\"accepted\"} 1\n",
             "kestrona_exchanges_total{command=\"USERLOGIN\",result=\"wrong_password\"} 2\n",
             "kestrona_exchanges_total{command=\"USERLOGIN\",result=\"throttled\"} 1\n",
             "kestrona_exchanges_total{command=\"invalid\",result=\"error\"} 2\n",
             "kestrona_exchange_duration_seconds_count{command=\"QUERYUSER\"} 1\n",
             "kestrona_throttled_total{limit=\"login_address\"} 1\n",
             "kestrona_refused_connections_total{reason=\"proxy_header_untrusted\"} 1\n",
             "kestrona_sessions_online 1\n",
             "kestrona_password_checks_waiting 0\n",
         }) {
        EXPECT_NE(body.find(line), std::string::npos) << line << body;
    }
    std::string file = dir_.File("scrape.txt");
    std::ofstream(file) << body;
    std::string command = "promtool check metrics < " + file + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string said;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe)) {
        said += chunk;
    }
    int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;

    EXPECT_EQ(test::HttpGet(server.metrics_port(), "/").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(test::HttpGet(server.metrics_port(), "/healthz").rfind("HTTP/1.1 200", 0), 0u);
}

}  // namespace
}  // namespace kestrona::server
