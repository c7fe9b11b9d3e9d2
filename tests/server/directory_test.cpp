// Subscribers, logins and sessions, without the network.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "server/directory.h"
#include "server/password.h"
#include "server_test_util.h"
#include "store_backends.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
namespace rec = records;

// Every case runs on both backends.
class ServerDirectoryTest : public ::testing::TestWithParam<test::Backend> {
  protected:
    ServerDirectoryTest()
        : spec_(test::FreshStoreSpec(GetParam(), dir_)), hasher_(HashCost::Minimum()) {}

    void SetUp() override {
        ASSERT_FALSE(spec_.empty());
        store_ = OpenStore(spec_, 4);
    }

    DirectoryConfig Config() {
        DirectoryConfig config;
        config.first_number = 20000;
        config.live_period_s = 30;
        config.session_timeout = 90s;
        config.welcome = "hello";
        config.clock = [this] { return clock_.SystemNow(); };
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

    std::int32_t Register(const std::string& email, const std::string& password = "pw") {
        Outcome o = Send(test::RegisterRecord("name", password, email));
        EXPECT_EQ(test::Prefix(o.reply, 18), "REGISTERNEWSUCCESS") << o.result;
        return rec::GetInt(o.reply.data(), rec::register_success::kNumber);
    }

    std::int32_t LoginResultCode(std::int32_t number, const std::string& password,
                                 const std::string& peer = "10.0.0.1", std::int32_t port = 7000) {
        Outcome o = Send(test::LoginRecord(number, password, port), peer);
        EXPECT_EQ(test::ReplyWord(o.reply), "LOGINRESULT");
        return rec::GetInt(o.reply.data(), rec::login_result::kResult);
    }

    std::string Reply(const test::Bytes& record, const std::string& peer = "10.0.0.1") {
        return test::ReplyWord(Send(record, peer).reply);
    }

    test::TempDir dir_;
    test::ManualClock clock_;
    std::string spec_;
    PasswordHasher hasher_;
    std::unique_ptr<SubscriberStore> store_;
    std::unique_ptr<Directory> directory_;
};

INSTANTIATE_TEST_SUITE_P(Backends, ServerDirectoryTest,
                         ::testing::Values(test::Backend::kSqlite, test::Backend::kPostgres),
                         test::BackendName);

TEST_P(ServerDirectoryTest, RegistrationGivesSequentialNumbersAndRefusesTakenAddresses) {
    EXPECT_EQ(Register("one@example.com"), 20000);
    EXPECT_EQ(Register("two@example.com"), 20001);
    EXPECT_EQ(Reply(test::RegisterRecord("x", "y", "one@example.com")), "REGISTERNEWFAILEMAIL");
    EXPECT_EQ(Reply(test::RegisterRecord("x", "y", "ONE@Example.COM")), "REGISTERNEWFAILEMAIL");
    EXPECT_EQ(Register("three@example.com"), 20002);
    // Nothing usable to log in with: refused without taking a number.
    EXPECT_EQ(Reply(test::RegisterRecord("x", "", "four@example.com")), "GENERALERROR");
    EXPECT_EQ(Reply(test::RegisterRecord("x", "y", "")), "GENERALERROR");
    EXPECT_EQ(Register("four@example.com"), 20003);
}

TEST_P(ServerDirectoryTest, NumbersStopAtTheLargestThirtyTwoBitNumber) {
    DirectoryConfig config;
    config.first_number = 2147483647;
    Directory near_end(*store_, hasher_, config);
    auto reg = [&](const char* email) {
        return near_end.Handle(DecodeRequest(test::RegisterRecord("n", "p", email)).request, "x");
    };
    Outcome first = reg("a@b.c");
    EXPECT_EQ(rec::GetInt(first.reply.data(), 18), 2147483647);
    EXPECT_EQ(test::ReplyWord(reg("b@b.c").reply), "GENERALERROR");
}

TEST_P(ServerDirectoryTest, LoginChecksThePasswordAndSendsPeriodAndTexts) {
    std::int32_t number = Register("a@b.c", "\xC3\xDC\xC2\xEB");
    directory_.reset();  // a fresh process: nothing remembered about checked passwords
    Outcome ok = Send(test::LoginRecord(number, "\xC3\xDC\xC2\xEB", 7000));
    EXPECT_EQ(rec::GetInt(ok.reply.data(), rec::login_result::kResult), 0);
    EXPECT_EQ(rec::GetInt(ok.reply.data(), rec::login_result::kLivePeriod), 30);
    EXPECT_STREQ(reinterpret_cast<const char*>(ok.reply.data() + 52), "hello");

    EXPECT_EQ(LoginResultCode(number, "wrong"), rec::login_result::kWrongPassword);
    EXPECT_EQ(LoginResultCode(number, ""), rec::login_result::kWrongPassword);
    EXPECT_EQ(LoginResultCode(99999, "pw"), rec::login_result::kWrongPassword);
    EXPECT_EQ(LoginResultCode(0, "pw"), rec::login_result::kRefused);
    EXPECT_EQ(LoginResultCode(number, "\xC3\xDC\xC2\xEB", "10.0.0.1", -1),
              rec::login_result::kRefused);
    EXPECT_EQ(LoginResultCode(number, "\xC3\xDC\xC2\xEB", "10.0.0.1", 70000),
              rec::login_result::kRefused);
    // A refused login gives out no texts.
    Outcome bad = Send(test::LoginRecord(number, "wrong", 7000));
    EXPECT_EQ(bad.reply[52], 0);
}

TEST_P(ServerDirectoryTest, OnlyAnUncheckedPasswordTakesTheSlowPath) {
    std::int32_t number = Register("a@b.c", "pw");
    auto login = [&](const char* password) {
        return DecodeRequest(test::LoginRecord(number, password, 7000)).request;
    };
    EXPECT_TRUE(directory().IsSlow(DecodeRequest(test::RegisterRecord("n", "p", "e@f")).request));
    EXPECT_FALSE(directory().IsSlow(login("pw")));  // checked at registration
    EXPECT_TRUE(directory().IsSlow(login("other")));
    EXPECT_EQ(LoginResultCode(number, "other"), rec::login_result::kWrongPassword);
    EXPECT_TRUE(directory().IsSlow(login("other")));  // failures are not remembered
    EXPECT_EQ(LoginResultCode(number, "pw"), rec::login_result::kAccepted);
    EXPECT_FALSE(directory().IsSlow(DecodeRequest(test::QueryRecord(1, 2)).request));
}

TEST_P(ServerDirectoryTest, PasswordsAreStoredOnlyAsArgon2idHashes) {
    std::int32_t number = Register("a@b.c", "clear-text-pw");
    std::optional<std::string> hash = store_->PasswordHash(number);
    ASSERT_TRUE(hash);
    EXPECT_EQ(hash->rfind("$argon2id$", 0), 0u);
    EXPECT_EQ(hash->find("clear-text-pw"), std::string::npos);
    // Same password, another subscriber: another salt.
    std::int32_t other = Register("b@b.c", "clear-text-pw");
    EXPECT_NE(*store_->PasswordHash(other), *hash);
}

TEST_P(ServerDirectoryTest, SessionsAnswerQueriesUntilTheyExpire) {
    std::int32_t a = Register("a@b.c");
    EXPECT_EQ(Reply(test::QueryRecord(1, a)), "QUERYUSERRESULTNOTFOND");
    ASSERT_EQ(LoginResultCode(a, "pw", "10.1.2.3", 4567), 0);
    Outcome found = Send(test::QueryRecord(1, a));
    EXPECT_EQ(test::ReplyWord(found.reply), "QUERYUSERRESULT");
    EXPECT_STREQ(reinterpret_cast<const char*>(found.reply.data() + 20), "10.1.2.3");
    EXPECT_EQ(rec::GetInt(found.reply.data(), 36), 4567);

    // Keep-alives within the time-out keep it, however long it runs.
    for (int i = 0; i < 5; ++i) {
        clock_.Advance(60s);
        ASSERT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "GENERALCMDSUCCESS");
    }
    clock_.Advance(89s);
    EXPECT_EQ(Reply(test::QueryRecord(1, a)), "QUERYUSERRESULT");
    clock_.Advance(1s);
    EXPECT_EQ(Reply(test::QueryRecord(1, a)), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "ALREADYTIMEOUT");
    // Expired means gone: later keep-alives keep failing until a new login.
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "ALREADYTIMEOUT");
    ASSERT_EQ(LoginResultCode(a, "pw", "10.1.2.3", 4567), 0);
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "GENERALCMDSUCCESS");
}

TEST_P(ServerDirectoryTest, LogoutAndPortChangeComeOnlyFromTheSessionsAddress) {
    std::int32_t a = Register("a@b.c");
    ASSERT_EQ(LoginResultCode(a, "pw", "10.1.2.3", 4567), 0);

    EXPECT_EQ(Reply(test::ChangePortRecord(a, 9999), "10.6.6.6"), "GENERALCMDFAIL");
    EXPECT_EQ(Reply(test::LogoutRecord(a), "10.6.6.6"), "GENERALCMDFAIL");
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.6.6.6"), "ALREADYTIMEOUT");
    Outcome q = Send(test::QueryRecord(1, a));
    EXPECT_EQ(rec::GetInt(q.reply.data(), 36), 4567);

    EXPECT_EQ(Reply(test::ChangePortRecord(a, -1), "10.1.2.3"), "GENERALCMDFAIL");
    EXPECT_EQ(Reply(test::ChangePortRecord(a, 5000), "10.1.2.3"), "GENERALCMDSUCCESS");
    q = Send(test::QueryRecord(1, a));
    EXPECT_EQ(rec::GetInt(q.reply.data(), 36), 5000);

    EXPECT_EQ(Reply(test::LogoutRecord(a), "10.1.2.3"), "GENERALCMDSUCCESS");
    EXPECT_EQ(Reply(test::QueryRecord(1, a)), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(Reply(test::LogoutRecord(a), "10.1.2.3"), "GENERALCMDFAIL");
    EXPECT_EQ(Reply(test::ChangePortRecord(a, 5000), "10.1.2.3"), "GENERALCMDFAIL");
}

TEST_P(ServerDirectoryTest, APhoneWithoutAListeningPortLogsInButCannotBeCalled) {
    std::int32_t a = Register("a@b.c");
    ASSERT_EQ(LoginResultCode(a, "pw", "10.1.2.3", 0), rec::login_result::kAccepted);
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "GENERALCMDSUCCESS");
    EXPECT_EQ(Reply(test::QueryRecord(1, a)), "QUERYUSERRESULTNOTFOND");
    // A later rebind gives it a port, and a failed one takes it away again.
    EXPECT_EQ(Reply(test::ChangePortRecord(a, 5000), "10.1.2.3"), "GENERALCMDSUCCESS");
    EXPECT_EQ(rec::GetInt(Send(test::QueryRecord(1, a)).reply.data(), 36), 5000);
    EXPECT_EQ(Reply(test::ChangePortRecord(a, 0), "10.1.2.3"), "GENERALCMDSUCCESS");
    EXPECT_EQ(Reply(test::QueryRecord(1, a)), "QUERYUSERRESULTNOTFOND");
}

TEST_P(ServerDirectoryTest, SessionsOutliveARestartAndAreSharedBetweenInstances) {
    std::int32_t a = Register("a@b.c");
    std::int32_t b = Register("b@b.c");
    ASSERT_EQ(LoginResultCode(a, "pw", "10.1.2.3", 4567), 0);
    clock_.Advance(60s);
    // A restart: a new process opens the same database.
    directory_.reset();
    store_.reset();
    store_ = OpenStore(spec_, 4);
    clock_.Advance(20s);
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "GENERALCMDSUCCESS");
    EXPECT_EQ(rec::GetInt(Send(test::QueryRecord(b, a)).reply.data(), 36), 4567);

    // A second instance on the same database sees and changes the same sessions.
    std::unique_ptr<SubscriberStore> other_store = OpenStore(spec_, 2);
    Directory other(*other_store, hasher_, Config());
    auto on_other = [&](const test::Bytes& record, const char* peer) {
        return other.Handle(DecodeRequest(record).request, peer);
    };
    EXPECT_EQ(test::ReplyWord(on_other(test::LiveRecord(a), "10.1.2.3").reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(test::ReplyWord(on_other(test::ChangePortRecord(a, 6000), "10.1.2.3").reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(rec::GetInt(Send(test::QueryRecord(b, a)).reply.data(), 36), 6000);
    ASSERT_EQ(LoginResultCode(b, "pw", "10.9.9.9", 1234), 0);
    EXPECT_EQ(other.SessionCount(), 2u);
    EXPECT_EQ(test::ReplyWord(on_other(test::LogoutRecord(a), "10.1.2.3").reply),
              "GENERALCMDSUCCESS");
    EXPECT_EQ(Reply(test::QueryRecord(b, a)), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(Reply(test::LiveRecord(a), "10.1.2.3"), "ALREADYTIMEOUT");
    // Expiry is judged by the shared times, whichever instance asks.
    clock_.Advance(89s);
    EXPECT_EQ(test::ReplyWord(on_other(test::QueryRecord(a, b), "10.1.2.3").reply),
              "QUERYUSERRESULT");
    clock_.Advance(1s);
    EXPECT_EQ(test::ReplyWord(on_other(test::QueryRecord(a, b), "10.1.2.3").reply),
              "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(Reply(test::LiveRecord(b), "10.9.9.9"), "ALREADYTIMEOUT");
}

TEST_P(ServerDirectoryTest, ANewPasswordOrARemovalTakesEffectAtOnce) {
    std::int32_t a = Register("a@b.c", "old");
    std::int32_t b = Register("b@b.c", "pw");
    ASSERT_EQ(LoginResultCode(a, "old"), 0);  // now remembered as checked
    ASSERT_TRUE(store_->SetPasswordHash(a, hasher_.Hash("new")));
    EXPECT_EQ(LoginResultCode(a, "old"), rec::login_result::kWrongPassword);
    EXPECT_EQ(LoginResultCode(a, "new"), rec::login_result::kAccepted);

    ASSERT_EQ(LoginResultCode(b, "pw", "10.2.2.2", 3000), 0);
    ASSERT_TRUE(store_->RemoveSubscriber(b));
    EXPECT_FALSE(store_->RemoveSubscriber(b));
    EXPECT_EQ(Reply(test::QueryRecord(a, b)), "QUERYUSERRESULTNOTFOND");
    EXPECT_EQ(LoginResultCode(b, "pw"), rec::login_result::kWrongPassword);
    // Its e-mail address is free again, but its number is never given out
    // again: others may have it in their phone books.
    EXPECT_EQ(Register("b@b.c"), 20002);
}

// A database that does not answer must not make phones start over.
class UnansweringStore final : public test::ForwardingStore {
  public:
    using ForwardingStore::ForwardingStore;
    SessionStatus TouchSession(std::int32_t, const std::string&, std::int64_t,
                               std::int64_t) override {
        return SessionStatus::kFailed;
    }
};

TEST_P(ServerDirectoryTest, AKeepAliveTheDatabaseCannotAnswerIsNotATimeOut) {
    UnansweringStore failing(*store_);
    Directory d(failing, hasher_, Config());
    Outcome o = d.Handle(DecodeRequest(test::LiveRecord(20000)).request, "10.0.0.1");
    EXPECT_EQ(test::ReplyWord(o.reply), "GENERALERROR");
}

TEST_P(ServerDirectoryTest, ConcurrentRegistrationsAndLoginsKeepNumbersUnique) {
    directory();
    std::vector<std::thread> threads;
    std::vector<std::vector<std::int32_t>> numbers(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                std::string email = "u" + std::to_string(t) + "_" + std::to_string(i) + "@x";
                Outcome o = directory_->Handle(
                    DecodeRequest(test::RegisterRecord("n", "pw", email)).request, "10.0.0.1");
                std::int32_t n = rec::GetInt(o.reply.data(), 18);
                numbers[t].push_back(n);
                directory_->Handle(DecodeRequest(test::LoginRecord(n, "pw", 1000 + i)).request,
                                   "10.0.0.2");
                directory_->Handle(DecodeRequest(test::QueryRecord(n, n)).request, "10.0.0.3");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<std::int32_t> all;
    for (const auto& list : numbers) {
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), 40u);
    EXPECT_EQ(*all.begin(), 20000);
    EXPECT_EQ(*all.rbegin(), 20039);
    EXPECT_EQ(directory_->SessionCount(), 40u);
}

}  // namespace
}  // namespace kestrona::server
