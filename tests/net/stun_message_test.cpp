// STUN messages: the published sample messages are read and verified byte for
// byte, a TURN request survives the trip through builder and reader, and the
// reader refuses what does not hold together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/stun_message.h"

namespace kestrona::stun {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

const Bytes kRequest =
    Hex("00 01 00 58 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae"
        "80 22 00 10 53 54 55 4e 20 74 65 73 74 20 63 6c 69 65 6e 74"
        "00 24 00 04 6e 00 01 ff 80 29 00 08 93 2f f9 b1 51 26 3b 36"
        "00 06 00 09 65 76 74 6a 3a 68 36 76 59 20 20 20"
        "00 08 00 14 9a ea a7 0c bf d8 cb 56 78 1e f2 b5 b2 d3 f2 49 c1 b5 71 a2"
        "80 28 00 04 e5 7a 3b cf");

const Bytes kIpv4Response =
    Hex("01 01 00 3c 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae"
        "80 22 00 0b 74 65 73 74 20 76 65 63 74 6f 72 20"
        "00 20 00 08 00 01 a1 47 e1 12 a6 43"
        "00 08 00 14 2b 91 f5 99 fd 9e 90 c3 8c 74 89 f9 2a f9 ba 53 f0 6b e7 d7"
        "80 28 00 04 c0 7d 4c 96");

const Bytes kIpv6Response =
    Hex("01 01 00 48 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae"
        "80 22 00 0b 74 65 73 74 20 76 65 63 74 6f 72 20"
        "00 20 00 14 00 02 a1 47 01 13 a9 fa a5 d3 f1 79 bc 25 f4 b5 be d2 b9 d9"
        "00 08 00 14 a3 82 95 4e 4b e6 7b f1 17 84 c9 7c 82 92 c2 75 bf e3 ed 41"
        "80 28 00 04 c8 fb 0b 4c");

const Bytes kLongTermRequest =
    Hex("00 01 00 60 21 12 a4 42 78 ad 34 33 c6 ad 72 c0 29 da 41 2e"
        "00 06 00 12 e3 83 9e e3 83 88 e3 83 aa e3 83 83 e3 82 af e3 82 b9 00 00"
        "00 15 00 1c 66 2f 2f 34 39 39 6b 39 35 34 64 36 4f 4c 33 34 6f 4c 39 46"
        "53 54 76 79 36 34 73 41"
        "00 14 00 0b 65 78 61 6d 70 6c 65 2e 6f 72 67 00"
        "00 08 00 14 f6 70 24 65 6d d6 4a 3e 02 b8 e0 71 2e 85 c9 a2 8c a8 96 66");

const Key kShortTermKey = ShortTermKey("VOkJxbRl1RmTxUk/WvJxBt");

TEST(StunSampleMessages, RequestWithShortTermCredentials) {
    ASSERT_EQ(MessageLength(kRequest), kRequest.size());
    const auto m = Message::Parse(kRequest);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetMethod(), Method::kBinding);
    EXPECT_EQ(m->GetClass(), Class::kRequest);
    EXPECT_EQ(m->Text(attr::kUsername), "evtj:h6vY");
    EXPECT_EQ(m->Text(attr::kSoftware), "STUN test client");
    EXPECT_TRUE(m->CheckIntegrity(kShortTermKey));
    EXPECT_FALSE(m->CheckIntegrity(ShortTermKey("VOkJxbRl1RmTxUk/WvJxBT")));
    EXPECT_TRUE(m->CheckFingerprint());
}

TEST(StunSampleMessages, ResponsesCarryTheMappedAddress) {
    const auto v4 = Message::Parse(kIpv4Response);
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->GetClass(), Class::kSuccess);
    EXPECT_EQ(v4->XorAddress(attr::kXorMappedAddress),
              Address::FromText("192.0.2.1", 32853).value());
    EXPECT_EQ(v4->Text(attr::kSoftware), "test vector");
    EXPECT_TRUE(v4->CheckIntegrity(kShortTermKey));
    EXPECT_TRUE(v4->CheckFingerprint());

    const auto v6 = Message::Parse(kIpv6Response);
    ASSERT_TRUE(v6);
    const auto mapped = v6->XorAddress(attr::kXorMappedAddress);
    ASSERT_TRUE(mapped);
    EXPECT_TRUE(mapped->ipv6);
    EXPECT_EQ(mapped->port, 32853);
    EXPECT_EQ(mapped->Text(), "2001:db8:1234:5678:11:2233:4455:6677");
    EXPECT_TRUE(v6->CheckIntegrity(kShortTermKey));
    EXPECT_TRUE(v6->CheckFingerprint());
}

TEST(StunSampleMessages, RequestWithLongTermCredentials) {
    const std::string user =
        "\xe3\x83\x9e\xe3\x83\x88\xe3\x83\xaa\xe3\x83\x83\xe3\x82\xaf\xe3\x82\xb9";
    const auto m = Message::Parse(kLongTermRequest);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Text(attr::kUsername), user);
    EXPECT_EQ(m->Text(attr::kRealm), "example.org");
    EXPECT_EQ(m->Text(attr::kNonce), "f//499k954d6OL34oL9FSTvy64sA");
    EXPECT_TRUE(m->CheckIntegrity(LongTermKey(user, "example.org", "TheMatrIX")));
    EXPECT_FALSE(m->CheckIntegrity(LongTermKey(user, "example.org", "TheMatrIx")));
    EXPECT_FALSE(m->CheckFingerprint());  // it has none

    // The builder produces the same bytes from the same parts.
    MessageBuilder b(Method::kBinding, Class::kRequest, m->Transaction());
    b.AddText(attr::kUsername, user)
        .AddText(attr::kNonce, "f//499k954d6OL34oL9FSTvy64sA")
        .AddText(attr::kRealm, "example.org");
    const Key key = LongTermKey(user, "example.org", "TheMatrIX");
    EXPECT_EQ(b.Finish(&key, false), kLongTermRequest);
}

TEST(StunMessage, AllocateRequestRoundTrip) {
    const TransactionId id = NewTransactionId();
    EXPECT_NE(id, NewTransactionId());
    const Key key = LongTermKey("alice", "relay.example", "secret");
    MessageBuilder b(Method::kAllocate, Class::kRequest, id);
    b.AddRequestedTransport(kTransportTcp)
        .AddUint32(attr::kLifetime, 600)
        .AddText(attr::kUsername, "alice")
        .AddText(attr::kRealm, "relay.example")
        .AddText(attr::kNonce, "abcdefg")
        .AddXorAddress(attr::kXorPeerAddress, Address::Ipv4(0xC0000201, 5000));
    Bytes bytes = b.Finish(&key, true);
    ASSERT_EQ(bytes[0], 0x00);
    ASSERT_EQ(bytes[1], 0x03);
    ASSERT_EQ(MessageLength(bytes), bytes.size());

    const auto m = Message::Parse(bytes);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetMethod(), Method::kAllocate);
    EXPECT_EQ(m->GetClass(), Class::kRequest);
    EXPECT_EQ(m->Transaction(), id);
    const Attribute* transport = m->Find(attr::kRequestedTransport);
    ASSERT_TRUE(transport);
    EXPECT_EQ(Bytes(m->Value(*transport).begin(), m->Value(*transport).end()),
              (Bytes{kTransportTcp, 0, 0, 0}));
    EXPECT_EQ(m->Uint32(attr::kLifetime), 600u);
    EXPECT_EQ(m->Text(attr::kNonce), "abcdefg");
    EXPECT_EQ(m->XorAddress(attr::kXorPeerAddress)->Text(), "192.0.2.1");
    EXPECT_TRUE(m->CheckIntegrity(key));
    EXPECT_FALSE(m->CheckIntegrity(LongTermKey("alice", "relay.example", "Secret")));
    EXPECT_TRUE(m->CheckFingerprint());

    bytes[kHeaderSize + 9] ^= 0x01;  // inside LIFETIME
    const auto altered = Message::Parse(bytes);
    ASSERT_TRUE(altered);
    EXPECT_FALSE(altered->CheckIntegrity(key));
    EXPECT_FALSE(altered->CheckFingerprint());
}

TEST(StunMessage, ErrorResponseAndAttributesAfterIntegrity) {
    const Key key = ShortTermKey("pw");
    MessageBuilder b(Method::kConnect, Class::kError, TransactionId{});
    b.AddErrorCode(447, "Connection Timeout or Failure");
    Bytes bytes = b.Finish(&key, false);
    // An attribute slipped in after the integrity is not believed.
    const Bytes extra = Hex("00 0d 00 04 00 00 00 01");
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    bytes[3] = static_cast<uint8_t>(bytes.size() - kHeaderSize);

    const auto m = Message::Parse(bytes);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetMethod(), Method::kConnect);
    EXPECT_EQ(m->GetClass(), Class::kError);
    ASSERT_TRUE(m->ErrorCode());
    EXPECT_EQ(m->ErrorCode()->code, 447);
    EXPECT_EQ(m->ErrorCode()->reason, "Connection Timeout or Failure");
    EXPECT_TRUE(m->CheckIntegrity(key));
    EXPECT_EQ(m->Attributes().size(), 3u);
    EXPECT_FALSE(m->Uint32(attr::kLifetime));
}

TEST(StunMessage, FramingAndMalformedInput) {
    EXPECT_EQ(MessageLength({}), 0u);
    EXPECT_EQ(MessageLength(std::span(kRequest).first(19)), 0u);
    EXPECT_EQ(MessageLength(std::span(kRequest).first(3)), 0u);
    // The rest of the stream after the message does not count.
    Bytes two = kRequest;
    two.insert(two.end(), kIpv4Response.begin(), kIpv4Response.end());
    EXPECT_EQ(MessageLength(two), kRequest.size());

    EXPECT_FALSE(MessageLength(Hex("80")));                        // top bits
    EXPECT_FALSE(MessageLength(Hex("00 01 00 00 21 12 a4 43")));   // cookie
    EXPECT_FALSE(MessageLength(Hex("00 01 00 06")));               // not a multiple of 4
    EXPECT_FALSE(MessageLength(Hex("00 01 07 f0 21 12 a4 42")));   // over the limit
    EXPECT_EQ(MessageLength(Hex("00 01 07 ec 21 12 a4 42")), 0u);  // just fits, header partial

    // An attribute whose length runs past the end of the message.
    Bytes bad =
        Hex("00 01 00 08 21 12 a4 42 00 00 00 00 00 00 00 00 00 00 00 00"
            "00 06 00 05 61 62 63 64");
    EXPECT_FALSE(Message::Parse(bad));
    bad[23] = 0x04;
    EXPECT_TRUE(Message::Parse(bad));
    // Parse takes exactly one whole message.
    EXPECT_FALSE(Message::Parse(two));
    EXPECT_FALSE(Message::Parse(std::span(kRequest).first(kRequest.size() - 4)));

    EXPECT_FALSE(Address::FromText("192.0.2", 1));
    EXPECT_FALSE(Address::FromText("192.0.2.256", 1));
    EXPECT_FALSE(Address::FromText("192.0.2.1 ", 1));
}

}  // namespace
}  // namespace kestrona::stun
