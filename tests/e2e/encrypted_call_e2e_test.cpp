// Encrypted calls between whole phones: the key exchange on the command
// connection, sealed audio streams heard on both sides, the four characters
// both displays show, a plain call with a phone that cannot encrypt, and
// what a relay in the middle can and cannot do. The relay sits between the
// caller and its HTTP proxy, so it sees every byte the caller's tunnels
// carry.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

#include <QStringList>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e/call_fixture.h"
#include "e2e/call_tap.h"
#include "e2e/e2e_rig.h"
#include "platform/temp_dir.h"
#include "store/records.h"
#include "support/proxy_fixtures.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

constexpr int kStrPeerCannotEncrypt = 165;
constexpr int kStreamHeader = 24;
// An Opus frame at a constant 24 kbit/s, sealed, in its record.
constexpr int kSealedFrameRecord = 2 + 24000 / 8 / 50 + 17;

std::map<std::string, std::string> Display(const Phone& phone) {
    std::map<std::string, std::string> lines;
    std::istringstream in(phone.Rpc({QStringLiteral("display")}).toStdString());
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            lines[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return lines;
}

// Waits until the display says the call is encrypted (the key exchange can
// end a moment after the state changed).
std::map<std::string, std::string> EncryptedDisplay(const Phone& phone) {
    std::map<std::string, std::string> shown;
    WaitUntil(
        [&] {
            shown = Display(phone);
            return shown["encrypted"] == "1";
        },
        10000);
    return shown;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class EncryptedCallTest : public CallFixture {
  protected:
    // tinyproxy, dante and the relay in front of tinyproxy.
    bool StartProxies() {
        if (!test::TinyproxyProcess::Available() || !test::DantedProcess::Available()) {
            return false;
        }
        EXPECT_TRUE(tinyproxy.Start()) << tinyproxy.Log();
        EXPECT_TRUE(dante.Start()) << dante.Log();
        EXPECT_TRUE(tap.Start(tinyproxy.Port()));
        tap.SetCommandPorts({server->Port()});
        return true;
    }

    // A user behind the proxies; the HTTP proxy it is given is the relay.
    std::map<std::string, std::string> ProxyMode(bool throughTap) const {
        return {{"proxy", "1"},
                {"proxyaddress", "127.0.0.1"},
                {"httpport", std::to_string(throughTap ? tap.Port() : tinyproxy.Port())},
                {"sock5port", std::to_string(dante.Port())}};
    }

    // Dial, ring, answer, talk until each side played `seconds` more, hang up.
    // Returns the two displays seen while talking.
    std::pair<std::map<std::string, std::string>, std::map<std::string, std::string>> Talk(
        Phone& caller, Phone& callee, double seconds = 4) {
        std::pair<std::map<std::string, std::string>, std::map<std::string, std::string>> shown;
        DialTalkHangUp(caller, callee, seconds, [&] {
            shown = {Display(caller), Display(callee)};
        });
        return shown;
    }

    test::TinyproxyProcess tinyproxy;
    test::DantedProcess dante;
    TunnelTap tap;
};

}  // namespace

// Two phones as installed (encryption preferred), the callee on fixed ports:
// the call is encrypted, both displays show the same four characters from
// the ring on, both sides hear each other, and each phone remembers the
// other's identity under its number, in a file only the user can read.
TEST_F(EncryptedCallTest, DirectCallIsEncryptedAndHeardBothWays) {
    const int cmd = test::FreeLoopbackPort(), ai = test::FreeLoopbackPort(),
              ao = test::FreeLoopbackPort();
    auto a = MakePhone("ann", speech);
    auto b = MakePhone("bert", reversed,
                       {{"fixport", "1"},
                        {"cmdport", std::to_string(cmd)},
                        {"aiport", std::to_string(ai)},
                        {"aoport", std::to_string(ao)}});
    ASSERT_TRUE(a->Status() && b->Status());

    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << a->Output() << b->Output();
    // Known while it rings, before anyone answers.
    const auto ringing = EncryptedDisplay(*b);
    EXPECT_EQ(ringing.at("encrypted"), "1");
    EXPECT_EQ(ringing.at("identity"), "new");
    ASSERT_EQ(ringing.at("sas").size(), 4u);
    EXPECT_NE(ringing.at("peer").find(ringing.at("sas")), std::string::npos) << ringing.at("peer");
    const auto dialling = EncryptedDisplay(*a);
    EXPECT_EQ(dialling.at("sas"), ringing.at("sas"));
    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2));
    ASSERT_TRUE(b->WaitState(2));
    const double heardA = SpeakerSeconds(*a), heardB = SpeakerSeconds(*b);
    ASSERT_TRUE(WaitUntil(
        [&] { return SpeakerSeconds(*a) >= heardA + 4 && SpeakerSeconds(*b) >= heardB + 4; }));
    EXPECT_EQ(Display(*a).at("sas"), ringing.at("sas"));
    EXPECT_EQ(a->Status()->state, 2);
    EXPECT_EQ(b->Status()->state, 2);
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));
    ASSERT_TRUE(b->WaitState(0));
    // The history keeps its format: one record each, as for any call.
    EXPECT_EQ(a->History(kHistoryMade).size(), 1u);
    EXPECT_EQ(b->History(kHistoryTaken).size(), 1u);

    EXPECT_NE(ReadText(a->WorkDir() / "known_peers.txt").find(std::to_string(b->Number()) + " "),
              std::string::npos);
    EXPECT_NE(ReadText(b->WorkDir() / "known_peers.txt").find(std::to_string(a->Number()) + " "),
              std::string::npos);
    struct stat key {};
    ASSERT_EQ(::stat((a->WorkDir() / "identity.key").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    ExpectEachHeardTheOther(*a, speech, *b, reversed);
}

// The caller behind the HTTP proxy (the relay in front of tinyproxy), the
// callee listening on the SOCKS5 proxy: both hear each other, while the
// bytes of the caller's audio stream are its stream header and sealed
// frames only (so the call was encrypted), and decoded as coded speech
// they are noise.
TEST_F(EncryptedCallTest, ThroughBothProxiesTheStreamsAreSealed) {
    if (!StartProxies()) {
        GTEST_SKIP() << "tinyproxy or dante-server is not installed; packages.txt lists them";
    }
    auto a = MakePhone("cora", speech, ProxyMode(true));
    auto b = MakePhone("dale", reversed, ProxyMode(false));
    ASSERT_TRUE(a->Status() && b->Status());
    ExpectCallWorks(*a, *b);

    // The caller's sending stream is the tunnel that carried the most.
    TunnelTap::Tunnel speechTunnel;
    for (const auto& t : tap.Tunnels()) {
        if (t.toTarget.size() > speechTunnel.toTarget.size()) {
            speechTunnel = t;
        }
    }
    // An Opus call: the stream header, then frame records of sealed frames,
    // all of one length (a constant bit rate, so their lengths do not tell
    // speech from pauses).
    const std::string& wire = speechTunnel.toTarget;
    std::vector<std::size_t> lengths;
    const auto asOpus = DecodeFramesAsOpus(wire, kStreamHeader, lengths);
    ASSERT_GT(lengths.size(), 100u) << wire.size();
    EXPECT_GT(lengths[0], 17u);
    EXPECT_EQ(std::size_t(std::count(lengths.begin(), lengths.end(), lengths[0])), lengths.size());
    const double asSpeech = BestWaveformMatch(asOpus, ReadSamples(speech), 8000, 3.0);
    std::printf("[ measured ] caller's audio stream decoded as speech: match %.2f\n", asSpeech);
    EXPECT_LT(asSpeech, 0.4);
}

// A phone with encryption off stands for one built without it. With a phone
// that prefers encryption, plain calls work both ways (the caller that
// offered calls again at once without the offer); a phone that requires
// encryption refuses it as callee and, as caller, ends with a message.
TEST_F(EncryptedCallTest, PlainPhonesAreCalledPlainOrRefusedAsSet) {
    auto plain = MakePhone("ed", speech, {{"encryption", "off"}});
    auto open = MakePhone("flo", reversed);
    auto strict = MakePhone("gil", reversed, {{"encryption", "required"}});
    ASSERT_TRUE(plain->Status() && open->Status() && strict->Status());

    const auto fromPlain = Talk(*plain, *open, 2);
    EXPECT_EQ(fromPlain.first.at("encrypted"), "0");
    EXPECT_EQ(fromPlain.second.at("encrypted"), "0");
    // The offer, refused, then the plain call: the callee rang once.
    ExpectCallWorks(*open, *plain);
    EXPECT_EQ(plain->History(kHistoryTaken).size(), 1u);
    EXPECT_TRUE(plain->History(kHistoryMissed).empty());
    EXPECT_EQ(open->History(kHistoryMade).size(), 1u);

    // Required as callee: the plain request is refused as unsupported.
    plain->Rpc({QStringLiteral("dial"), QString::number(strict->Number())});
    EXPECT_TRUE(plain->WaitState(8)) << strict->Output();
    plain->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(plain->WaitState(0));
    // Required as caller: the call ends with the message; nothing rang.
    strict->Rpc({QStringLiteral("dial"), QString::number(plain->Number())});
    EXPECT_TRUE(WaitUntil([&] { return HasMessage(*strict, kStrPeerCannotEncrypt); }))
        << strict->Output();
    EXPECT_TRUE(strict->WaitState(0));
    EXPECT_EQ(plain->History(kHistoryTaken).size(), 1u);
    EXPECT_TRUE(plain->History(kHistoryMissed).empty());
    EXPECT_TRUE(strict->History(kHistoryTaken).empty());
}

// After one call straight through, the relay stands in the middle of the
// next key exchange with keys of its own: both phones still ring and dial,
// but their four characters differ, and both warn before anyone answers
// that the other's identity has changed.
TEST_F(EncryptedCallTest, ManInTheMiddleIsShownByTheCharactersAndTheIdentity) {
    if (!StartProxies()) {
        GTEST_SKIP() << "tinyproxy or dante-server is not installed; packages.txt lists them";
    }
    auto a = MakePhone("hugo", speech, ProxyMode(true));
    auto b = MakePhone("iris", reversed);
    ASSERT_TRUE(a->Status() && b->Status());
    const auto first = Talk(*a, *b, 1);
    EXPECT_EQ(first.first.at("identity"), "new");
    EXPECT_EQ(first.first.at("sas"), first.second.at("sas"));

    tap.InterceptKeyExchange(true);
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << a->Output() << b->Output();
    const auto callee = EncryptedDisplay(*b);
    const auto caller = EncryptedDisplay(*a);
    EXPECT_EQ(tap.Intercepted(), 2);
    EXPECT_EQ(a->Status()->state, 1);
    ASSERT_EQ(callee.at("sas").size(), 4u);
    ASSERT_EQ(caller.at("sas").size(), 4u);
    EXPECT_NE(callee.at("sas"), caller.at("sas"));
    EXPECT_EQ(callee.at("identity"), "changed");
    EXPECT_EQ(caller.at("identity"), "changed");
    EXPECT_NE(callee.at("status").find("身份已改变"), std::string::npos) << callee.at("status");
    EXPECT_NE(caller.at("status").find("身份已改变"), std::string::npos) << caller.at("status");
    // Nothing is carried past the relay's exchanges, not even the end of
    // the call: each side hangs up.
    a->Rpc({QStringLiteral("hangup")});
    b->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(a->WaitState(0));
    ASSERT_TRUE(b->WaitState(0));
    EXPECT_NE(a->Output().find("another identity key"), std::string::npos);
    EXPECT_NE(b->Output().find("another identity key"), std::string::npos);
}

// One byte of the caller's sealed audio flipped on the way: the callee's
// stream fails its check and the call shows as broken there; nothing of
// the spoilt block is played.
TEST_F(EncryptedCallTest, OneFlippedAudioByteBreaksTheCall) {
    if (!StartProxies()) {
        GTEST_SKIP() << "tinyproxy or dante-server is not installed; packages.txt lists them";
    }
    auto a = MakePhone("jon", speech, ProxyMode(true));
    auto b = MakePhone("kai", reversed);
    ASSERT_TRUE(a->Status() && b->Status());
    tap.FlipAudioByte(kStreamHeader + 10 * kSealedFrameRecord + 30);
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3)) << a->Output() << b->Output();
    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2));
    EXPECT_TRUE(b->WaitState(6)) << b->Output();
    EXPECT_EQ(tap.Flipped(), 1);
    EXPECT_NE(b->Output().find("failed its check"), std::string::npos) << b->Output();
    b->Rpc({QStringLiteral("hangup")});
    EXPECT_TRUE(b->WaitState(0));
    EXPECT_TRUE(a->WaitState(0));
}

// The answering machine takes an encrypted call: the caller only sends,
// the machine only receives, and its recording is the caller's speech as
// plain sound, the same as for any call.
TEST_F(EncryptedCallTest, AnsweringMachineRecordsAnEncryptedCall) {
    auto a = MakePhone("lea", speech);
    auto b = MakePhone("max", reversed,
                       {{"autoaa", "1"}, {"aatime", "0"}, {"forcebreak", "1"}, {"aafbtime", "6"}});
    ASSERT_TRUE(a->Status() && b->Status());
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(7)) << a->Output() << b->Output();
    EXPECT_EQ(EncryptedDisplay(*a).at("encrypted"), "1");
    EXPECT_EQ(EncryptedDisplay(*b).at("encrypted"), "1");
    ASSERT_TRUE(b->WaitState(0, 40000));
    ASSERT_TRUE(a->WaitState(0));

    const auto missed = b->History(kHistoryMissed);
    ASSERT_EQ(missed.size(), 1u);
    EXPECT_EQ(missed[0].recorded, 1);
    const auto recording = b->WorkDir() / "record" / (missed[0].Stem() + "in");
    ASSERT_TRUE(std::filesystem::exists(recording));
    const double recorded = HeardCorrelation(recording, speech, missed[0].rate);
    std::printf("[ measured ] recording's waveform match with the caller: %.2f\n", recorded);
    EXPECT_GT(recorded, 0.6);
}
