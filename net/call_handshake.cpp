#include "net/call_handshake.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "net/records.h"

namespace kestrona {
namespace {

// Every hash and signature names what it is for and the version of the
// exchange, so that no value made for one purpose is accepted for another.
constexpr std::string_view kCommitContext = "kestrona call commit v1";
constexpr std::string_view kCallerSignContext = "kestrona call keys v1 caller";
constexpr std::string_view kCalleeSignContext = "kestrona call keys v1 callee";
constexpr std::string_view kTranscriptContext = "kestrona call transcript v1";
constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "KSCALL01";

enum SubKey : uint64_t {
    kSubCommandFromCaller = 1,
    kSubCommandFromCallee = 2,
    kSubAudioToCalleeIn = 3,
    kSubAudioFromCalleeOut = 4,
    kSubSas = 5,
};

constexpr std::size_t kOffVersion = 12, kOffRole = 16, kOffEphemeral = 20, kOffIdentity = 52,
                      kOffSignature = 84;

static_assert(CallHandshake::kRecordSize == kOffSignature + crypto_sign_BYTES);
static_assert(crypto_kx_PUBLICKEYBYTES == 32 && crypto_kx_SECRETKEYBYTES == 32);
static_assert(crypto_kdf_KEYBYTES == 32);

uint32_t GetU32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void PutU32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (8 * i));
}

bool AllZero(const uint8_t* p, std::size_t n) {
    uint8_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= p[i];
    return acc == 0;
}

// The bytes a signature covers, built up piece by piece.
class Message {
  public:
    Message& Add(std::string_view text) {
        m_bytes.insert(m_bytes.end(), text.begin(), text.end());
        return *this;
    }
    Message& Add(const uint8_t* p, std::size_t n) {
        m_bytes.insert(m_bytes.end(), p, p + n);
        return *this;
    }
    const uint8_t* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }

  private:
    std::vector<uint8_t> m_bytes;
};

}  // namespace

CallHandshake::CallHandshake(Role role, const IdentityKey& own, const uint8_t* requestCall48)
    : m_role(role), m_identity(own) {
    if (!CryptoReady()) {
        Fail("the crypto library could not start");
        return;
    }
    if (requestCall48 == nullptr) {
        Fail("no call request to bind the keys to");
        return;
    }
    std::memcpy(m_requestCall.data(), requestCall48, m_requestCall.size());
    crypto_kx_keypair(m_ephemeralPublic.data(), m_ephemeralSecret.data());
    if (m_role == Role::kCallee) {
        Commitment(m_ephemeralPublic.data(), m_identity.PublicKey().data(), m_commit.data());
        m_commitRecord = BuildRecord(kRoleCommit, m_commit.data(), false, nullptr);
        m_outgoing = m_commitRecord;
    }
}

CallHandshake::~CallHandshake() {
    sodium_memzero(m_ephemeralSecret.data(), m_ephemeralSecret.size());
}

bool CallHandshake::IsCallKeys(const uint8_t* data, std::size_t n) {
    static constexpr uint8_t kPrefix[kPrefixSize] = {'C', 'A', 'L', 'L', 'K', 'E',
                                                     'Y', 'S', 0,   0,   0,   0};
    // A record cut by the network after its first few bytes is still one:
    // no record of the plain exchange begins like it, so the receiver can
    // wait for the rest instead of taking the piece for a plain record.
    return data != nullptr && n > 0 && std::memcmp(data, kPrefix, std::min(n, kPrefixSize)) == 0;
}

std::vector<uint8_t> CallHandshake::OutgoingRecord() {
    std::vector<uint8_t> out;
    out.swap(m_outgoing);
    return out;
}

CallHandshake::Step CallHandshake::Fail(std::string reason) {
    m_step = Step::kFailed;
    m_failure = std::move(reason);
    m_outgoing.clear();
    sodium_memzero(m_ephemeralSecret.data(), m_ephemeralSecret.size());
    m_keys = CallKeys{};
    return m_step;
}

std::vector<uint8_t> CallHandshake::BuildRecord(uint32_t role, const uint8_t* field20,
                                                bool withIdentity, const uint8_t* signature) const {
    std::vector<uint8_t> r(kRecordSize, 0);
    std::memcpy(r.data(), "CALLKEYS", 8);
    PutU32(&r[kOffVersion], kVersion);
    PutU32(&r[kOffRole], role);
    std::memcpy(&r[kOffEphemeral], field20, 32);
    if (withIdentity)
        std::memcpy(&r[kOffIdentity], m_identity.PublicKey().data(), 32);
    if (signature)
        std::memcpy(&r[kOffSignature], signature, crypto_sign_BYTES);
    return r;
}

void CallHandshake::Commitment(const uint8_t* ephemeral, const uint8_t* identity,
                               uint8_t* out) const {
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, reinterpret_cast<const uint8_t*>(kCommitContext.data()),
                              kCommitContext.size());
    crypto_generichash_update(&st, m_requestCall.data(), m_requestCall.size());
    crypto_generichash_update(&st, ephemeral, 32);
    crypto_generichash_update(&st, identity, 32);
    crypto_generichash_final(&st, out, 32);
}

CallHandshake::Step CallHandshake::OnRecord(const uint8_t* data, std::size_t n) {
    if (m_step != Step::kNeedMore)
        return Fail(m_step == Step::kDone ? "a key record after the exchange was complete"
                                          : m_failure);
    if (data == nullptr || n != kRecordSize || !IsCallKeys(data, n))
        return Fail("a key record of the wrong size or kind");
    if (GetU32(data + kOffVersion) != kVersion)
        return Fail("a key record of an unknown version");
    const uint32_t role = GetU32(data + kOffRole);
    const uint8_t* ephemeral = data + kOffEphemeral;
    std::array<uint8_t, 32> identity{};
    std::memcpy(identity.data(), data + kOffIdentity, 32);
    const uint8_t* signature = data + kOffSignature;

    if (m_role == Role::kCaller && m_commitRecord.empty()) {
        // First: the callee's commitment. It carries nothing else.
        if (role != kRoleCommit)
            return Fail("the callee did not commit to its keys first");
        if (!AllZero(data + kOffIdentity, kRecordSize - kOffIdentity))
            return Fail("a commitment record with stray bytes");
        std::memcpy(m_commit.data(), ephemeral, 32);
        m_commitRecord.assign(data, data + n);
        std::vector<uint8_t> record =
            BuildRecord(kRoleCaller, m_ephemeralPublic.data(), true, nullptr);
        Message msg;
        msg.Add(kCallerSignContext)
            .Add(m_requestCall.data(), m_requestCall.size())
            .Add(m_commitRecord.data(), m_commitRecord.size())
            .Add(record.data(), kOffSignature);
        const auto callerSig = m_identity.Sign(msg.data(), msg.size());
        std::memcpy(&record[kOffSignature], callerSig.data(), callerSig.size());
        m_callerRecord = record;
        m_outgoing = m_callerRecord;
        return m_step;
    }

    if (m_role == Role::kCaller) {
        // Second: the callee's keys, which must be what it committed to.
        if (role != kRoleCallee)
            return Fail("the callee's keys were expected");
        std::array<uint8_t, 32> expected{};
        Commitment(ephemeral, identity.data(), expected.data());
        if (sodium_memcmp(expected.data(), m_commit.data(), 32) != 0)
            return Fail("the callee's keys are not the ones it committed to");
        Message msg;
        msg.Add(kCalleeSignContext)
            .Add(m_requestCall.data(), m_requestCall.size())
            .Add(m_commitRecord.data(), m_commitRecord.size())
            .Add(m_callerRecord.data(), m_callerRecord.size())
            .Add(data, kOffSignature);
        if (!IdentityKey::Verify(identity, msg.data(), msg.size(), signature))
            return Fail("the callee's signature does not verify");
        m_keys.peerIdentity = identity;
        if (!Derive(m_callerRecord.data(), data, ephemeral))
            return Fail("the callee's ephemeral key is unusable");
        m_step = Step::kDone;
        return m_step;
    }

    // Callee: the caller's keys.
    if (role != kRoleCaller)
        return Fail("the caller's keys were expected");
    Message callerMsg;
    callerMsg.Add(kCallerSignContext)
        .Add(m_requestCall.data(), m_requestCall.size())
        .Add(m_commitRecord.data(), m_commitRecord.size())
        .Add(data, kOffSignature);
    if (!IdentityKey::Verify(identity, callerMsg.data(), callerMsg.size(), signature))
        return Fail("the caller's signature does not verify");
    m_callerRecord.assign(data, data + n);
    std::vector<uint8_t> own = BuildRecord(kRoleCallee, m_ephemeralPublic.data(), true, nullptr);
    Message msg;
    msg.Add(kCalleeSignContext)
        .Add(m_requestCall.data(), m_requestCall.size())
        .Add(m_commitRecord.data(), m_commitRecord.size())
        .Add(m_callerRecord.data(), m_callerRecord.size())
        .Add(own.data(), kOffSignature);
    const auto sig = m_identity.Sign(msg.data(), msg.size());
    std::memcpy(&own[kOffSignature], sig.data(), sig.size());
    m_keys.peerIdentity = identity;
    if (!Derive(data, own.data(), ephemeral))
        return Fail("the caller's ephemeral key is unusable");
    m_outgoing = std::move(own);
    m_step = Step::kDone;
    return m_step;
}

bool CallHandshake::Derive(const uint8_t* callerRecord, const uint8_t* calleeRecord,
                           const uint8_t* peerEphemeral) {
    // Both directions of the X25519 exchange, in the caller's order.
    uint8_t fromCaller[crypto_kx_SESSIONKEYBYTES], fromCallee[crypto_kx_SESSIONKEYBYTES];
    const int rc =
        m_role == Role::kCaller
            ? crypto_kx_client_session_keys(fromCallee, fromCaller, m_ephemeralPublic.data(),
                                            m_ephemeralSecret.data(), peerEphemeral)
            : crypto_kx_server_session_keys(fromCaller, fromCallee, m_ephemeralPublic.data(),
                                            m_ephemeralSecret.data(), peerEphemeral);
    sodium_memzero(m_ephemeralSecret.data(), m_ephemeralSecret.size());
    if (rc != 0)
        return false;

    // The master key binds the shared secret to everything both sides saw.
    uint8_t transcript[32];
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, sizeof transcript);
    crypto_generichash_update(&st, reinterpret_cast<const uint8_t*>(kTranscriptContext.data()),
                              kTranscriptContext.size());
    crypto_generichash_update(&st, m_requestCall.data(), m_requestCall.size());
    crypto_generichash_update(&st, m_commitRecord.data(), m_commitRecord.size());
    crypto_generichash_update(&st, callerRecord, kRecordSize);
    crypto_generichash_update(&st, calleeRecord, kRecordSize);
    crypto_generichash_final(&st, transcript, sizeof transcript);

    uint8_t shared[2 * crypto_kx_SESSIONKEYBYTES];
    std::memcpy(shared, fromCaller, sizeof fromCaller);
    std::memcpy(shared + sizeof fromCaller, fromCallee, sizeof fromCallee);
    sodium_memzero(fromCaller, sizeof fromCaller);
    sodium_memzero(fromCallee, sizeof fromCallee);
    SecretKey32 master;
    crypto_generichash(master.bytes.data(), master.bytes.size(), transcript, sizeof transcript,
                       shared, sizeof shared);
    sodium_memzero(shared, sizeof shared);

    auto derive = [&](SecretKey32& out, uint64_t id) {
        crypto_kdf_derive_from_key(out.bytes.data(), out.bytes.size(), id, kKdfContext,
                                   master.bytes.data());
    };
    derive(m_keys.commandFromCaller, kSubCommandFromCaller);
    derive(m_keys.commandFromCallee, kSubCommandFromCallee);
    derive(m_keys.audio[kAudioToCalleeIn], kSubAudioToCalleeIn);
    derive(m_keys.audio[kAudioFromCalleeOut], kSubAudioFromCalleeOut);
    SecretKey32 sasKey;
    derive(sasKey, kSubSas);
    m_keys.sas = SasFromHash(sasKey.bytes.data(), sasKey.bytes.size());
    return true;
}

}  // namespace kestrona
