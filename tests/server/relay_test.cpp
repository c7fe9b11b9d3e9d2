// Calls into any home on the directory's side: relay credentials,
// reachability checks, relayed addresses, presence look-ups and the schema
// steps that store them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "greeting_listener.h"
#include "server/directory.h"
#include "server/options.h"
#include "server/password.h"
#include "server/relay.h"
#include "server/reply.h"
#include "server/schema.h"
#include "server/store_executor.h"
#include "server_test_util.h"
#include "store_backends.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
namespace rec = records;

TEST(ServerRelayCredentials, PasswordIsTheBase64HmacSha1OfTheUsername) {
    // RFC 2202, test case 2.
    EXPECT_EQ(HmacSha1Base64("Jefe", "what do ya want for nothing?"),
              "7/zfauXrL6LSdBbV8YTfnCWafHk=");
    RelayCredentials c = MakeRelayCredentials("key", 10001, 1'700'000'000, 600s);
    EXPECT_EQ(c.username, "1700000600:10001");
    EXPECT_EQ(c.password, HmacSha1Base64("key", "1700000600:10001"));
}

TEST(ServerRelayChoice, ANumberGetsTheSameRelaysEverywhereAndTheNextAsFallback) {
    // FNV-1a of the number's bytes, worked out apart from the code.
    EXPECT_EQ(ChooseRelays(10000, 3).first, 2u);
    EXPECT_EQ(ChooseRelays(10002, 3).first, 1u);
    EXPECT_EQ(ChooseRelays(10000, 3).second, 0u);
    EXPECT_EQ(ChooseRelays(10002, 3).second, 2u);
    EXPECT_FALSE(ChooseRelays(10000, 1).second);
    std::set<std::size_t> used;
    for (std::int32_t n = 10000; n < 10050; ++n) {
        used.insert(ChooseRelays(n, 3).first);
    }
    EXPECT_EQ(used.size(), 3u);
}

TEST(ServerRelayMetrics, CountersAreWrittenOnceTheDirectoryHandsThemOver) {
    Metrics metrics;
    EXPECT_EQ(metrics.Text().find("relay"), std::string::npos);
    RelayCounters counters;
    counters.credentials_issued = 3;
    counters.reach_verdicts[1] = 2;
    counters.withdrawn = 1;
    metrics.relay = &counters;
    std::string text = metrics.Text();
    EXPECT_NE(text.find("kestrona_relay_credentials_issued_total 3\n"), std::string::npos);
    EXPECT_NE(text.find("kestrona_reach_checks_total{verdict=\"unreachable\"} 2\n"),
              std::string::npos);
    EXPECT_NE(text.find("kestrona_reach_checks_total{verdict=\"bad_port\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("kestrona_relayed_addresses_total{change=\"withdrawn\"} 1\n"),
              std::string::npos);
}

TEST(ServerRelayOptions, RelaysAreHostAndPortWithAnOptionalTlsMark) {
    RelaySpec spec;
    std::string why;
    ASSERT_TRUE(ParseRelaySpec("tls:turn-1.example.net:5349", spec, &why)) << why;
    EXPECT_TRUE(spec.tls);
    EXPECT_EQ(spec.host, "turn-1.example.net");
    EXPECT_EQ(spec.port, 5349);
    ASSERT_TRUE(ParseRelaySpec("192.0.2.1:3478", spec, &why));
    EXPECT_FALSE(spec.tls);
    for (const char* bad : {"turn.example", "turn.example:0", "turn.example:70000", ":3478",
                            "a b:3478", "[::1]:3478", "tls:"}) {
        EXPECT_FALSE(ParseRelaySpec(bad, spec, &why)) << bad;
    }
    // The host must fit the 64-byte field of the replies with its terminator.
    EXPECT_FALSE(ParseRelaySpec(std::string(64, 'h') + ":1", spec, &why));
    EXPECT_TRUE(ParseRelaySpec(std::string(63, 'h') + ":1", spec, &why));
    EXPECT_EQ(ResolveIpv4("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});

    EXPECT_EQ(ParseOptions({"--turn", "relay.example:3478"}).error,
              "--turn needs --turn-secret-file");
    ParsedOptions parsed =
        ParseOptions({"--turn", "relay.example:3478", "--turn", "tls:10.0.0.1:5349",
                      "--turn-secret-file", "/s", "--turn-ttl", "120"});
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.options.turn.size(), 2u);
    EXPECT_TRUE(parsed.options.turn[1].tls);
    EXPECT_EQ(parsed.options.turn_ttl_s, 120);
    EXPECT_NE(ParseOptions({"--turn", "relay.example"}).error, "");
    parsed = ParseOptions(
        {"--presence-lookups-per-number", "0", "--presence-lookups-per-address", "100"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.presence_lookups_per_number, 0);
    EXPECT_EQ(parsed.options.presence_lookups_per_address, 100);
    EXPECT_EQ(ParseOptions({}).options.presence_lookups_per_number, 20);
    EXPECT_NE(ParseOptions({"--presence-lookups-per-address", "-1"}).error, "");

    // At start: the secret's first line, trimmed; a clear error for no secret.
    test::TempDir dir;
    auto write = [&](const std::string& text) {
        std::FILE* f = std::fopen(dir.File("secret").c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
        return dir.File("secret");
    };
    std::vector<RelaySpec> one{{"127.0.0.1", 3478, false}};
    RelayConfig config = LoadRelayConfig(one, write("  t0p secret \t\nsecond line\n"), 60s);
    EXPECT_EQ(config.secret, "t0p secret");
    EXPECT_EQ(config.relays.at(0).addresses, std::vector<std::string>{"127.0.0.1"});
    EXPECT_THROW(LoadRelayConfig(one, write(" \n"), 60s), std::runtime_error);
    EXPECT_THROW(LoadRelayConfig(one, dir.File("none"), 60s), std::runtime_error);
    EXPECT_THROW(LoadRelayConfig({{"no-such-relay.invalid", 3478, false}}, write("s"), 60s),
                 std::runtime_error);
}

// base64 written out here, so that the server's is not checked by itself.
std::string Base64(const unsigned char* data, std::size_t size) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        std::uint32_t v = std::uint32_t{data[i]} << 16;
        if (i + 1 < size)
            v |= std::uint32_t{data[i + 1]} << 8;
        if (i + 2 < size)
            v |= data[i + 2];
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < size ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < size ? abc[v & 63] : '=';
    }
    return out;
}

std::string ExpectedPassword(const std::string& secret, const std::string& username) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t size = 0;
    EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, secret.data(), secret.size(),
                        reinterpret_cast<const unsigned char*>(username.data()), username.size(),
                        mac, sizeof mac, &size),
              nullptr);
    return Base64(mac, size);
}

class ServerRelayTest : public ::testing::TestWithParam<test::Backend> {
  protected:
    ServerRelayTest()
        : spec_(test::FreshStoreSpec(GetParam(), dir_)), hasher_(HashCost::Minimum()) {}

    void SetUp() override {
        ASSERT_FALSE(spec_.empty());
        store_ = OpenStore(spec_, 4);
    }

    DirectoryConfig Config(bool relays = true) {
        DirectoryConfig config;
        config.session_timeout = 90s;
        config.clock = [this] { return clock_.SystemNow(); };
        if (relays) {
            config.relay.secret = "s3cret";
            config.relay.ttl = 600s;
            config.relay.relays = {{{"relay-a.example", 3478, false}, {"192.0.2.10"}},
                                   {{"relay-b.example", 5349, true}, {"192.0.2.20", "192.0.2.21"}}};
        }
        return config;
    }

    Directory& directory() {
        if (!directory_) {
            directory_ = std::make_unique<Directory>(*store_, hasher_, Config());
        }
        return *directory_;
    }

    Outcome Send(const test::Bytes& record, const std::string& peer = "10.0.0.1") {
        DecodeResult d = DecodeRequest(record);
        EXPECT_EQ(d.status, DecodeStatus::kOk);
        return directory().Handle(d.request, peer);
    }

    // A registered number logged in from peer.
    std::int32_t Online(const std::string& peer = "10.0.0.1", std::int32_t port = 7000) {
        Outcome o = Send(test::RegisterRecord("n", "pw", "n" + std::to_string(++users_) + "@x"));
        std::int32_t number = rec::GetInt(o.reply.data(), rec::register_success::kNumber);
        o = Send(test::LoginRecord(number, "pw", port), peer);
        EXPECT_EQ(rec::GetInt(o.reply.data(), rec::login_result::kResult), 0) << o.result;
        return number;
    }

    std::int32_t Verdict(std::int32_t number, std::int32_t port,
                         const std::string& peer = "127.0.0.1") {
        Outcome o = Send(test::ReachCheckRecord(number, port), peer);
        EXPECT_EQ(test::ReplyWord(o.reply), "REACHRESULT");
        EXPECT_EQ(o.reply.size(), rec::reach_result::kSize);
        EXPECT_EQ(rec::GetInt(o.reply.data(), rec::reach_result::kPort), port);
        return rec::GetInt(o.reply.data(), rec::reach_result::kVerdict);
    }

    test::TempDir dir_;
    test::ManualClock clock_;
    std::string spec_;
    PasswordHasher hasher_;
    std::unique_ptr<SubscriberStore> store_;
    std::unique_ptr<Directory> directory_;
    int users_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Backends, ServerRelayTest,
                         ::testing::Values(test::Backend::kSqlite, test::Backend::kPostgres),
                         test::BackendName);

TEST_P(ServerRelayTest, CredentialsGoOnlyToTheSessionsOwnAddress) {
    namespace f = rec::relay_creds_result;
    std::int32_t number = Online();
    Outcome o = Send(test::RelayCredsRecord(number));
    ASSERT_EQ(o.reply.size(), f::kSize);
    ASSERT_EQ(rec::GetInt(o.reply.data(), f::kResult), f::kIssued) << o.result;
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kTtl), 600);
    auto now_s =
        std::chrono::duration_cast<std::chrono::seconds>(clock_.SystemNow().time_since_epoch())
            .count();
    std::string username = test::TextAt(o.reply, f::kUsername, f::kUsernameField);
    EXPECT_EQ(username, std::to_string(now_s + 600) + ":" + std::to_string(number));
    EXPECT_EQ(test::TextAt(o.reply, f::kPassword, f::kPasswordField),
              ExpectedPassword("s3cret", username));
    // Both relays, the number's own first; the TLS one is marked.
    auto [first, second] = ChooseRelays(number, 2);
    const char* hosts[] = {"relay-a.example", "relay-b.example"};
    EXPECT_EQ(test::TextAt(o.reply, f::kFirstHost, f::kHostField), hosts[first]);
    EXPECT_EQ(test::TextAt(o.reply, f::kSecondHost, f::kHostField), hosts[*second]);
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kFirstFlags), first == 1 ? 1 : 0);
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kFirstPort), first == 1 ? 5349 : 3478);
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kSecondPort), first == 1 ? 3478 : 5349);
    EXPECT_EQ(directory().relay_counters().credentials_issued.load(), 1u);

    // Someone else's number, from another address, or a number not online.
    o = Send(test::RelayCredsRecord(number), "10.0.0.2");
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kResult), f::kNoSession);
    EXPECT_EQ(test::TextAt(o.reply, f::kUsername, f::kUsernameField), "");
    EXPECT_EQ(rec::GetInt(Send(test::RelayCredsRecord(number + 100)).reply.data(), f::kResult),
              f::kNoSession);

    Directory no_relays(*store_, hasher_, Config(false));
    o = no_relays.Handle(DecodeRequest(test::RelayCredsRecord(number)).request, "10.0.0.1");
    EXPECT_EQ(o.reply.size(), f::kSize);
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kResult), f::kNoRelay);
    EXPECT_EQ(directory().relay_counters().credentials_issued.load(), 1u);
}

TEST_P(ServerRelayTest, ReachabilityIsTheGreetingOfAConnectionBackToTheSession) {
    namespace f = rec::reach_result;
    std::int32_t number = Online("127.0.0.1");
    {
        test::GreetingListener phone("ACCEPT");
        EXPECT_EQ(Verdict(number, phone.port()), f::kReachable);
    }
    {
        // A phone in a call says so, and is reachable all the same.
        test::GreetingListener busy("RCRESULTBUSY");
        EXPECT_EQ(Verdict(number, busy.port()), f::kReachable);
    }
    {
        test::GreetingListener other("HTTP/1.1 400 Bad Request\r\n");
        EXPECT_EQ(Verdict(number, other.port()), f::kUnreachable);
    }
    EXPECT_EQ(Verdict(number, test::ClosedPort()), f::kUnreachable);
    {
        test::GreetingListener silent("");
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Verdict(number, silent.port()), f::kUnreachable);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 1400ms);
        EXPECT_LT(took, 1900ms);
    }
    {
        // A request that waited too long for a store thread is told to try
        // later rather than given a verdict of a check cut short.
        test::GreetingListener phone("ACCEPT");
        ScopedDeadline soon(std::chrono::steady_clock::now() + 400ms);
        EXPECT_EQ(Verdict(number, phone.port()), f::kTooMany);
    }
    // Only the session's own address is ever checked, and only for itself.
    test::GreetingListener never("ACCEPT");
    Outcome o = Send(test::ReachCheckRecord(number, never.port()), "127.0.0.2");
    EXPECT_EQ(rec::GetInt(o.reply.data(), f::kVerdict), f::kRefused);
    EXPECT_EQ(test::TextAt(o.reply, f::kAddress, f::kAddressField), "127.0.0.2");
    EXPECT_EQ(Verdict(number, 0), f::kBadPort);
    EXPECT_EQ(Verdict(number, 65536), f::kBadPort);
    const RelayCounters& counted = directory().relay_counters();
    EXPECT_EQ(counted.reach_verdicts[f::kReachable].load(), 2u);
    EXPECT_EQ(counted.reach_verdicts[f::kUnreachable].load(), 3u);
    EXPECT_EQ(counted.reach_verdicts[f::kRefused].load(), 1u);
    EXPECT_EQ(counted.reach_verdicts[f::kBadPort].load(), 2u);
}

TEST_P(ServerRelayTest, ReachabilityChecksAreLimitedPerNumberAndPerAddress) {
    namespace f = rec::reach_result;
    std::int32_t first = Online("127.0.0.1");
    std::int32_t port = test::ClosedPort();
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(Verdict(first, port), f::kUnreachable) << i;
    }
    EXPECT_EQ(Verdict(first, port), f::kTooMany);
    // The address has six more; then it, too, must wait.
    std::int32_t second = Online("127.0.0.1");
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(Verdict(second, port), f::kUnreachable) << i;
    }
    std::int32_t third = Online("127.0.0.1");
    EXPECT_EQ(Verdict(third, port), f::kTooMany);
    clock_.Advance(61s);
    Send(test::LiveRecord(first), "127.0.0.1");
    EXPECT_EQ(Verdict(first, port), f::kUnreachable);
}

TEST_P(ServerRelayTest, CallersAreGivenTheRelayedAddressUntilItIsWithdrawn) {
    namespace f = rec::query_peer_result;
    std::int32_t number = Online("10.0.0.1", 7000);
    auto query_user = [&] {
        Outcome o = Send(test::QueryRecord(1, number), "10.0.0.9");
        return test::TextAt(o.reply, rec::query_result::kAddress,
                            rec::query_result::kAddressField) +
               ":" + std::to_string(rec::GetInt(o.reply.data(), rec::query_result::kPort));
    };
    // Only a configured relay's address, only from the session's address.
    EXPECT_EQ(test::ReplyWord(Send(test::RelayAddrRecord(number, "198.51.100.1", 50000)).reply),
              "GENERALCMDFAIL");
    EXPECT_EQ(
        test::ReplyWord(Send(test::RelayAddrRecord(number, "192.0.2.21", 50000), "10.0.0.2").reply),
        "GENERALCMDFAIL");
    EXPECT_EQ(test::ReplyWord(Send(test::RelayAddrRecord(number, "192.0.2.21", 70000)).reply),
              "GENERALCMDFAIL");
    EXPECT_EQ(query_user(), "10.0.0.1:7000");

    EXPECT_EQ(test::ReplyWord(Send(test::RelayAddrRecord(number, "192.0.2.21", 50000)).reply),
              "GENERALCMDSUCCESS");
    // Keep-alives and port changes leave it.
    Send(test::LiveRecord(number));
    EXPECT_EQ(test::ReplyWord(Send(test::ChangePortRecord(number, 7001)).reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(query_user(), "192.0.2.21:50000");
    std::vector<Outcome> batch = directory().QueryBatch({{1, number}, {1, number + 100}});
    EXPECT_EQ(test::TextAt(batch[0].reply, rec::query_result::kAddress, 16), "192.0.2.21");
    EXPECT_EQ(test::ReplyWord(batch[1].reply), "QUERYUSERRESULTNOTFOND");

    Outcome peer = Send(test::QueryPeerRecord(1, number), "10.0.0.9");
    ASSERT_EQ(peer.reply.size(), f::kSize);
    EXPECT_EQ(rec::GetInt(peer.reply.data(), f::kMode), f::kRelayed);
    EXPECT_EQ(test::TextAt(peer.reply, f::kAddress, f::kAddressField), "192.0.2.21");
    EXPECT_EQ(rec::GetInt(peer.reply.data(), f::kPort), 50000);
    EXPECT_EQ(test::TextAt(peer.reply, f::kRelayHost, f::kRelayHostField), "relay-b.example");
    EXPECT_EQ(rec::GetInt(peer.reply.data(), f::kRelayPort), 5349);
    EXPECT_EQ(rec::GetInt(peer.reply.data(), f::kRelayFlags), 1);

    // Port 0 withdraws it: the address seen and the port announced again.
    EXPECT_EQ(test::ReplyWord(Send(test::RelayAddrRecord(number, "", 0)).reply),
              "GENERALCMDSUCCESS");
    peer = Send(test::QueryPeerRecord(1, number), "10.0.0.9");
    EXPECT_EQ(rec::GetInt(peer.reply.data(), f::kMode), f::kDirect);
    EXPECT_EQ(test::TextAt(peer.reply, f::kAddress, f::kAddressField), "10.0.0.1");
    EXPECT_EQ(rec::GetInt(peer.reply.data(), f::kPort), 7001);
    EXPECT_EQ(test::TextAt(peer.reply, f::kRelayHost, f::kRelayHostField), "");

    // A new login starts without one.
    ASSERT_EQ(test::ReplyWord(Send(test::RelayAddrRecord(number, "192.0.2.10", 40000)).reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(query_user(), "192.0.2.10:40000");
    Send(test::LoginRecord(number, "pw", 7002));
    EXPECT_EQ(query_user(), "10.0.0.1:7002");
    EXPECT_EQ(test::ReplyWord(Send(test::QueryPeerRecord(1, number + 100)).reply),
              "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(directory().relay_counters().registered.load(), 2u);
    EXPECT_EQ(directory().relay_counters().withdrawn.load(), 1u);
}

TEST_P(ServerRelayTest, PresenceTellsWhoCanBeCalledNowFromTheSessionsAlone) {
    namespace f = rec::presence_result;
    std::int32_t asker = Online("10.0.0.1");
    std::int32_t online = Online("10.0.0.2", 7000);
    std::int32_t logged_out = Online("10.0.0.3");
    std::int32_t timed_out = Online("10.0.0.4");
    std::int32_t hidden = Online("10.0.0.5");
    std::int32_t no_port = Online("10.0.0.6", 0);
    std::int32_t relayed = Online("10.0.0.7", 0);
    ASSERT_EQ(test::ReplyWord(Send(test::LogoutRecord(logged_out), "10.0.0.3").reply),
              "GENERALCMDSUCCESS");
    ASSERT_EQ(test::ReplyWord(Send(test::PresenceModeRecord(hidden, 1), "10.0.0.5").reply),
              "GENERALCMDSUCCESS");
    ASSERT_EQ(test::ReplyWord(
                  Send(test::RelayAddrRecord(relayed, "192.0.2.10", 40000), "10.0.0.7").reply),
              "GENERALCMDSUCCESS");
    // Past the time-out for one of them; the others keep theirs alive.
    clock_.Advance(60s);
    for (auto [number, peer] : {std::pair{asker, "10.0.0.1"},
                                {online, "10.0.0.2"},
                                {hidden, "10.0.0.5"},
                                {no_port, "10.0.0.6"},
                                {relayed, "10.0.0.7"}}) {
        ASSERT_EQ(test::ReplyWord(Send(test::LiveRecord(number), peer).reply), "GENERALCMDSUCCESS");
    }
    clock_.Advance(40s);
    auto ask = [&](const std::vector<std::int32_t>& numbers,
                   std::optional<std::int32_t> count = std::nullopt,
                   const std::string& peer = "10.0.0.1", std::int32_t from = 0) {
        Outcome o = Send(test::QueryPresenceRecord(from ? from : asker, numbers, count), peer);
        EXPECT_EQ(o.reply.size(), f::kSize);
        EXPECT_EQ(test::ReplyWord(o.reply), "PRESENCERESULT");
        EXPECT_EQ(rec::GetInt(o.reply.data(), 36), 0);
        return o.reply;
    };
    auto result = [](const Bytes& reply) { return rec::GetInt(reply.data(), f::kResult); };

    std::vector<std::int32_t> mix{online,  logged_out, timed_out, hidden, no_port,
                                  relayed, 99999,      0,         -5,     asker};
    Bytes reply = ask(mix);
    EXPECT_EQ(result(reply), f::kAnswered);
    EXPECT_EQ(test::PresenceBits(reply), "1000010001");
    EXPECT_EQ(test::PresenceBits(ask({online})), "1");
    EXPECT_EQ(test::PresenceBits(ask({hidden})), "0");
    reply = ask({});
    EXPECT_EQ(result(reply), f::kAnswered);
    EXPECT_EQ(rec::GetInt(reply.data(), f::kCount), 0);
    // Sixty-four, repeats and all; numbers beyond n are not asked.
    std::vector<std::int32_t> many;
    std::string expected;
    for (int i = 0; i < 64; ++i) {
        many.push_back(mix[static_cast<std::size_t>(i) % mix.size()]);
        expected += "1000010001"[i % 10];
    }
    reply = ask(many);
    EXPECT_EQ(test::PresenceBits(reply), expected);
    EXPECT_EQ(test::PresenceBits(ask(many, 3)), "100");
    reply = ask(many, 3);
    EXPECT_TRUE(std::all_of(reply.begin() + 29, reply.end(), [](auto b) { return b == 0; }));

    // Refused: n out of range; an asker without a session, or not from its
    // address; nothing else is said then.
    for (std::int32_t bad : {65, -1}) {
        reply = ask(many, bad);
        EXPECT_EQ(result(reply), f::kRefused) << bad;
        EXPECT_EQ(rec::GetInt(reply.data(), f::kCount), 0);
    }
    reply = ask({online}, std::nullopt, "10.0.0.9");
    EXPECT_EQ(result(reply), f::kRefused);
    EXPECT_EQ(test::PresenceBits(reply), "");
    EXPECT_EQ(result(ask({online}, std::nullopt, "10.0.0.3", logged_out)), f::kRefused);
    EXPECT_EQ(result(ask({online}, std::nullopt, "10.0.0.4", timed_out)), f::kRefused);
    EXPECT_EQ(result(ask({online}, std::nullopt, "10.0.0.1", -1)), f::kRefused);

    // Calls reach a hidden phone as before, by either look-up.
    Outcome user = Send(test::QueryRecord(asker, hidden));
    EXPECT_EQ(test::ReplyWord(user.reply), "QUERYUSERRESULT");
    EXPECT_EQ(
        test::TextAt(user.reply, rec::query_result::kAddress, rec::query_result::kAddressField),
        "10.0.0.5");
    EXPECT_EQ(rec::GetInt(user.reply.data(), rec::query_result::kPort), 7000);
    EXPECT_EQ(test::ReplyWord(directory().QueryBatch({{asker, hidden}})[0].reply),
              "QUERYUSERRESULT");
    EXPECT_EQ(rec::GetInt(Send(test::QueryPeerRecord(asker, hidden)).reply.data(),
                          rec::query_peer_result::kPort),
              7000);

    // The mode: only the session's own address, only 0 or 1; kept by
    // keep-alives and port changes, cleared by a login.
    EXPECT_EQ(test::ReplyWord(Send(test::PresenceModeRecord(online, 1), "10.0.0.9").reply),
              "GENERALCMDFAIL");
    EXPECT_EQ(test::ReplyWord(Send(test::PresenceModeRecord(online, 2), "10.0.0.2").reply),
              "GENERALCMDFAIL");
    EXPECT_EQ(test::ReplyWord(Send(test::PresenceModeRecord(timed_out, 1), "10.0.0.4").reply),
              "GENERALCMDFAIL");
    EXPECT_EQ(test::PresenceBits(ask({online})), "1");
    Send(test::ChangePortRecord(hidden, 7005), "10.0.0.5");
    Send(test::LiveRecord(hidden), "10.0.0.5");
    EXPECT_EQ(test::PresenceBits(ask({hidden})), "0");
    Send(test::LoginRecord(hidden, "pw", 7000), "10.0.0.5");
    EXPECT_EQ(test::PresenceBits(ask({hidden})), "1");
    ASSERT_EQ(test::ReplyWord(Send(test::PresenceModeRecord(hidden, 1), "10.0.0.5").reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(test::PresenceBits(ask({hidden})), "0");
    ASSERT_EQ(test::ReplyWord(Send(test::PresenceModeRecord(hidden, 0), "10.0.0.5").reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(test::PresenceBits(ask({hidden})), "1");

    const PresenceCounters& counted = directory().presence_counters();
    EXPECT_EQ(counted.lookups[0].load(), 12u);
    EXPECT_EQ(counted.lookups[1].load(), 6u);
    EXPECT_EQ(counted.lookups[2].load(), 0u);
    EXPECT_EQ(counted.numbers.load(), 10u + 1 + 1 + 0 + 64 + 3 + 3 + 1 + 1 + 1 + 1 + 1);
    EXPECT_EQ(counted.modes[1].load(), 2u);
    EXPECT_EQ(counted.modes[0].load(), 1u);
    Metrics metrics;
    metrics.presence = &counted;
    std::string text = metrics.Text();
    EXPECT_NE(text.find("kestrona_presence_lookups_total{outcome=\"refused\"} 6\n"),
              std::string::npos);
    EXPECT_NE(text.find("kestrona_presence_modes_total{mode=\"hidden\"} 2\n"), std::string::npos);
}

TEST_P(ServerRelayTest, PresenceLookUpsAreLimitedPerNumberAndPerAddressInMemory) {
    namespace f = rec::presence_result;
    std::int32_t first = Online("10.0.0.1");
    std::int32_t second = Online("10.0.0.1");
    std::int32_t elsewhere = Online("10.0.0.2");
    auto result = [&](std::int32_t asker, const std::string& peer) {
        Outcome o = Send(test::QueryPresenceRecord(asker, {first, second}), peer);
        return rec::GetInt(o.reply.data(), f::kResult);
    };
    // A stranger asking in first's name uses up none of first's allowance.
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(result(first, "10.0.0.3"), f::kRefused);
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(result(first, "10.0.0.1"), f::kAnswered) << i;
    }
    EXPECT_EQ(result(first, "10.0.0.1"), f::kTooMany);
    // The address has forty in all, the one refused above among them.
    for (int i = 0; i < 19; ++i) {
        ASSERT_EQ(result(second, "10.0.0.1"), f::kAnswered) << i;
    }
    EXPECT_EQ(result(second, "10.0.0.1"), f::kTooMany);
    EXPECT_EQ(result(elsewhere, "10.0.0.2"), f::kAnswered);
    // Nothing of it is in the store: another instance on it gives its own.
    Directory other(*store_, hasher_, Config());
    EXPECT_EQ(
        rec::GetInt(
            other.Handle(DecodeRequest(test::QueryPresenceRecord(first, {})).request, "10.0.0.1")
                .reply.data(),
            f::kResult),
        f::kAnswered);
    clock_.Advance(61s);
    Send(test::LiveRecord(first), "10.0.0.1");
    EXPECT_EQ(result(first, "10.0.0.1"), f::kAnswered);
    const PresenceCounters& counted = directory().presence_counters();
    EXPECT_EQ(counted.lookups[2].load(), 2u);
    EXPECT_EQ(counted.lookups[1].load(), 5u);
}

// Runs SQL on a database without going through a store, which would
// upgrade it first.
void RunSql(test::Backend backend, const std::string& spec, const std::string& sql) {
    if (backend == test::Backend::kSqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(spec.substr(std::string("sqlite:").size()).c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
        return;
    }
    PGconn* conn = PQconnectdb(spec.c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    PGresult* r = PQexec(conn, sql.c_str());
    EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(conn);
    PQclear(r);
    PQfinish(conn);
}

TEST_P(ServerRelayTest, ADatabaseOfThePreviousVersionKeepsItsSessionsAndSubscribers) {
    store_.reset();
    test::TempDir old_dir;
    std::string spec = test::FreshStoreSpec(GetParam(), old_dir);
    ASSERT_FALSE(spec.empty());
    SqlDialect dialect =
        GetParam() == test::Backend::kSqlite ? SqlDialect::kSqlite : SqlDialect::kPostgres;
    std::string sql = "CREATE TABLE schema_version (version integer NOT NULL);";
    for (int step = 0; step < kSchemaVersion - 1; ++step) {
        sql += SchemaStep(step, dialect);
    }
    sql += "INSERT INTO schema_version VALUES (" + std::to_string(kSchemaVersion - 1) + ");";
    std::string bytes = GetParam() == test::Backend::kSqlite ? "X'6E'" : "'\\x6e'::bytea";
    sql += "INSERT INTO subscribers VALUES (10000, " + bytes + ", 'hash', " + bytes + ", " + bytes +
           ", " + bytes + ", " + bytes + ", 5, '10.0.0.1');";
    std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    sql +=
        "INSERT INTO sessions (number, address, port, last_seen_ms, relay_address, relay_port) "
        "VALUES (10000, '10.0.0.1', 7000, " +
        std::to_string(now) + ", '192.0.2.10', 40000);";
    RunSql(GetParam(), spec, sql);

    std::unique_ptr<SubscriberStore> store = OpenStore(spec, 2);
    EXPECT_EQ(store->SchemaVersion(), kSchemaVersion);
    ASSERT_EQ(store->Subscribers().size(), 1u);
    EXPECT_EQ(store->PasswordHash(10000), "hash");
    std::optional<SessionRow> session = store->FindSession(10000, now - 1000);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->address, "10.0.0.1");
    EXPECT_EQ(session->port, 7000);
    EXPECT_EQ(session->relay_address, "192.0.2.10");
    EXPECT_EQ(session->relay_port, 40000);
    EXPECT_FALSE(session->hidden);
    EXPECT_EQ(store->SetSessionHidden(10000, "10.0.0.1", true, now - 1000), SessionStatus::kDone);
    EXPECT_EQ(store->SetSessionHidden(10000, "10.0.0.2", false, now - 1000),
              SessionStatus::kOtherAddress);
    EXPECT_EQ(store->SetSessionHidden(10001, "10.0.0.1", false, now - 1000),
              SessionStatus::kNoSession);
    EXPECT_TRUE(store->ListSessions(now - 1000).at(0).hidden);
    EXPECT_EQ(store->SetSessionRelay(10000, "10.0.0.1", "", 0, now - 1000), SessionStatus::kDone);
    std::vector<std::optional<SessionRow>> both = store->FindSessions({10001, 10000}, now - 1000);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_FALSE(both[0]);
    ASSERT_TRUE(both[1]);
    EXPECT_TRUE(both[1]->hidden);
    EXPECT_EQ(both[1]->relay_port, 0);
}

}  // namespace
}  // namespace kestrona::server
