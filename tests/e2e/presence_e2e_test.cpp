// Presence between whole phones through the real directory server: a phone
// sees another online while it runs, offline once it has quit, and offline
// while it asks to appear so, though it is logged in.
#include <gtest/gtest.h>

#include <QThread>
#include <fstream>

#include "e2e/call_fixture.h"
#include "store/phone_book.h"
#include "support/book_records.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

// The server's look-up limits are off: the test asks more often than a
// phone does (an answer under the limit keeps the states as they were).
class PresenceTest : public CallFixture {
  protected:
    void SetUp() override {
        CallFixture::SetUp();
        server->Stop();
        server = std::make_unique<ServerProcess>(
            dir.path() / "unlimited", std::string(),
            QStringList{QStringLiteral("--presence-lookups-per-number"), QStringLiteral("0"),
                        QStringLiteral("--presence-lookups-per-address"), QStringLiteral("0")});
        ASSERT_TRUE(server->Start()) << server->Log();
    }

    // What `asker` says of the numbers now, as "N=state ...".
    static std::string Presence(const Phone& asker, std::initializer_list<int32_t> numbers) {
        QStringList args{QStringLiteral("presence")};
        for (const int32_t n : numbers) args << QString::number(n);
        return asker.Rpc(args).trimmed().toStdString();
    }
    static std::string Is(int32_t number, const char* state) {
        return std::to_string(number) + "=" + state;
    }
    // Each answer tells what the look-up of the answer before found.
    static bool Shows(const Phone& asker, int32_t number, const char* state) {
        return WaitUntil([&] { return Presence(asker, {number}) == Is(number, state); }, 40000,
                         250);
    }
    // Written while the phone is stopped: its next start reads it.
    static void SetAppearOffline(Phone& phone, bool on) {
        const auto path = phone.ConfigDir() / "Ostravine" / "Kestrona.conf";
        std::ifstream in(path);
        std::string kept;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("appearoffline=", 0) != 0)
                kept += line + '\n';
        }
        in.close();
        std::ofstream(path) << kept << "appearoffline=" << (on ? 1 : 0) << '\n';
    }
};

TEST_F(PresenceTest, OnlineWhileRunningOfflineAfterQuittingAndHiddenWhenAppearingOffline) {
    auto a = MakePhone("alice", speech);
    auto b = MakePhone("bob", reversed);
    ASSERT_TRUE(a->Status() && b->Status()) << Logs();
    const int32_t bob = b->Number();
    ASSERT_EQ(SaveBook({test::Group(1, "friends")}, {test::Person(bob, "bob", 1)}, a->WorkDir()),
              SaveBookResult::kSaved);

    // A number nobody has is offline, in the same look-up.
    const int32_t nobody = 2000000000;
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Presence(*a, {bob, nobody}) == Is(bob, "online") + " " + Is(nobody, "offline");
        },
        40000, 250))
        << Presence(*a, {bob, nobody}) << Logs();

    b->Quit();
    EXPECT_TRUE(Shows(*a, bob, "offline")) << Presence(*a, {bob}) << Logs();

    // Logged in again, but appearing offline: every look-up says offline.
    SetAppearOffline(*b, true);
    ASSERT_TRUE(b->Start()) << b->Output() << Logs();
    ASSERT_GT(b->Status()->own, 0);
    EXPECT_TRUE(Shows(*a, bob, "offline")) << Logs();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Presence(*a, {bob}), Is(bob, "offline"));
        QThread::msleep(250);
    }

    // The same phone shown again is online: it was the wish that hid it.
    b->Quit();
    SetAppearOffline(*b, false);
    ASSERT_TRUE(b->Start()) << b->Output() << Logs();
    EXPECT_TRUE(Shows(*a, bob, "online")) << Presence(*a, {bob}) << Logs();
    a->Quit();
    b->Quit();
}

}  // namespace
