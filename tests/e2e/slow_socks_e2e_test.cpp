// Calls to a phone whose SOCKS5 proxy answers late: a relay in front of dante
// holds back the proxy's answer to each BIND request for two seconds, so the
// callee's audio ports are open only well after it starts ringing. A user
// who answers at the first ring, and an answering machine that answers at
// once, must still get a call in which the caller's streams are connected:
// the call's parameters reach the caller before the answer does.
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e/call_fixture.h"
#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "store/records.h"
#include "support/delay_relay.h"
#include "support/proxy_fixtures.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

constexpr int kBindDelayMs = 2000;

class SlowSocksCallTest : public CallFixture {
  protected:
    void SetUp() override {
        if (!test::TinyproxyProcess::Available())
            GTEST_SKIP() << "tinyproxy is not installed (" << test::TinyproxyProcess::kBinary
                         << "); packages.txt lists it";
        if (!test::DantedProcess::Available())
            GTEST_SKIP() << "dante-server is not installed (" << test::DantedProcess::kBinary
                         << "); packages.txt lists it";
        CallFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(tinyproxy.Start()) << tinyproxy.Log();
        ASSERT_TRUE(dante.Start()) << dante.Log();
        // A SOCKS5 success reply (version 5, status 0, reserved, IPv4).
        ASSERT_TRUE(relay.Start(dante.Port(), std::string("\x05\x00\x00\x01", 4), kBindDelayMs));
    }

    // A user behind the proxies whose SOCKS5 proxy is the slow one.
    std::map<std::string, std::string> BehindSlowProxy() const {
        return {{"proxy", "1"},
                {"proxyaddress", "127.0.0.1"},
                {"httpport", std::to_string(tinyproxy.Port())},
                {"sock5port", std::to_string(relay.Port())},
                {"proxyusername", "-"},
                {"proxypassword", "-"}};
    }

    std::string Logs() const override {
        return "\n--- server\n" + server->Log() + "\n--- dante\n" + dante.Log();
    }

    test::TinyproxyProcess tinyproxy;
    test::DantedProcess dante;
    test::DelayRelay relay;
};

}  // namespace

TEST_F(SlowSocksCallTest, AnsweredAtTheFirstRing) {
    auto a = MakePhone("nia", speech);
    auto b = MakePhone("oto", reversed, BehindSlowProxy());
    ASSERT_TRUE(a->Status() && b->Status()) << Logs();
    const int delayedAtStart = relay.Delayed();
    EXPECT_GT(delayedAtStart, 0) << "the callee's listening point did not come through the relay";

    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << Logs();
    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2)) << Logs();
    ASSERT_TRUE(b->WaitState(2)) << Logs();
    const double heardA = SpeakerSeconds(*a), heardB = SpeakerSeconds(*b);
    EXPECT_TRUE(WaitUntil(
        [&] { return SpeakerSeconds(*a) >= heardA + 4 && SpeakerSeconds(*b) >= heardB + 4; }));
    // The audio ports' BIND answers were among those held back.
    EXPECT_GE(relay.Delayed(), delayedAtStart + 2);
    EXPECT_EQ(a->Status()->state, 2);
    EXPECT_EQ(b->Status()->state, 2) << "the callee lost its streams";
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));
    ASSERT_TRUE(b->WaitState(0)) << Logs();
    EXPECT_EQ(b->History(kHistoryTaken).size(), 1u);
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

TEST_F(SlowSocksCallTest, AnsweringMachineWithNoWait) {
    auto a = MakePhone("pia", speech);
    auto settings = BehindSlowProxy();
    settings.insert({{"autoaa", "1"}, {"aatime", "0"}, {"forcebreak", "1"}, {"aafbtime", "6"}});
    auto b = MakePhone("quin", reversed, settings);
    ASSERT_TRUE(a->Status() && b->Status()) << Logs();

    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(7)) << Logs();
    ASSERT_TRUE(b->WaitState(7)) << Logs();
    // The machine breaks off by itself; the caller follows.
    ASSERT_TRUE(b->WaitState(0, 40000)) << Logs();
    ASSERT_TRUE(a->WaitState(0)) << Logs();

    const auto missed = b->History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].number, a->Number());
    EXPECT_EQ(missed[0].recorded, 1);
    const auto recording = b->WorkDir() / "record" / (missed[0].Stem() + "in");
    ASSERT_TRUE(std::filesystem::exists(recording));
    const double recorded = HeardCorrelation(recording, speech, missed[0].rate);
    std::printf("[ measured ] recording's waveform match with the caller: %.2f\n", recorded);
    EXPECT_GT(recorded, 0.6) << "the machine did not record the caller";
}
