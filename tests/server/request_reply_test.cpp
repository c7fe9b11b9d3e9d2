// Recognising requests from raw bytes, and the byte images of the replies.
#include <gtest/gtest.h>

#include <array>

#include "server/reply.h"
#include "server/request.h"
#include "server/text.h"
#include "server_test_util.h"

namespace kestrona::server {
namespace {

using test::Bytes;
namespace rec = records;

ScanStatus Scan(const Bytes& data) {
    return ScanRequest(data).status;
}

TEST(ServerRequestScan, EveryRequestIsRecognisedByWordAndSize) {
    struct Case {
        Bytes record;
        Command command;
    };
    std::vector<Case> cases{
        {test::LoginRecord(10000, "pw", 4000), Command::kLogin},
        {test::RegisterRecord("n", "p", "a@b.c"), Command::kRegister},
        {test::QueryRecord(1, 2), Command::kQuery},
        {test::LiveRecord(12345), Command::kLive},
        {test::LogoutRecord(1), Command::kLogout},
        {test::ReportRecord(2, 1, 2, 3), Command::kReport},
        {test::ChangePortRecord(1, 2), Command::kChangePort},
        {test::RelayCredsRecord(1), Command::kRelayCreds},
        {test::ReachCheckRecord(1, 2), Command::kReachCheck},
        {test::RelayAddrRecord(1, "1.2.3.4", 3), Command::kRelayAddr},
        {test::QueryPeerRecord(1, 2), Command::kQueryPeer},
        {test::QueryPresenceRecord(1, {2, 3}), Command::kQueryPresence},
        {test::PresenceModeRecord(1, 1), Command::kPresenceMode},
    };
    for (const auto& c : cases) {
        ScanResult full = ScanRequest(c.record);
        EXPECT_EQ(full.status, ScanStatus::kComplete) << CommandName(c.command);
        EXPECT_EQ(full.command, c.command);
        EXPECT_EQ(full.size, c.record.size());
        // Every shorter piece may still grow into the record; one more byte is too many.
        for (std::size_t n = 0; n < c.record.size(); ++n) {
            Bytes part(c.record.begin(), c.record.begin() + static_cast<long>(n));
            ASSERT_EQ(Scan(part), ScanStatus::kNeedMore) << CommandName(c.command) << " " << n;
        }
        Bytes longer = c.record;
        longer.push_back(0);
        EXPECT_EQ(Scan(longer), ScanStatus::kWrongSize) << CommandName(c.command);
    }
}

TEST(ServerRequestScan, UnknownWordsAreRefusedAsSoonAsTheyDiffer) {
    EXPECT_EQ(Scan(test::AsBytes("X")), ScanStatus::kUnknownCommand);
    EXPECT_EQ(Scan(test::AsBytes("USERLOGX")), ScanStatus::kUnknownCommand);
    EXPECT_EQ(Scan(test::AsBytes("GET / HTTP/1.1\r\n")), ScanStatus::kUnknownCommand);
    // A known word must end at its padding: "USERLOGINX" is another word.
    Bytes login = test::LoginRecord(1, "p", 1);
    login[9] = 'X';
    EXPECT_EQ(Scan(login), ScanStatus::kUnknownCommand);
    // Words sharing a start stay open until they part.
    EXPECT_EQ(Scan(test::AsBytes("USERLO")), ScanStatus::kNeedMore);
    EXPECT_EQ(ScanRequest(test::AsBytes("USERLOGOUT")).command, Command::kLogout);
}

TEST(ServerRequestDecode, FieldsComeFromTheirOffsets) {
    // The keep-alive record has no zero behind its word: 12345 starts at offset 8.
    Bytes live{0x55, 0x53, 0x45, 0x52, 0x4C, 0x49, 0x56, 0x45, 0x39, 0x30, 0x00, 0x00};
    DecodeResult d = DecodeRequest(live);
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_EQ(std::get<LiveRequest>(d.request).number, 12345);

    Bytes login = test::LoginRecord(10042, "\xC3\xDC\xC2\xEB", 5050);  // a GBK password
    login[rec::login::kProxyFlag] = 1;
    d = DecodeRequest(login);
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    const auto& l = std::get<LoginRequest>(d.request);
    EXPECT_EQ(l.number, 10042);
    EXPECT_EQ(l.password, "\xC3\xDC\xC2\xEB");
    EXPECT_EQ(l.port, 5050);
    EXPECT_TRUE(l.proxy);
    EXPECT_FALSE(l.hidden);
    EXPECT_EQ(l.version_build, 1228);

    d = DecodeRequest(test::ReportRecord(2, 10001, 10002, -7));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    const auto& m = std::get<ReportRequest>(d.request);
    EXPECT_EQ(m.kind, 2);
    EXPECT_EQ(m.other, 10001);
    EXPECT_EQ(m.own, 10002);
    EXPECT_EQ(m.seconds, -7);
}

TEST(ServerRequestDecode, RelayRecordsCarryTheirFields) {
    DecodeResult d = DecodeRequest(test::RelayCredsRecord(10007));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_EQ(std::get<RelayCredsRequest>(d.request).number, 10007);

    d = DecodeRequest(test::ReachCheckRecord(10008, 6500));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_EQ(std::get<ReachCheckRequest>(d.request).number, 10008);
    EXPECT_EQ(std::get<ReachCheckRequest>(d.request).port, 6500);

    d = DecodeRequest(test::RelayAddrRecord(10009, "203.0.113.255", 49152));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    const auto& a = std::get<RelayAddrRequest>(d.request);
    EXPECT_EQ(a.number, 10009);
    EXPECT_EQ(a.address, "203.0.113.255");
    EXPECT_EQ(a.port, 49152);
    // An address filling its whole field has lost its terminator.
    EXPECT_EQ(DecodeRequest(test::RelayAddrRecord(1, std::string(16, '1'), 1)).status,
              DecodeStatus::kBadText);

    d = DecodeRequest(test::QueryPeerRecord(10001, 10002));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_EQ(std::get<QueryPeerRequest>(d.request).caller, 10001);
    EXPECT_EQ(std::get<QueryPeerRequest>(d.request).callee, 10002);
    EXPECT_EQ(CommandOf(d.request), Command::kQueryPeer);
    // The look-up of old phones is still its own record.
    EXPECT_EQ(CommandOf(DecodeRequest(test::QueryRecord(1, 2)).request), Command::kQuery);
}

TEST(ServerRequestDecode, PresenceRecordsCarryTheirFields) {
    std::vector<std::int32_t> numbers(64);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        numbers[i] = 20000 + static_cast<std::int32_t>(i);
    }
    Bytes record = test::QueryPresenceRecord(10001, numbers);
    ASSERT_EQ(record.size(), 284u);
    // Numbers at 28 + 4i, little-endian: the last one ends the record.
    EXPECT_EQ(rec::GetInt(record.data(), 280), 20063);
    DecodeResult d = DecodeRequest(record);
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    const auto& q = std::get<QueryPresenceRequest>(d.request);
    EXPECT_EQ(q.asker, 10001);
    EXPECT_EQ(q.count, 64);
    EXPECT_EQ(q.numbers[0], 20000);
    EXPECT_EQ(q.numbers[63], 20063);
    // A count out of range is the directory's to refuse, not the parser's.
    d = DecodeRequest(test::QueryPresenceRecord(10001, {}, -3));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_EQ(std::get<QueryPresenceRequest>(d.request).count, -3);

    d = DecodeRequest(test::PresenceModeRecord(10002, 1));
    ASSERT_EQ(d.status, DecodeStatus::kOk);
    EXPECT_EQ(std::get<PresenceModeRequest>(d.request).number, 10002);
    EXPECT_EQ(std::get<PresenceModeRequest>(d.request).mode, 1);
    // The longest request now; nothing longer is buffered.
    EXPECT_EQ(rec::kLargestRequest, 284u);
    EXPECT_EQ(Scan(test::AsBytes("QUERYP")), ScanStatus::kNeedMore);
    EXPECT_EQ(ScanRequest(test::AsBytes(std::string("QUERYPR"))).command, Command::kQueryPresence);
}

TEST(ServerRequestDecode, TextsThatFillTheirWholeFieldAreRefused) {
    Bytes login = test::LoginRecord(1, std::string(19, 'p'), 1);
    EXPECT_EQ(DecodeRequest(login).status, DecodeStatus::kOk);
    login[rec::login::kPassword + 19] = 'p';
    EXPECT_EQ(DecodeRequest(login).status, DecodeStatus::kBadText);

    Bytes reg = test::RegisterRecord("n", "p", std::string(30, 'e'));
    EXPECT_EQ(DecodeRequest(reg).status, DecodeStatus::kBadText);
    reg = test::RegisterRecord("n", "p", "e@x", "c", std::string(20, 'c'));
    EXPECT_EQ(DecodeRequest(reg).status, DecodeStatus::kBadText);
    EXPECT_EQ(DecodeRequest(test::AsBytes("USERLIVE")).status, DecodeStatus::kNotARecord);
}

TEST(ServerReplies, LayoutsMatchWhatPhonesRead) {
    Bytes login = LoginResult(0, 45, "welcome", "notice");
    ASSERT_EQ(login.size(), 252u);
    EXPECT_EQ(test::ReplyWord(login), "LOGINRESULT");
    EXPECT_EQ(rec::GetInt(login.data(), 20), 0);
    EXPECT_EQ(rec::GetInt(login.data(), 36), 45);
    EXPECT_STREQ(reinterpret_cast<const char*>(login.data() + 52), "welcome");
    EXPECT_STREQ(reinterpret_cast<const char*>(login.data() + 102), "notice");

    Bytes reg = RegisterSuccess(0x01020304);
    ASSERT_EQ(reg.size(), 22u);
    EXPECT_EQ(test::Prefix(reg, 18), "REGISTERNEWSUCCESS");
    EXPECT_EQ(rec::GetInt(reg.data(), 18), 0x01020304);

    Bytes query = QueryResult("192.168.100.200", 40000);
    ASSERT_EQ(query.size(), 52u);
    EXPECT_EQ(test::ReplyWord(query), "QUERYUSERRESULT");
    EXPECT_STREQ(reinterpret_cast<const char*>(query.data() + 20), "192.168.100.200");
    EXPECT_EQ(rec::GetInt(query.data(), 36), 40000);

    // Phones tell found from not found by the first 20 bytes.
    EXPECT_EQ(test::Prefix(QueryNotFound(), 20), "QUERYUSERRESULTNOTFO");
    EXPECT_NE(test::Prefix(query, 20), "QUERYUSERRESULTNOTFO");
    EXPECT_EQ(test::Prefix(RegisterFailEmail(), 20), "REGISTERNEWFAILEMAIL");
    EXPECT_EQ(AcceptGreeting(), test::AsBytes("ACCEPT"));
    Bytes error = PlainReply("GENERALERROR");
    EXPECT_EQ(error.size(), 20u);
    EXPECT_EQ(test::ReplyWord(error), "GENERALERROR");
}

TEST(ServerReplies, RelayRepliesMatchTheirLayouts) {
    Bytes creds = RelayCredsResult(0, 3600, "1700003600:10001", "pw=", {"turn.example", 3478, 0},
                                   {"10.1.2.3", 5349, 1});
    ASSERT_EQ(creds.size(), 236u);
    EXPECT_EQ(test::ReplyWord(creds), "RELAYCREDSRESULT");
    EXPECT_EQ(rec::GetInt(creds.data(), 24), 3600);
    EXPECT_EQ(test::TextAt(creds, 28, 32), "1700003600:10001");
    EXPECT_EQ(test::TextAt(creds, 60, 32), "pw=");
    EXPECT_EQ(test::TextAt(creds, 92, 64), "turn.example");
    EXPECT_EQ(rec::GetInt(creds.data(), 156), 3478);
    EXPECT_EQ(rec::GetInt(creds.data(), 160), 0);
    EXPECT_EQ(test::TextAt(creds, 164, 64), "10.1.2.3");
    EXPECT_EQ(rec::GetInt(creds.data(), 228), 5349);
    EXPECT_EQ(rec::GetInt(creds.data(), 232), 1);

    Bytes reach = ReachResult(1, "198.51.100.7", 4000);
    ASSERT_EQ(reach.size(), 44u);
    EXPECT_EQ(test::ReplyWord(reach), "REACHRESULT");
    EXPECT_EQ(rec::GetInt(reach.data(), 20), 1);
    EXPECT_EQ(test::TextAt(reach, 24, 16), "198.51.100.7");
    EXPECT_EQ(rec::GetInt(reach.data(), 40), 4000);
    // An IPv6 peer does not fit: the field stays empty rather than cut.
    EXPECT_EQ(test::TextAt(ReachResult(2, "2001:db8::1:2:3:4", 1), 24, 16), "");

    Bytes peer = QueryPeerResult(1, "10.9.8.7", 50000, {"relay.example", 443, 1});
    ASSERT_EQ(peer.size(), 124u);
    EXPECT_EQ(test::ReplyWord(peer), "QUERYPEERRESULT");
    EXPECT_EQ(test::TextAt(peer, 20, 16), "10.9.8.7");
    EXPECT_EQ(rec::GetInt(peer.data(), 36), 50000);
    EXPECT_EQ(rec::GetInt(peer.data(), 40), 1);
    EXPECT_EQ(test::TextAt(peer, 44, 64), "relay.example");
    EXPECT_EQ(rec::GetInt(peer.data(), 108), 443);
    EXPECT_EQ(rec::GetInt(peer.data(), 112), 1);
    EXPECT_TRUE(std::all_of(peer.begin() + 116, peer.end(), [](auto b) { return b == 0; }));

    // Number i at byte i/8, bit i%8 from the least significant.
    std::array<bool, 64> online{};
    for (std::size_t i : {0, 7, 8, 33, 63}) {
        online[i] = true;
    }
    Bytes presence = PresenceResult(0, online);
    ASSERT_EQ(presence.size(), 40u);
    EXPECT_EQ(test::ReplyWord(presence), "PRESENCERESULT");
    EXPECT_EQ(rec::GetInt(presence.data(), 20), 0);
    EXPECT_EQ(rec::GetInt(presence.data(), 24), 64);
    const Bytes bits{0x81, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x80};
    EXPECT_EQ(Bytes(presence.begin() + 28, presence.begin() + 36), bits);
    EXPECT_EQ(rec::GetInt(presence.data(), 36), 0);
    // Bits at and beyond n stay zero; a refusal carries neither n nor bits.
    presence = PresenceResult(0, std::span<const bool>(online.data(), 3));
    EXPECT_EQ(Bytes(presence.begin() + 24, presence.end()),
              (Bytes{3, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    presence = PresenceResult(2, online);
    EXPECT_EQ(rec::GetInt(presence.data(), 20), 2);
    EXPECT_TRUE(std::all_of(presence.begin() + 24, presence.end(), [](auto b) { return b == 0; }));
}

TEST(ServerReplies, LongTextsAreCutOnWholeCharactersAndKeepTheirTerminator) {
    // 30 two-byte characters: 60 bytes for a 49-byte text.
    std::string chinese;
    for (int i = 0; i < 30; ++i) {
        chinese += "\xBB\xB6";
    }
    std::string ascii_then_chinese = "a" + chinese;
    Bytes login = LoginResult(0, 60, ascii_then_chinese, std::string(400, 'n'));
    std::string welcome(reinterpret_cast<const char*>(login.data() + 52));
    EXPECT_EQ(welcome.size(), 49u);  // "a" and 24 whole characters
    EXPECT_EQ(static_cast<unsigned char>(welcome.back()), 0xB6);
    EXPECT_EQ(login[101], 0);
    std::string notice(reinterpret_cast<const char*>(login.data() + 102));
    EXPECT_EQ(notice.size(), 149u);
    EXPECT_EQ(login.size(), 252u);

    login = LoginResult(0, 60, chinese, "");
    welcome = reinterpret_cast<const char*>(login.data() + 52);
    EXPECT_EQ(welcome.size(), 48u);  // the 25th character would not fit whole
}

TEST(ServerText, CommandLineTextsBecomeCodePage936) {
    EXPECT_EQ(Utf8ToCp936("欢迎 Kestrona"), "\xBB\xB6\xD3\xAD Kestrona");
    EXPECT_EQ(Utf8ToCp936("a\xF0\x9F\x98\x80z"), "a?z");  // no such character in 936
    EXPECT_EQ(Utf8ToCp936("a\xFFz"), "a?z");              // not UTF-8 at all
    EXPECT_EQ(Cp936FitLength("\xBB\xB6\xD3\xAD", 3), 2u);
    EXPECT_EQ(Cp936FitLength("ab", 5), 2u);
}

}  // namespace
}  // namespace kestrona::server
