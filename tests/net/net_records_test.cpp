// Record images, the server-reply parser, the peer classifier and the reply
// message mapping, without any network.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/presence_records.h"
#include "net/records.h"
#include "net/relay_records.h"
#include "net_test_util.h"

namespace kestrona {
namespace {

template <std::size_t N>
std::string Hex(const std::array<char, N>& r) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (char c : r) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

template <std::size_t N>
bool ZeroExcept(const std::array<char, N>& r, std::initializer_list<std::pair<int, int>> ranges) {
    for (std::size_t i = 0; i < N; ++i) {
        bool covered = false;
        for (auto [from, len] : ranges)
            covered |= static_cast<int>(i) >= from && static_cast<int>(i) < from + len;
        if (!covered && r[i] != 0)
            return false;
    }
    return true;
}

TEST(ServerRecords, UserLiveHasNoZeroBetweenWordAndNumber) {
    EXPECT_EQ(Hex(BuildUserLiveRecord(12345)), "555345524C49564539300000");
}

TEST(ServerRecords, LoginRecordLayout) {
    LoginRequest q;
    q.nID = 70001;
    q.strPassword = "secret";
    q.nListenPort = 4321;
    q.bProxy = true;
    q.bStartHidden = false;
    const LoginRecord r = BuildLoginRecord(q);
    ASSERT_EQ(r.size(), 76u);
    EXPECT_EQ(std::string(r.data()), "USERLOGIN");
    EXPECT_EQ(GetInt32(&r[20]), 70001);
    EXPECT_EQ(std::string(&r[24]), "secret");
    EXPECT_EQ(GetInt32(&r[44]), 4321);
    EXPECT_EQ(r[48], 1);
    EXPECT_EQ(r[49], 0);
    EXPECT_EQ(GetInt32(&r[64]), 2);
    EXPECT_EQ(GetInt32(&r[68]), 0);
    EXPECT_EQ(GetInt32(&r[72]), 1228);
    EXPECT_TRUE(ZeroExcept(r, {{0, 9}, {20, 4}, {24, 6}, {44, 4}, {48, 1}, {64, 12}}));
}

TEST(ServerRecords, LongPasswordIsCutAndStaysTerminated) {
    LoginRequest q;
    q.strPassword = std::string(40, 'x');
    const LoginRecord r = BuildLoginRecord(q);
    EXPECT_EQ(std::strlen(&r[24]), 19u);
    EXPECT_EQ(r[43], 0);
    EXPECT_EQ(GetInt32(&r[44]), 0);
}

TEST(ServerRecords, RegisterRecordFieldsInCodePage936) {
    RegisterRequest q;
    q.strName = "张三";
    q.strPassword = "pw";
    q.strEmail = "a@b.cn";
    q.strCountry = "中国";
    q.strCity = "北京";
    const RegisterRecord r = BuildRegisterRecord(q);
    ASSERT_EQ(r.size(), 144u);
    EXPECT_EQ(std::string(r.data()), "REGISTERNEW");
    EXPECT_EQ(std::string(&r[20]), "\xD5\xC5\xC8\xFD");
    EXPECT_EQ(std::string(&r[40]), "pw");
    EXPECT_EQ(std::string(&r[60]), "a@b.cn");
    EXPECT_EQ(std::string(&r[90]), "\xD6\xD0\xB9\xFA");
    EXPECT_EQ(std::string(&r[110]), "\xB1\xB1\xBE\xA9");
    EXPECT_TRUE(ZeroExcept(r, {{0, 11}, {20, 4}, {40, 2}, {60, 6}, {90, 4}, {110, 4}}));
}

TEST(ServerRecords, ShortRequestsLayout) {
    const auto query = BuildQueryUserRecord(11, 22);
    EXPECT_EQ(query.size(), 40u);
    EXPECT_EQ(std::string(query.data()), "QUERYUSER");
    EXPECT_EQ(GetInt32(&query[20]), 11);
    EXPECT_EQ(GetInt32(&query[24]), 22);
    EXPECT_TRUE(ZeroExcept(query, {{0, 9}, {20, 8}}));

    const auto logout = BuildLogoutRecord(-7);
    EXPECT_EQ(logout.size(), 36u);
    EXPECT_EQ(std::string(logout.data()), "USERLOGOUT");
    EXPECT_EQ(GetInt32(&logout[20]), -7);
    EXPECT_TRUE(ZeroExcept(logout, {{0, 10}, {20, 4}}));

    const auto report = BuildMsgReportRecord(2, 33, 44, 95);
    EXPECT_EQ(report.size(), 48u);
    EXPECT_EQ(std::string(report.data()), "MSGREPORT");
    EXPECT_EQ(GetInt32(&report[20]), 2);
    EXPECT_EQ(GetInt32(&report[24]), 33);
    EXPECT_EQ(GetInt32(&report[28]), 44);
    EXPECT_EQ(GetInt32(&report[32]), 95);
    EXPECT_TRUE(ZeroExcept(report, {{0, 9}, {20, 16}}));
    EXPECT_EQ(GetInt32(&BuildMsgReportRecord(1, 33, 44, 95)[32]), 0);

    const auto change = BuildChangePortRecord(5, 1081);
    EXPECT_EQ(change.size(), 28u);
    EXPECT_EQ(std::string(change.data()), "CHANGEPORT");
    EXPECT_EQ(GetInt32(&change[20]), 5);
    EXPECT_EQ(GetInt32(&change[24]), 1081);
}

// The requests of calls into any home, and their answers read as a hostile
// server might send them: cut, with a mode or port out of range, or with
// bytes in a host name that are no printable ASCII.
TEST(RelayRecords, RequestsAndHostileAnswers) {
    const auto check = BuildReachCheckRecord(10001, 40000);
    EXPECT_EQ(std::string(check.data(), 10), "REACHCHECK");
    EXPECT_EQ(GetInt32(&check[20]), 10001);
    EXPECT_EQ(GetInt32(&check[24]), 40000);
    EXPECT_TRUE(ZeroExcept(check, {{0, 10}, {20, 8}}));
    const auto addr = BuildRelayAddrRecord(10001, "11.0.9.1", 50000);
    EXPECT_EQ(std::string(&addr[24]), "11.0.9.1");
    EXPECT_EQ(GetInt32(&addr[40]), 50000);
    EXPECT_TRUE(ZeroExcept(addr, {{0, 9}, {20, 4}, {24, 8}, {40, 4}}));
    const auto peer = BuildQueryPeerRecord(10001, 10002);
    EXPECT_TRUE(ZeroExcept(peer, {{0, 9}, {20, 8}}));

    std::vector<char> creds(kRelayCredsReplySize + 1, 0);
    std::memcpy(creds.data(), "RELAYCREDSRESULT", 16);
    PutInt32(&creds[24], 3600);
    std::strcpy(&creds[28], "1765300000:10001");
    std::strcpy(&creds[60], "c2VjcmV0");
    std::strcpy(&creds[92], "relay.example.org");
    PutInt32(&creds[156], 3478);
    std::strcpy(&creds[164], "relay2.example.org");
    PutInt32(&creds[228], 5349);
    PutInt32(&creds[232], 1);
    RelayCredsReply reply = ParseRelayCredsReply(creds.data(), kRelayCredsReplySize);
    ASSERT_EQ(reply.result, 0);
    ASSERT_EQ(reply.relays.size(), 2u);
    EXPECT_EQ(reply.username, "1765300000:10001");
    EXPECT_EQ(reply.relays[1].host, "relay2.example.org");
    EXPECT_TRUE(reply.relays[1].tls);
    EXPECT_EQ(ParseRelayCredsReply(creds.data(), kRelayCredsReplySize - 1).result, -1);
    creds[100] = '\n';  // a control byte in the first relay's name: that relay is dropped
    reply = ParseRelayCredsReply(creds.data(), kRelayCredsReplySize);
    ASSERT_EQ(reply.relays.size(), 1u);
    EXPECT_EQ(reply.relays[0].port, 5349);
    PutInt32(&creds[228], 70000);  // and no usable relay is left: no relay at all
    EXPECT_EQ(ParseRelayCredsReply(creds.data(), kRelayCredsReplySize).result, 1);

    std::vector<char> query(kQueryPeerReplySize + 1, 0);
    std::memcpy(query.data(), "QUERYPEERRESULT", 15);
    std::strcpy(&query[20], "11.0.9.1");
    PutInt32(&query[36], 50000);
    PutInt32(&query[40], 1);
    EXPECT_FALSE(ParseQueryPeerReply(query.data(), kQueryPeerReplySize).found)
        << "relayed without a relay";
    std::strcpy(&query[44], "11.0.9.1");
    PutInt32(&query[108], 3478);
    const QueryPeerReply relayed = ParseQueryPeerReply(query.data(), kQueryPeerReplySize);
    ASSERT_TRUE(relayed.found && relayed.relayed);
    EXPECT_EQ(relayed.relay.port, 3478);
    PutInt32(&query[40], 2);
    EXPECT_FALSE(ParseQueryPeerReply(query.data(), kQueryPeerReplySize).found);
    PutInt32(&query[40], 0);
    std::memcpy(&query[20], "11.0.9.111.0.9.1", 16);  // no zero inside the address field
    EXPECT_FALSE(ParseQueryPeerReply(query.data(), kQueryPeerReplySize).found);
    EXPECT_FALSE(ParseQueryPeerReply(query.data(), 100).found);

    std::vector<char> verdict(kReachReplySize + 1, 0);
    std::memcpy(verdict.data(), "REACHRESULT", 11);
    PutInt32(&verdict[20], 1);
    EXPECT_EQ(ParseReachReply(verdict.data(), kReachReplySize).verdict, ReachVerdict::kUnreachable);
    PutInt32(&verdict[20], 9);
    EXPECT_EQ(ParseReachReply(verdict.data(), kReachReplySize).verdict, ReachVerdict::kNoAnswer);
}

// The presence look-up and its answer: the request carries at most 64
// numbers with the rest zero; an answer counts only when it is exactly the
// record for this look-up, since a wrong one would mark people online.
TEST(PresenceRecords, RequestsAndStrictAnswers) {
    std::vector<int32_t> numbers;
    for (int32_t i = 0; i < 70; ++i) numbers.push_back(10000 + i);
    const auto query = BuildQueryPresenceRecord(777, numbers);
    EXPECT_EQ(std::string(query.data()), "QUERYPRESENCE");
    EXPECT_EQ(GetInt32(&query[20]), 777);
    EXPECT_EQ(GetInt32(&query[24]), 64);
    EXPECT_EQ(GetInt32(&query[28]), 10000);
    EXPECT_EQ(GetInt32(&query[28 + 4 * 63]), 10063);
    const auto two = BuildQueryPresenceRecord(777, std::span(numbers).first(2));
    EXPECT_EQ(GetInt32(&two[24]), 2);
    EXPECT_TRUE(ZeroExcept(two, {{0, 13}, {20, 16}}));
    const auto mode = BuildPresenceModeRecord(777, true);
    EXPECT_EQ(std::string(mode.data()), "PRESENCEMODE");
    EXPECT_EQ(GetInt32(&mode[24]), 1);
    EXPECT_EQ(GetInt32(&BuildPresenceModeRecord(777, false)[24]), 0);
    EXPECT_TRUE(ZeroExcept(mode, {{0, 12}, {20, 8}}));

    std::array<char, kPresenceReplySize> answer{};
    std::memcpy(answer.data(), "PRESENCERESULT", 14);
    PutInt32(&answer[24], 10);
    answer[28] = 0x05;  // numbers 0 and 2
    answer[29] = 0x02;  // number 9
    PresenceReply r = ParsePresenceReply(answer.data(), answer.size(), 10);
    ASSERT_EQ(r.result, PresenceResult::kAnswered);
    EXPECT_TRUE(r.Online(0) && r.Online(2) && r.Online(9));
    EXPECT_FALSE(r.Online(1) || r.Online(3) || r.Online(8));
    // Another count, a bit past the count, a cut or longer chunk, a byte in
    // the padding: none is an answer.
    EXPECT_EQ(ParsePresenceReply(answer.data(), answer.size(), 9).result, PresenceResult::kNotOne);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 39, 10).result, PresenceResult::kNotOne);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 41, 10).result, PresenceResult::kNotOne);
    auto spoiled = answer;
    spoiled[29] = 0x04;  // number 10 of 10
    EXPECT_EQ(ParsePresenceReply(spoiled.data(), 40, 10).result, PresenceResult::kNotOne);
    spoiled = answer;
    spoiled[38] = 1;
    EXPECT_EQ(ParsePresenceReply(spoiled.data(), 40, 10).result, PresenceResult::kNotOne);
    spoiled = answer;
    spoiled[15] = 'X';
    EXPECT_EQ(ParsePresenceReply(spoiled.data(), 40, 10).result, PresenceResult::kNotOne);
    EXPECT_FALSE(CouldBePresenceReply(spoiled.data(), 16));
    EXPECT_TRUE(CouldBePresenceReply(answer.data(), 16));
    // All 64 asked, all online.
    PutInt32(&answer[24], 64);
    std::memset(&answer[28], 0xFF, 8);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 40, 64).online, ~uint64_t{0});
    // Refusals carry no count and no bits; an unknown result is no answer.
    std::memset(&answer[24], 0, 12);
    PutInt32(&answer[20], 1);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 40, 5).result, PresenceResult::kRefused);
    PutInt32(&answer[20], 2);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 40, 5).result, PresenceResult::kTooMany);
    PutInt32(&answer[24], 5);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 40, 5).result, PresenceResult::kNotOne);
    PutInt32(&answer[24], 0);
    PutInt32(&answer[20], 3);
    EXPECT_EQ(ParsePresenceReply(answer.data(), 40, 5).result, PresenceResult::kNotOne);
    const char error[] = "GENERALERROR";
    EXPECT_FALSE(CouldBePresenceReply(error, sizeof error));
}

TEST(PeerRecords, Layouts) {
    RequestCall q{24000, 777, 0, 2000};
    const auto r = BuildRequestCallRecord(q);
    EXPECT_EQ(r.size(), 48u);
    EXPECT_EQ(std::string(r.data()), "REQUESTCALL");
    EXPECT_EQ(r[11], 0);
    EXPECT_TRUE(ZeroExcept(r, {{0, 11}, {20, 16}}));
    const RequestCall back = ParseRequestCall(r.data(), r.size());
    EXPECT_EQ(back.nSampleRate, 24000);
    EXPECT_EQ(back.nCallerId, 777);
    EXPECT_EQ(back.nDelayBufferMs, 2000);

    const auto p = BuildParamenterRecord({8000, 5001, 5002});
    EXPECT_EQ(p.size(), 52u);
    EXPECT_EQ(std::string(p.data(), 10), "PARAMENTER");
    EXPECT_TRUE(ZeroExcept(p, {{0, 10}, {20, 12}}));
    EXPECT_EQ(ParseParamenter(p.data(), p.size()).nPortOut, 5002);

    // A chunk cut short: only the fields it holds whole are read, and
    // nothing behind it (the copies end where the chunk does).
    const std::vector<char> cutRequest(r.begin(), r.begin() + 34);
    const RequestCall partial = ParseRequestCall(cutRequest.data(), cutRequest.size());
    EXPECT_EQ(partial.nSampleRate, 24000);
    EXPECT_EQ(partial.nCallerId, 777);
    EXPECT_EQ(partial.nDelayBufferMs, 0);
    const std::vector<char> cutParams(p.begin(), p.begin() + 27);
    const Paramenter partialParams = ParseParamenter(cutParams.data(), cutParams.size());
    EXPECT_EQ(partialParams.nSampleRate, 8000);
    EXPECT_EQ(partialParams.nPortIn, 0);
    EXPECT_EQ(partialParams.nPortOut, 0);

    const auto aa = BuildAutoAnswerRecord();
    EXPECT_EQ(aa.size(), 32u);
    EXPECT_EQ(std::string(aa.data()), "AUTOANSWER");
    EXPECT_TRUE(ZeroExcept(aa, {{0, 10}}));

    EXPECT_EQ(SampleRateForConnectionType(3), 22050);
    EXPECT_EQ(SampleRateForConnectionType(5), 8000);
    EXPECT_EQ(SampleRateForConnectionType(-1), 8000);
}

// ---- ParseServerReply ----

class ServerReply : public ::testing::Test {
  protected:
    void SetUp() override { socket = std::make_unique<CServerSocket>(*ep.ctx); }
    // Places a chunk in the socket's buffer the way the receive step does.
    void Feed(const std::string& chunk) {
        ASSERT_LE(chunk.size(), 1024u);
        std::memset(socket->m_pBuffer.get(), 0, CCmdSocket::kBufferSize);
        std::memcpy(socket->m_pBuffer.get(), chunk.data(), chunk.size());
        socket->m_nReceived = static_cast<int>(chunk.size());
        socket->m_bReplied = false;
        socket->ParseServerReply();
    }
    std::string LoginReply(int result, int period, const std::string& text,
                           const std::string& notice) {
        std::string r(252, '\0');
        std::memcpy(r.data(), "LOGINRESULT", 11);
        PutInt32(r.data() + 20, result);
        PutInt32(r.data() + 36, period);
        std::memcpy(r.data() + 52, text.data(), std::min<size_t>(text.size(), 50));
        std::memcpy(r.data() + 102, notice.data(), std::min<size_t>(notice.size(), 150));
        return r;
    }
    test::Endpoint ep{"reply"};
    std::unique_ptr<CServerSocket> socket;
};

TEST_F(ServerReply, StartsAtNone) {
    EXPECT_EQ(socket->m_nReply, REPLY_NONE);
    EXPECT_FALSE(socket->m_bReplied);
    EXPECT_EQ(socket->m_nTimeoutMs, 5000u);
}

TEST_F(ServerReply, GreetingAtStartOrEnd) {
    Feed("ACCEPT");
    EXPECT_EQ(socket->m_nReply, REPLY_ACCEPT);
    EXPECT_TRUE(socket->m_bReplied);
    socket->m_nReply = REPLY_NONE;
    Feed("HTTP/1.0 200 Connection established\r\n\r\nACCEPT");
    EXPECT_EQ(socket->m_nReply, REPLY_ACCEPT);
    socket->m_nReply = REPLY_NONE;
    Feed("HTTP/1.0 200 Connection established\r\n\r\n");
    EXPECT_EQ(socket->m_nReply, REPLY_NONE);
    EXPECT_FALSE(socket->m_bReplied);
    Feed("ACCE");
    EXPECT_FALSE(socket->m_bReplied);
}

TEST_F(ServerReply, LaterTestsOverwriteEarlierOnes) {
    // GENERALERROR (20) is overwritten by the trailing ACCEPT (30).
    Feed("GENERALERROR...ACCEPT");
    EXPECT_EQ(socket->m_nReply, REPLY_ACCEPT);
    // A query reply that ends with ACCEPT: test 6 comes last and wins.
    Feed("QUERYUSERRESULTNOTFOND ACCEPT");
    EXPECT_EQ(socket->m_nReply, REPLY_ERROR);
    Feed("GENERALERROR");
    EXPECT_EQ(socket->m_nReply, REPLY_ERROR);
}

TEST_F(ServerReply, Registration) {
    std::string ok = "REGISTERNEWSUCCESS";
    ok.append(4, '\0');
    PutInt32(ok.data() + 18, 80123);
    socket->m_nReply = REPLY_ACCEPT;
    Feed(ok);
    EXPECT_EQ(socket->m_nReply, REPLY_SUCCESS);
    EXPECT_EQ(RegisteredNumber(socket->Buffer()), 80123);
    Feed("REGISTERNEWFAILEMAIL");
    EXPECT_EQ(socket->m_nReply, REPLY_EMAIL_TAKEN);
    socket->m_nReply = REPLY_ACCEPT;
    Feed("REGISTERNEWSOMETHING");
    EXPECT_EQ(socket->m_nReply, REPLY_ACCEPT);
    EXPECT_TRUE(socket->m_bReplied);
}

TEST_F(ServerReply, LoginResults) {
    Feed(LoginReply(0, 45, "hello", "\xC4\xE3\xBA\xC3"));  // 你好
    EXPECT_EQ(socket->m_nReply, REPLY_SUCCESS);
    EXPECT_EQ(ep.ctx->m_nLivePeriod, 45);
    EXPECT_EQ(ep.ctx->m_strLoginText, "hello");
    EXPECT_EQ(ep.ctx->m_strLoginNotice, "你好");
    Feed(LoginReply(1, 0, "", ""));
    EXPECT_EQ(socket->m_nReply, REPLY_REFUSED);
    Feed(LoginReply(2, 0, "", ""));
    EXPECT_EQ(socket->m_nReply, REPLY_BAD_PASSWORD);
    socket->m_nReply = REPLY_ACCEPT;
    Feed(LoginReply(7, 0, "", ""));
    EXPECT_EQ(socket->m_nReply, REPLY_ACCEPT);
    EXPECT_TRUE(socket->m_bReplied);
    EXPECT_EQ(ep.ctx->m_nLivePeriod, 45);
}

TEST_F(ServerReply, LoginTextsStayInsideTheirFields) {
    std::string r = LoginReply(0, 30, std::string(50, 'a'), std::string(150, 'b'));
    r.append(300, 'c');  // more bytes behind the record, no zero anywhere
    Feed(r);
    EXPECT_EQ(ep.ctx->m_strLoginText, std::string(50, 'a'));
    EXPECT_EQ(ep.ctx->m_strLoginNotice, std::string(150, 'b'));
}

TEST_F(ServerReply, ShortLoginReplyDoesNotSeeAnOlderChunk) {
    Feed(std::string(1024, 'Z'));
    // A truncated accepted login: the missing bytes count as zero.
    Feed(std::string("LOGINRESULT\0\0\0\0\0\0\0\0\0\0\0\0\0", 24));
    EXPECT_EQ(socket->m_nReply, REPLY_SUCCESS);
    EXPECT_EQ(ep.ctx->m_nLivePeriod, 0);
    EXPECT_EQ(ep.ctx->m_strLoginNotice, "");
}

TEST_F(ServerReply, QueryResults) {
    std::string found(52, '\0');
    std::memcpy(found.data(), "QUERYUSERRESULT", 15);
    std::memcpy(found.data() + 20, "10.1.2.3", 8);
    PutInt32(found.data() + 36, 6000);
    Feed(found);
    EXPECT_EQ(socket->m_nReply, REPLY_SUCCESS);
    const QueryUserResult where = ParseQueryUserResult(socket->Buffer());
    EXPECT_EQ(where.strAddress, "10.1.2.3");
    EXPECT_EQ(where.nPort, 6000);
    Feed("QUERYUSERRESULTNOTFO and anything");
    EXPECT_EQ(socket->m_nReply, REPLY_ERROR);
    // An address field without a terminator stays within its 16 bytes.
    std::memset(found.data() + 20, '9', 16);
    Feed(found);
    EXPECT_EQ(ParseQueryUserResult(socket->Buffer()).strAddress.size(), 15u);
}

TEST_F(ServerReply, GeneralRepliesAndNoise) {
    Feed("GENERALCMDSUCCESS");
    EXPECT_EQ(socket->m_nReply, REPLY_SUCCESS);
    Feed("GENERALCMDFAIL");
    EXPECT_EQ(socket->m_nReply, REPLY_ERROR);
    EXPECT_TRUE(socket->m_bReplied);
    socket->m_nReply = REPLY_SUCCESS;
    Feed("LOGINRESUL");  // a word cut in two is recognised in neither part
    Feed("T");
    EXPECT_FALSE(socket->m_bReplied);
    EXPECT_EQ(socket->m_nReply, REPLY_SUCCESS);
    Feed("");
    EXPECT_FALSE(socket->m_bReplied);
}

TEST(ReplyMessages, Mapping) {
    test::Endpoint ep("msg");
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_NONE), 1);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_EMAIL_TAKEN), 1);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_BAD_PASSWORD), 1);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_REFUSED), REPLY_REFUSED);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_ACCEPT), REPLY_ACCEPT);
    EXPECT_EQ(ep.ctx->ShowReplyMessage(REPLY_SUCCESS), REPLY_SUCCESS);
    EXPECT_EQ(ep.messages.ids, (std::vector<int>{138, 137, 139}));
}

// ---- the peer classifier ----

PeerCommand Classify(const std::string& chunk, bool proxy = false) {
    std::string padded = chunk;
    padded.append(1025 - chunk.size(), '\0');
    return ClassifyPeerChunk(padded.data(), static_cast<int>(chunk.size()), proxy);
}

TEST(PeerClassifier, RecognisesEachRecord) {
    EXPECT_EQ(Classify("UNKNOWCMD"), PeerCommand::UnknownCmd);
    EXPECT_EQ(Classify("UNSUPPORTED"), PeerCommand::Unsupported);
    EXPECT_EQ(Classify(std::string(BuildAutoAnswerRecord().data(), 32)), PeerCommand::AutoAnswer);
    EXPECT_EQ(Classify("GENERALERROR"), PeerCommand::GeneralError);
    EXPECT_EQ(Classify("GENERALSUCCESS"), PeerCommand::GeneralSuccess);
    EXPECT_EQ(Classify("ACCEPT"), PeerCommand::Accept);
    EXPECT_EQ(Classify(std::string(BuildRequestCallRecord({}).data(), 48)),
              PeerCommand::RequestCall);
    EXPECT_EQ(Classify("RCRESULTBUSY"), PeerCommand::Busy);
    EXPECT_EQ(Classify(std::string(BuildParamenterRecord({}).data(), 52)), PeerCommand::Paramenter);
    EXPECT_EQ(Classify("STARTTALK"), PeerCommand::StartTalk);
    EXPECT_EQ(Classify("ENDTALK"), PeerCommand::EndTalk);
    EXPECT_EQ(Classify("ENDTALKxyz"), PeerCommand::EndTalk);
}

TEST(PeerClassifier, OrderAndEdges) {
    EXPECT_EQ(Classify("STARTTALK!"), PeerCommand::Unknown);
    // Ten bytes are compared: the word and its zero, whatever lies behind.
    EXPECT_EQ(Classify(std::string("STARTTALK\0RY", 12)), PeerCommand::StartTalk);
    EXPECT_EQ(Classify("STARTTALKACCEPT"), PeerCommand::TrailingAccept);
    EXPECT_EQ(Classify("HTTP/1.0 200 Connection established\r\n\r\n"), PeerCommand::HttpOk);
    EXPECT_EQ(Classify("HTTP/1.1 200 OK\r\n\r\nACCEPT"), PeerCommand::TrailingAccept);
    EXPECT_EQ(Classify("HTTP/1.0 200 Connection established\r\n\r\nACCEPT"),
              PeerCommand::HttpOkAccept);
    EXPECT_EQ(Classify("ACCEP"), PeerCommand::Unknown);
    EXPECT_EQ(Classify(""), PeerCommand::Unknown);
    EXPECT_EQ(Classify("ACCEPTxyz"), PeerCommand::Accept);
    EXPECT_EQ(Classify("UNKNOWCMDACCEPT"), PeerCommand::UnknownCmd);
    const std::string bind("\x05\x00\x00\x01\x7f\x00\x00\x01\x12\x34", 10);
    EXPECT_EQ(Classify(bind, true), PeerCommand::SocksBindReply);
    EXPECT_EQ(Classify(bind, false), PeerCommand::Unknown);
}

}  // namespace
}  // namespace kestrona
