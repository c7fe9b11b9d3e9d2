// Recognising requests from raw bytes, and the byte images of the replies.
#include <gtest/gtest.h>

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
