// The balancer's PROXY header and the abuse limits, without the network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/limits.h"
#include "server/proxy_header.h"
#include "server/sqlite_store.h"
#include "server_test_util.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

Bytes V2(std::uint8_t command, std::uint8_t family, const Bytes& block) {
    Bytes b{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
    b.push_back(static_cast<std::uint8_t>(0x20 | command));
    b.push_back(family);
    b.push_back(static_cast<std::uint8_t>(block.size() >> 8));
    b.push_back(static_cast<std::uint8_t>(block.size()));
    b.insert(b.end(), block.begin(), block.end());
    return b;
}

Bytes V2Tcp4(std::array<std::uint8_t, 4> source, std::uint16_t port, std::size_t extra = 0) {
    Bytes block{source[0], source[1], source[2], source[3], 10, 0, 0, 1};
    block.push_back(static_cast<std::uint8_t>(port >> 8));
    block.push_back(static_cast<std::uint8_t>(port));
    block.push_back(0x27);
    block.push_back(0x14);
    block.resize(block.size() + extra, 0x04);  // an extension the server skips
    return V2(1, 0x11, block);
}

TEST(ProxyHeader, WholeHeadersGiveTheClientAndEveryPrefixWaitsForMore) {
    struct Case {
        Bytes bytes;
        bool local;
        std::string source;
        std::uint16_t port;
    };
    Bytes v6_block(36, 0);
    v6_block[0] = 0x20;
    v6_block[1] = 0x01;
    v6_block[2] = 0x0d;
    v6_block[3] = 0xb8;
    v6_block[15] = 0x05;
    v6_block[32] = 0x1F;
    v6_block[33] = 0x90;
    Bytes mapped_block(36, 0);
    mapped_block[10] = mapped_block[11] = 0xFF;
    mapped_block[12] = 192;
    mapped_block[13] = 0;
    mapped_block[14] = 2;
    mapped_block[15] = 1;
    std::vector<Case> cases{
        {test::AsBytes("PROXY TCP4 192.0.2.7 10.0.0.1 5555 10004\r\n"), false, "192.0.2.7", 5555},
        {test::AsBytes("PROXY TCP6 2001:db8::5 ::1 8080 10004\r\n"), false, "2001:db8::5", 8080},
        {test::AsBytes("PROXY UNKNOWN whatever follows\r\n"), true, "", 0},
        {V2Tcp4({198, 51, 100, 9}, 4444), false, "198.51.100.9", 4444},
        {V2Tcp4({198, 51, 100, 9}, 4444, 40), false, "198.51.100.9", 4444},
        {V2(1, 0x21, v6_block), false, "2001:db8::5", 8080},
        {V2(1, 0x21, mapped_block), false, "192.0.2.1", 0},
        {V2(0, 0x00, {}), true, "", 0},
    };
    for (const Case& c : cases) {
        Bytes data = c.bytes;
        data.insert(data.end(), {'U', 'S', 'E', 'R'});  // the client's first bytes behind it
        ProxyParse p = ParseProxyHeader(data);
        ASSERT_EQ(p.status, ProxyStatus::kDone) << test::Prefix(c.bytes, 40);
        EXPECT_EQ(p.header.length, c.bytes.size());
        EXPECT_EQ(p.header.local, c.local);
        EXPECT_EQ(p.header.source, c.source);
        EXPECT_EQ(p.header.source_port, c.port);
        for (std::size_t n = 1; n < c.bytes.size(); ++n) {
            ASSERT_EQ(ParseProxyHeader({c.bytes.data(), n}).status, ProxyStatus::kNeedMore)
                << test::Prefix(c.bytes, 40) << " cut at " << n;
        }
    }
}

TEST(ProxyHeader, MalformedHeadersAreRefusedAndOrdinaryRecordsAreNotHeaders) {
    std::vector<Bytes> invalid{
        test::AsBytes("PROXY TCP4 192.0.2.7 10.0.0.1 5555\r\n"),
        test::AsBytes("PROXY TCP4 192.0.2.777 10.0.0.1 5555 10004\r\n"),
        test::AsBytes("PROXY TCP4 2001:db8::5 10.0.0.1 5555 10004\r\n"),
        test::AsBytes("PROXY TCP4 192.0.2.7 10.0.0.1 65536 10004\r\n"),
        test::AsBytes("PROXY TCP4 192.0.2.7 10.0.0.1 5555 10004 x\r\n"),
        test::AsBytes("PROXY UDP4 192.0.2.7 10.0.0.1 5555 10004\r\n"),
        test::AsBytes("PROXY TCP4 192.0.2.7\n"),
        test::AsBytes("PROXY " + std::string(120, '1')),
        V2(2, 0x11, Bytes(12, 0)),    // unknown command
        V2(1, 0x12, Bytes(12, 0)),    // datagrams
        V2(1, 0x11, Bytes(8, 0)),     // too short for two IPv4 addresses
        V2(1, 0x11, Bytes(1000, 0)),  // longer than any balancer sends
    };
    Bytes version3 = V2Tcp4({1, 2, 3, 4}, 1);
    version3[12] = 0x31;
    invalid.push_back(version3);
    for (const Bytes& b : invalid) {
        EXPECT_EQ(ParseProxyHeader(b).status, ProxyStatus::kInvalid) << test::Prefix(b, 60);
    }
    Bytes login = test::LoginRecord(10000, "pw", 7000);
    EXPECT_EQ(ParseProxyHeader(login).status, ProxyStatus::kNotProxy);
    EXPECT_FALSE(StartsLikeProxyHeader(login));
    EXPECT_EQ(ParseProxyHeader(test::AsBytes("PROXX")).status, ProxyStatus::kNotProxy);
    EXPECT_TRUE(StartsLikeProxyHeader(test::AsBytes("PRO")));
    EXPECT_TRUE(StartsLikeProxyHeader(Bytes{0x0D, 0x0A}));
}

TEST(ProxyHeader, TrustedRangesMatchByPrefixAcrossAddressFamilies) {
    AddressRanges ranges;
    EXPECT_TRUE(ranges.Add("10.1.0.0/16"));
    EXPECT_TRUE(ranges.Add("192.0.2.9"));
    EXPECT_TRUE(ranges.Add("2001:db8::/33"));
    for (const char* bad : {"10.0.0.0/33", "300.1.1.1", "10.0.0.0/", "::1/129", "x", ""}) {
        EXPECT_FALSE(ranges.Add(bad)) << bad;
    }
    EXPECT_TRUE(ranges.Contains("10.1.255.3"));
    EXPECT_FALSE(ranges.Contains("10.2.0.1"));
    EXPECT_TRUE(ranges.Contains("192.0.2.9"));
    EXPECT_FALSE(ranges.Contains("192.0.2.10"));
    EXPECT_TRUE(ranges.Contains("::ffff:10.1.0.1"));
    EXPECT_TRUE(ranges.Contains("2001:db8:7fff::1"));
    EXPECT_FALSE(ranges.Contains("2001:db8:8000::1"));
    EXPECT_FALSE(ranges.Contains("not an address"));
    AddressRanges none;
    EXPECT_FALSE(none.Contains("127.0.0.1"));
}

class AbuseLimitsTest : public ::testing::Test {
  protected:
    AbuseLimits& Limits(LimitsConfig config = {}) {
        config.clock = [this] { return clock_.SystemNow(); };
        limits_ = std::make_unique<AbuseLimits>(config, store_);
        return *limits_;
    }
    void Fail(AbuseLimits& l, const std::string& address, std::int32_t number, int times) {
        for (int i = 0; i < times; ++i) {
            l.LoginFailed(address, number);
        }
    }

    test::ManualClock clock_;
    test::TempDir dir_;
    SqliteStore store_{dir_.File("directory.db")};
    std::unique_ptr<AbuseLimits> limits_;
};

TEST_F(AbuseLimitsTest, AnAddressCoolsDownForLongerEachTimeAndOnlyFailuresInTheWindowCount) {
    LimitsConfig config;  // 10 in 120 s, then 300 s, doubling up to 3600 s
    config.number_failures = 0;
    AbuseLimits& l = Limits(config);
    Fail(l, "192.0.2.1", 10001, 9);
    clock_.Advance(121s);  // those nine have left the window
    Fail(l, "192.0.2.1", 10001, 9);
    EXPECT_EQ(l.CheckLogin("192.0.2.1", 10001), LoginGate::kAllowed);
    l.LoginFailed("192.0.2.1", 10002);
    EXPECT_EQ(l.CheckLogin("192.0.2.1", 10003), LoginGate::kAddressCoolingDown);
    EXPECT_EQ(l.CheckLogin("192.0.2.2", 10003), LoginGate::kAllowed);
    std::vector<std::chrono::seconds> lengths;
    for (int round = 0; round < 6; ++round) {
        std::chrono::seconds waited{0};
        while (l.CheckLogin("192.0.2.1", 10003) != LoginGate::kAllowed) {
            clock_.Advance(10s);
            waited += 10s;
        }
        lengths.push_back(waited);
        Fail(l, "192.0.2.1", 10003, 10);
    }
    EXPECT_EQ(lengths, (std::vector<std::chrono::seconds>{300s, 600s, 1200s, 2400s, 3600s, 3600s}));
    // Quiet for longer than the longest cool-down: the next one is the
    // first length again.
    clock_.Advance(3600s + 3721s);
    Fail(l, "192.0.2.1", 10003, 10);
    EXPECT_EQ(l.CheckLogin("192.0.2.1", 10003), LoginGate::kAddressCoolingDown);
    clock_.Advance(300s);
    EXPECT_EQ(l.CheckLogin("192.0.2.1", 10003), LoginGate::kAllowed);
}

TEST_F(AbuseLimitsTest, TheOwnerStillGetsInWhileItsNumberIsGuessedFromElsewhere) {
    LimitsConfig config;
    config.address_failures = 0;  // the guesser spreads over many addresses
    AbuseLimits& l = Limits(config);
    l.LoginAccepted("203.0.113.5", 10001);
    // The owner mistyping at home does not count against the number.
    Fail(l, "203.0.113.5", 10001, 20);
    EXPECT_EQ(l.CheckLogin("198.51.100.1", 10001), LoginGate::kAllowed);
    for (int i = 0; i < 10; ++i) {
        l.LoginFailed("198.51.100." + std::to_string(i), 10001);
    }
    EXPECT_EQ(l.CheckLogin("198.51.100.77", 10001), LoginGate::kNumberCoolingDown);
    EXPECT_EQ(l.CheckLogin("203.0.113.5", 10001), LoginGate::kAllowed);
    EXPECT_EQ(l.CheckLogin("198.51.100.77", 10002), LoginGate::kAllowed);
    clock_.Advance(300s);
    EXPECT_EQ(l.CheckLogin("198.51.100.77", 10001), LoginGate::kAllowed);
}

TEST_F(AbuseLimitsTest, RegistrationsPerAddressPerHour) {
    LimitsConfig config;
    config.registrations_per_hour = 3;
    AbuseLimits& l = Limits(config);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(l.AllowRegistration("192.0.2.1"));
        clock_.Advance(10min);
    }
    EXPECT_FALSE(l.AllowRegistration("192.0.2.1"));
    EXPECT_TRUE(l.AllowRegistration("192.0.2.2"));
    clock_.Advance(30min);  // the first one is now an hour old
    EXPECT_TRUE(l.AllowRegistration("192.0.2.1"));
    EXPECT_FALSE(l.AllowRegistration("192.0.2.1"));
    config.registrations_per_hour = 0;
    AbuseLimits& unlimited = Limits(config);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(unlimited.AllowRegistration("192.0.2.1"));
    }
}

}  // namespace
}  // namespace kestrona::server
