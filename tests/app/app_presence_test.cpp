// The presence service against a directory server stand-in on loopback:
// look-ups answered, refused and split, a server that does not know the
// records, and the appear-offline wish.
#include <gtest/gtest.h>

#include <QByteArray>
#include <cstring>

#include "app/presence.h"
#include "net/net_test_util.h"
#include "net/presence_records.h"
#include "net/records.h"

namespace kestrona {
namespace {

using test::PumpFor;
using test::PumpUntil;
using test::ScriptedServer;

QByteArray Plain(const char* word) {
    QByteArray r(20, 0);
    std::memcpy(r.data(), word, std::strlen(word));
    return r;
}

QByteArray Answer(int32_t result, int32_t n, uint64_t bits) {
    QByteArray r(int(kPresenceReplySize), 0);
    std::memcpy(r.data(), "PRESENCERESULT", 14);
    PutInt32(r.data() + 20, result);
    PutInt32(r.data() + 24, n);
    for (int i = 0; i < 8; ++i) r[28 + i] = char(bits >> (8 * i));
    return r;
}

bool IsQuery(const QByteArray& chunk) {
    return chunk.size() == int(kQueryPresenceRecordSize) && chunk.startsWith("QUERYPRESENCE");
}

// Answers every look-up: even numbers are online.
QByteArray EvenOnline(const QByteArray& chunk) {
    if (!IsQuery(chunk))
        return {};
    const int32_t n = GetInt32(chunk.data() + 24);
    uint64_t bits = 0;
    for (int32_t i = 0; i < n; ++i)
        if (GetInt32(chunk.data() + 28 + 4 * i) % 2 == 0)
            bits |= uint64_t{1} << i;
    return Answer(0, n, bits);
}

std::vector<QByteArray> Queries(const ScriptedServer& server) {
    std::vector<QByteArray> out;
    for (const QByteArray& chunk : server.received)
        if (IsQuery(chunk))
            out.push_back(chunk);
    return out;
}

class PresenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        presence = std::make_unique<CPresence>(
            [this] {
                ServerTarget t;
                t.host = "127.0.0.1";
                t.port = server.Port();
                t.timeoutMs = timeoutMs;
                return t;
            },
            200);
        QObject::connect(presence.get(), &PresenceSource::updated, [this] { ++updates; });
    }
    void TearDown() override { presence.reset(); }

    ScriptedServer server;
    int timeoutMs = 3000;
    int updates = 0;
    std::unique_ptr<CPresence> presence;
};

TEST_F(PresenceTest, LongListsAreAskedInBatchesAndRefreshedWhileWatched) {
    server.reply = EvenOnline;
    presence->LoggedIn(777, false);
    std::vector<int32_t> numbers;
    for (int32_t n = 1; n <= 70; ++n) numbers.push_back(n);
    numbers.push_back(0);
    numbers.push_back(7);  // twice
    auto watch = presence->WatchNumbers(numbers);
    ASSERT_TRUE(PumpUntil([&] {
        return presence->StateOf(1) != PresenceState::kUnknown &&
               presence->StateOf(70) != PresenceState::kUnknown;
    }));
    EXPECT_EQ(presence->StateOf(2), PresenceState::kOnline);
    EXPECT_EQ(presence->StateOf(7), PresenceState::kOffline);
    EXPECT_EQ(presence->StateOf(66), PresenceState::kOnline);
    EXPECT_EQ(presence->StateOf(69), PresenceState::kOffline);
    EXPECT_EQ(presence->StateOf(0), PresenceState::kOffline);
    EXPECT_EQ(presence->StateOf(71), PresenceState::kUnknown);  // never asked
    const auto asked = Queries(server);
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(GetInt32(asked[0].data() + 20), 777);
    EXPECT_EQ(GetInt32(asked[0].data() + 24) + GetInt32(asked[1].data() + 24), 70);
    EXPECT_EQ(GetInt32(asked[0].data() + 24), 64);

    // The watch asks again at every refresh, and not after it is gone.
    const std::size_t before = Queries(server).size();
    ASSERT_TRUE(PumpUntil([&] { return Queries(server).size() >= before + 2; }));
    watch.reset();
    PumpFor(400);
    const std::size_t after = Queries(server).size();
    PumpFor(800);
    EXPECT_EQ(Queries(server).size(), after);
    EXPECT_TRUE(presence->ServerKnows());
}

TEST_F(PresenceTest, ARefusalLeavesEveryoneUnknownAndIsAskedAgain) {
    server.reply = [](const QByteArray& chunk) {
        return IsQuery(chunk) ? Answer(1, 0, 0) : QByteArray();
    };
    presence->LoggedIn(777, false);
    presence->Refresh({5, 6});
    ASSERT_TRUE(PumpUntil([&] { return updates >= 2; }));  // the login, then the answer
    EXPECT_EQ(presence->StateOf(5), PresenceState::kUnknown);
    server.reply = EvenOnline;
    presence->Refresh({5, 6});
    ASSERT_TRUE(PumpUntil([&] { return presence->StateOf(6) == PresenceState::kOnline; }));
    EXPECT_EQ(presence->StateOf(5), PresenceState::kOffline);
}

// The original server answers GENERALERROR, or nothing in time: everyone is
// unknown and that server is not asked again until the next login.
TEST_F(PresenceTest, AServerThatDoesNotKnowTheRecordsIsLeftAloneUntilTheNextLogin) {
    timeoutMs = 400;
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "GENERALERROR");
        server.reply = [silent](const QByteArray& chunk) {
            return IsQuery(chunk) && !silent ? Plain("GENERALERROR") : QByteArray();
        };
        presence->LoggedIn(777, false);
        auto watch = presence->WatchNumbers({5, 6});
        ASSERT_TRUE(PumpUntil([&] { return !presence->ServerKnows(); }));
        EXPECT_EQ(presence->StateOf(6), PresenceState::kUnknown);
        const int connections = server.connections;
        presence->Refresh({5, 6});
        PumpFor(800);  // several refresh periods
        EXPECT_EQ(server.connections, connections);

        server.reply = EvenOnline;
        presence->LoggedIn(777, false);
        ASSERT_TRUE(PumpUntil([&] { return presence->StateOf(6) == PresenceState::kOnline; }));
        EXPECT_TRUE(presence->ServerKnows());
    }
}

TEST_F(PresenceTest, AppearOfflineIsToldAfterTheLoginAndWhenItChanges) {
    std::vector<int32_t> modes;
    server.reply = [&](const QByteArray& chunk) {
        if (chunk.size() != int(kPresenceModeRecordSize) || !chunk.startsWith("PRESENCEMODE"))
            return QByteArray();
        EXPECT_EQ(GetInt32(chunk.data() + 20), 777);
        modes.push_back(GetInt32(chunk.data() + 24));
        return Plain("GENERALCMDSUCCESS");
    };
    presence->LoggedIn(777, true);
    ASSERT_TRUE(PumpUntil([&] { return modes.size() == 1; }));
    presence->SetAppearOffline(false);
    presence->SetAppearOffline(false);  // no change: nothing to tell
    presence->SetAppearOffline(true);
    ASSERT_TRUE(PumpUntil([&] { return modes.size() == 3; }));
    PumpFor(200);
    EXPECT_EQ(modes, (std::vector<int32_t>{1, 0, 1}));
    EXPECT_TRUE(presence->ServerKnows());
    // A login shown sends nothing.
    presence->LoggedIn(777, false);
    PumpFor(300);
    EXPECT_EQ(modes.size(), 3u);
}

}  // namespace
}  // namespace kestrona
