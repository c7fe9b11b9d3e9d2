// The key exchange of an encrypted call and the sealed command channel: two
// honest phones agree, a man in the middle shows up in the four characters,
// and no altered byte gets through.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/call_handshake.h"
#include "net/records.h"
#include "net/sealed_channel.h"

namespace kestrona {
namespace {

using Step = CallHandshake::Step;
using Role = CallHandshake::Role;
using Bytes = std::vector<uint8_t>;

Bytes RequestCallBytes(int32_t callerId) {
    RequestCall rc;
    rc.nSampleRate = 8000;
    rc.nCallerId = callerId;
    rc.nFeatures = kFeatureEncryptedCall;
    rc.nDelayBufferMs = 500;
    const auto r = BuildRequestCallRecord(rc);
    return Bytes(r.begin(), r.end());
}

// Runs the exchange between two handshakes, optionally letting `tamper`
// change each record on its way (index 0 = first record sent).
template <class Tamper>
std::pair<Step, Step> Exchange(CallHandshake& caller, CallHandshake& callee, Tamper&& tamper) {
    Step a = Step::kNeedMore, b = Step::kNeedMore;
    int index = 0;
    for (int round = 0; round < 4; ++round) {
        Bytes fromCallee = callee.OutgoingRecord();
        if (!fromCallee.empty()) {
            tamper(index++, fromCallee);
            a = caller.OnRecord(fromCallee.data(), fromCallee.size());
        }
        Bytes fromCaller = caller.OutgoingRecord();
        if (!fromCaller.empty()) {
            tamper(index++, fromCaller);
            b = callee.OnRecord(fromCaller.data(), fromCaller.size());
        }
        if (a != Step::kNeedMore && b != Step::kNeedMore && callee.State() != Step::kNeedMore)
            break;
    }
    // The callee's last record still has to go out after it is done.
    Bytes last = callee.OutgoingRecord();
    if (!last.empty()) {
        tamper(index++, last);
        a = caller.OnRecord(last.data(), last.size());
    }
    return {a, b};
}

std::pair<Step, Step> Exchange(CallHandshake& caller, CallHandshake& callee) {
    return Exchange(caller, callee, [](int, Bytes&) {});
}

bool SameKey(const SecretKey32& a, const SecretKey32& b) {
    return a.bytes == b.bytes;
}

TEST(CallHandshake, HonestPhonesAgreeOnKeysSasAndIdentities) {
    const IdentityKey alice = IdentityKey::Generate(), bob = IdentityKey::Generate();
    const Bytes req = RequestCallBytes(1001);
    CallHandshake caller(Role::kCaller, alice, req.data());
    CallHandshake callee(Role::kCallee, bob, req.data());
    EXPECT_TRUE(caller.OutgoingRecord().empty());  // the caller waits for the commitment
    const auto [a, b] = Exchange(caller, callee);
    ASSERT_EQ(a, Step::kDone) << caller.FailureReason();
    ASSERT_EQ(b, Step::kDone) << callee.FailureReason();

    const CallKeys &ka = caller.Keys(), &kb = callee.Keys();
    EXPECT_EQ(ka.sas, kb.sas);
    ASSERT_EQ(ka.sas.size(), kSasLength);
    for (char c : ka.sas) EXPECT_NE(std::strchr(kSasAlphabet, c), nullptr);
    EXPECT_EQ(ka.peerIdentity, bob.PublicKey());
    EXPECT_EQ(kb.peerIdentity, alice.PublicKey());
    EXPECT_TRUE(SameKey(ka.commandFromCaller, kb.commandFromCaller));
    EXPECT_TRUE(SameKey(ka.commandFromCallee, kb.commandFromCallee));
    EXPECT_TRUE(SameKey(ka.audio[0], kb.audio[0]));
    EXPECT_TRUE(SameKey(ka.audio[1], kb.audio[1]));
    // Four distinct keys: no stream can be replayed into another.
    const SecretKey32* all[] = {&ka.commandFromCaller, &ka.commandFromCallee, &ka.audio[0],
                                &ka.audio[1]};
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) EXPECT_FALSE(SameKey(*all[i], *all[j])) << i << " " << j;

    // A record after the end is refused; so is anything once failed.
    Bytes extra(CallHandshake::kRecordSize, 0);
    EXPECT_EQ(caller.OnRecord(extra.data(), extra.size()), Step::kFailed);

    // A second call between the same two phones gets fresh keys.
    CallHandshake caller2(Role::kCaller, alice, req.data());
    CallHandshake callee2(Role::kCallee, bob, req.data());
    ASSERT_EQ(Exchange(caller2, callee2), std::make_pair(Step::kDone, Step::kDone));
    EXPECT_FALSE(SameKey(caller2.Keys().audio[0], ka.audio[0]));
}

TEST(CallHandshake, ManInTheMiddleShowsDifferentSasOnTheTwoPhones) {
    // The relay answers the caller as a callee and calls the callee as a
    // caller, each time with its own identity and ephemeral keys.
    const IdentityKey alice = IdentityKey::Generate(), bob = IdentityKey::Generate(),
                      mallory = IdentityKey::Generate();
    const Bytes req = RequestCallBytes(1001);
    int differing = 0;
    for (int call = 0; call < 8; ++call) {
        CallHandshake caller(Role::kCaller, alice, req.data());
        CallHandshake fakeCallee(Role::kCallee, mallory, req.data());
        CallHandshake fakeCaller(Role::kCaller, mallory, req.data());
        CallHandshake callee(Role::kCallee, bob, req.data());
        ASSERT_EQ(Exchange(caller, fakeCallee), std::make_pair(Step::kDone, Step::kDone));
        ASSERT_EQ(Exchange(fakeCaller, callee), std::make_pair(Step::kDone, Step::kDone));
        // Each phone sees the relay's identity, never the other phone's.
        EXPECT_EQ(caller.Keys().peerIdentity, mallory.PublicKey());
        EXPECT_EQ(callee.Keys().peerIdentity, mallory.PublicKey());
        EXPECT_FALSE(SameKey(caller.Keys().audio[0], callee.Keys().audio[0]));
        differing += caller.Keys().sas != callee.Keys().sas;
    }
    // Equal strings happen by chance once in 2^20 calls.
    EXPECT_GE(differing, 7);
}

TEST(CallHandshake, AnyAlteredOrMisplacedRecordFailsTheSideThatGetsIt) {
    const IdentityKey alice = IdentityKey::Generate(), bob = IdentityKey::Generate();
    const Bytes req = RequestCallBytes(1001);
    // Every single byte of every record, flipped: the receiver fails (a flip
    // in a field that is only hashed shows up in the next check at the latest).
    for (int record = 0; record < 3; ++record) {
        for (std::size_t at = 0; at < CallHandshake::kRecordSize; at += 7) {
            CallHandshake caller(Role::kCaller, alice, req.data());
            CallHandshake callee(Role::kCallee, bob, req.data());
            const auto [a, b] = Exchange(caller, callee, [&](int i, Bytes& r) {
                if (i == record)
                    r[at] ^= 0x40;
            });
            EXPECT_TRUE(a == Step::kFailed || b == Step::kFailed)
                << "record " << record << " byte " << at;
            EXPECT_FALSE(a == Step::kDone && b == Step::kDone);
        }
    }
    // The two sides bound to different call requests do not agree.
    {
        CallHandshake caller(Role::kCaller, alice, req.data());
        const Bytes other = RequestCallBytes(1002);
        CallHandshake callee(Role::kCallee, bob, other.data());
        const auto [a, b] = Exchange(caller, callee);
        EXPECT_TRUE(a == Step::kFailed || b == Step::kFailed);
    }
    // A signature made by another identity than the one in the record.
    {
        CallHandshake caller(Role::kCaller, alice, req.data());
        CallHandshake callee(Role::kCallee, bob, req.data());
        const Bytes commit = callee.OutgoingRecord();
        ASSERT_EQ(caller.OnRecord(commit.data(), commit.size()), Step::kNeedMore);
        Bytes keys = caller.OutgoingRecord();
        const IdentityKey eve = IdentityKey::Generate();
        std::memcpy(&keys[52], eve.PublicKey().data(), 32);
        EXPECT_EQ(callee.OnRecord(keys.data(), keys.size()), Step::kFailed);
        EXPECT_FALSE(callee.FailureReason().empty());
        EXPECT_TRUE(callee.OutgoingRecord().empty());
    }
    // Out of turn, short, long, or a reflected record.
    {
        CallHandshake caller(Role::kCaller, alice, req.data());
        CallHandshake callee(Role::kCallee, bob, req.data());
        Bytes commit = callee.OutgoingRecord();
        EXPECT_EQ(callee.OnRecord(commit.data(), commit.size()), Step::kFailed);
        EXPECT_EQ(caller.OnRecord(commit.data(), commit.size() - 1), Step::kFailed);
        CallHandshake caller2(Role::kCaller, alice, req.data());
        commit.push_back(0);
        EXPECT_EQ(caller2.OnRecord(commit.data(), commit.size()), Step::kFailed);
        EXPECT_EQ(caller2.OnRecord(nullptr, 0), Step::kFailed);
    }
    // A key record cut after its first bytes is recognised, so the call
    // waits for the rest; a plain record is not.
    auto isKeys = [](const char* text) {
        return CallHandshake::IsCallKeys(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    };
    EXPECT_TRUE(isKeys("C"));
    EXPECT_TRUE(isKeys("CALLKEYS"));
    EXPECT_FALSE(isKeys("CALLKEYX"));
    for (const char* plain : {"ACCEPT", "RCRESULTBUSY", "STARTTALK", "AUTOANSWER", "ENDTALK",
                              "UNSUPPORTED", "UNKNOWCMD", "REQUESTCALL", "PARAMENTER", "SEALED"})
        EXPECT_FALSE(isKeys(plain)) << plain;
}

struct ChannelPair {
    SecretKey32 k1, k2;
    SealedChannel a, b;
    ChannelPair() : k1(Key(1)), k2(Key(2)), a(k1, k2), b(k2, k1) {}
    static SecretKey32 Key(uint8_t fill) {
        SecretKey32 k;
        k.bytes.fill(fill);
        return k;
    }
};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(SealedChannel, RecordsArriveWholeHoweverTheBytesAreSplit) {
    ChannelPair p;
    const Bytes r1 = {'S', 'T', 'A', 'R', 'T', 'T', 'A', 'L', 'K'};
    Bytes r2(SealedChannel::kMaxRecordBytes, 0x5a);
    const Bytes r3 = {'E', 'N', 'D', 'T', 'A', 'L', 'K'};
    const Bytes wire = Cat({p.a.Prologue(), p.a.Seal(r1.data(), r1.size()),
                            p.a.Seal(r2.data(), r2.size()), p.a.Seal(r3.data(), r3.size())});
    EXPECT_TRUE(p.a.Seal(r2.data(), r2.size() + 1).empty());
    EXPECT_TRUE(p.a.Seal(r1.data(), 0).empty());
    // One byte at a time, then all at once into a fresh channel.
    std::vector<Bytes> got;
    for (uint8_t byte : wire) ASSERT_EQ(p.b.OnBytes(&byte, 1, got), SealedChannel::Feed::kOk);
    ASSERT_EQ(got, (std::vector<Bytes>{r1, r2, r3}));
    ChannelPair q;
    const Bytes wire2 =
        Cat({q.a.Prologue(), q.a.Seal(r1.data(), r1.size()), q.a.Seal(r3.data(), r3.size())});
    got.clear();
    ASSERT_EQ(q.b.OnBytes(wire2.data(), wire2.size(), got), SealedChannel::Feed::kOk);
    EXPECT_EQ(got, (std::vector<Bytes>{r1, r3}));
}

TEST(SealedChannel, AlteredReplayedReorderedOrForeignFramesFailForGood) {
    const Bytes r1 = {'S', 'T', 'A', 'R', 'T', 'T', 'A', 'L', 'K'};
    const Bytes r2 = {'E', 'N', 'D', 'T', 'A', 'L', 'K'};
    auto frames = [&](ChannelPair& p) {
        return std::vector<Bytes>{p.a.Prologue(), p.a.Seal(r1.data(), r1.size()),
                                  p.a.Seal(r2.data(), r2.size())};
    };
    auto feed = [](SealedChannel& c, const Bytes& bytes, std::vector<Bytes>& got) {
        return c.OnBytes(bytes.data(), bytes.size(), got);
    };
    // Every byte position of the stream, flipped.
    {
        const std::size_t length = StreamSealer::kHeaderBytes + SealedChannel::kFrameHeaderSize +
                                   r1.size() + StreamSealer::kOverhead;
        for (std::size_t at = 0; at < length; ++at) {
            ChannelPair p;
            Bytes w = Cat({p.a.Prologue(), p.a.Seal(r1.data(), r1.size())});
            w[at] ^= 0x01;
            std::vector<Bytes> got;
            const auto result = feed(p.b, w, got);
            EXPECT_TRUE(got.empty()) << at;
            // A flipped length byte may leave the frame waiting for more;
            // the next frame then cannot open either.
            if (result == SealedChannel::Feed::kOk) {
                for (int i = 0; i < 40 && !p.b.Failed(); ++i)
                    feed(p.b, p.a.Seal(r2.data(), r2.size()), got);
                EXPECT_TRUE(got.empty() || got[0] != r1) << at;
                EXPECT_TRUE(p.b.Failed()) << at;
            }
        }
    }
    // Replay, reorder, drop one, and a frame from another call.
    {
        ChannelPair p;
        const auto f = frames(p);
        std::vector<Bytes> got;
        ASSERT_EQ(feed(p.b, Cat({f[0], f[1]}), got), SealedChannel::Feed::kOk);
        EXPECT_EQ(feed(p.b, f[1], got), SealedChannel::Feed::kFailed);  // replayed
        EXPECT_EQ(feed(p.b, f[2], got), SealedChannel::Feed::kFailed);  // failed for good
        EXPECT_EQ(got.size(), 1u);
    }
    {
        ChannelPair p;
        const auto f = frames(p);
        std::vector<Bytes> got;
        EXPECT_EQ(feed(p.b, Cat({f[0], f[2], f[1]}), got), SealedChannel::Feed::kFailed);
        EXPECT_TRUE(got.empty());
    }
    {
        ChannelPair p, other;
        const auto f = frames(p);
        const auto g = frames(other);
        std::vector<Bytes> got;
        EXPECT_EQ(feed(p.b, Cat({f[0], g[1]}), got), SealedChannel::Feed::kFailed);
    }
    // A plain record where a frame belongs, and an oversized length.
    {
        ChannelPair p;
        std::vector<Bytes> got;
        const Bytes plain = {'E', 'N', 'D', 'T', 'A', 'L', 'K', 0, 0, 0, 0, 0};
        EXPECT_EQ(feed(p.b, Cat({p.a.Prologue(), plain}), got), SealedChannel::Feed::kFailed);
        ChannelPair q;
        Bytes big = {'S', 'E', 'A', 'L', 'E', 'D', 0, 0, 0xff, 0xff};
        EXPECT_EQ(feed(q.b, Cat({q.a.Prologue(), big}), got), SealedChannel::Feed::kFailed);
    }
}

}  // namespace
}  // namespace kestrona
