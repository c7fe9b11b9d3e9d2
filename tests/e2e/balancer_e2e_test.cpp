// Whole phones against the directory service as a provider runs it: two
// server instances on one PostgreSQL database behind a real HAProxy, which
// hands each connection on with a PROXY protocol v2 header.
#include <gtest/gtest.h>

#include <QThread>

#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "support/haproxy_fixture.h"
#include "support/postgres_fixture.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

class BalancerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaproxyProcess::Available())
            << test::HaproxyProcess::kBinary << " is missing; packages.txt lists haproxy";
        std::string why;
        test::PostgresCluster* cluster = test::PostgresCluster::Shared(&why);
        ASSERT_NE(cluster, nullptr) << why;
        const std::string db = cluster->CreateDatabase();
        ASSERT_FALSE(db.empty()) << cluster->Error();
        // HAProxy checks each instance's /healthz, as an operator's does.
        std::vector<int> health;
        for (int i = 0; i < 2; ++i) {
            health.push_back(test::FreeLoopbackPort());
            const QStringList behind{QStringLiteral("--trusted-proxy"), QStringLiteral("127.0.0.1"),
                                     QStringLiteral("--proxy-only"), QStringLiteral("--metrics"),
                                     QStringLiteral("127.0.0.1:%1").arg(health.back())};
            instances[i] = std::make_unique<ServerProcess>(
                dir.path() / ("instance" + std::to_string(i + 1)), db, behind);
            ASSERT_TRUE(instances[i]->Start()) << instances[i]->Log();
        }
        ASSERT_TRUE(haproxy.Start({instances[0]->Port(), instances[1]->Port()}, health))
            << haproxy.Log();
        speech = SourceDir() / "tests" / "data" / "speech_8k.wav";
        reversed = dir.path() / "reversed_8k.wav";
        std::string error;
        ASSERT_TRUE(WriteReversedSpeech(speech, reversed, error)) << error;
    }

    std::unique_ptr<Phone> MakePhone(const std::string& name, const std::filesystem::path& mic) {
        auto phone = std::make_unique<Phone>(dir.path() / name, haproxy.Port(), mic);
        EXPECT_TRUE(phone->Register(name)) << phone->Output();
        return phone;
    }

    // Keep-alives that instance i has answered so far.
    int Refreshed(int i) const {
        return instances[i] ? Count(instances[i]->Log(), "USERLIVE -> refreshed") : 0;
    }

    void Call(Phone& caller, Phone& callee) {
        ASSERT_EQ(caller.Rpc({QStringLiteral("dial"), QString::number(callee.Number())}),
                  QStringLiteral("ok"));
        ASSERT_TRUE(callee.WaitState(3));
        ASSERT_EQ(callee.Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
        ASSERT_TRUE(caller.WaitState(2));
        ASSERT_TRUE(callee.WaitState(2));
    }

    void HangUp(Phone& a, Phone& b) {
        ASSERT_EQ(a.Rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
        ASSERT_TRUE(a.WaitState(0));
        ASSERT_TRUE(b.WaitState(0));
    }

    kestrona::testing::TempDir dir;
    std::array<std::unique_ptr<ServerProcess>, 2> instances;
    test::HaproxyProcess haproxy;
    std::filesystem::path speech;
    std::filesystem::path reversed;
};

TEST_F(BalancerTest, PhonesGoOnThroughTheOtherInstanceAndThroughRestartsWithoutRelaunch) {
    auto a = MakePhone("alice", speech);
    auto b = MakePhone("bob", reversed);
    ASSERT_TRUE(a->Status() && b->Status());
    const long pidA = a->Status()->pid;
    const long pidB = b->Status()->pid;
    // Both instances served them, each seeing the phone's own address.
    ASSERT_TRUE(WaitUntil([&] { return Refreshed(0) > 0 && Refreshed(1) > 0; }, 20000));
    for (const auto& instance : instances) {
        EXPECT_NE(instance->Log().find("127.0.0.1:"), std::string::npos);
    }

    // They look each other up through the balancer and talk.
    Call(*a, *b);
    QThread::msleep(1500);
    HangUp(*a, *b);

    // One instance dies mid-session: keep-alives and a call go on through
    // the other.
    instances[0]->Kill();
    const int before = Refreshed(1);
    ASSERT_TRUE(WaitUntil([&] { return Refreshed(1) >= before + 6; }, 30000))
        << instances[1]->Log();
    Call(*b, *a);
    HangUp(*b, *a);

    // Both restart: the sessions are in the database, so the next
    // keep-alives are answered as before.
    instances[1]->Stop();
    for (auto& instance : instances) {
        ASSERT_TRUE(instance->Start()) << instance->Log();
    }
    const int after0 = Refreshed(0);
    const int after1 = Refreshed(1);
    ASSERT_TRUE(
        WaitUntil([&] { return Refreshed(0) >= after0 + 2 && Refreshed(1) >= after1 + 2; }, 30000))
        << haproxy.Log();
    EXPECT_EQ(a->Status()->pid, pidA);
    EXPECT_EQ(b->Status()->pid, pidB);
    for (const auto& instance : instances) {
        EXPECT_EQ(instance->Log().find("USERLIVE -> timed out"), std::string::npos)
            << instance->Log();
    }

    Call(*a, *b);
    QThread::msleep(3000);
    ASSERT_EQ(a->Rpc({QStringLiteral("hangup")}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(0));
    EXPECT_EQ(a->Status()->pid, pidA);
    EXPECT_EQ(b->Status()->pid, pidB);
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

}  // namespace
