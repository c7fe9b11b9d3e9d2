// The key exchange that opens an encrypted call on the peer command
// connection, right after the caller's REQUESTCALL offered it. Plain C++;
// the connection code feeds it whole records and sends what it returns.
//
//   caller                                    callee
//     REQUESTCALL (feature bit 0)      ---->
//                                      <----  CALLKEYS role 3: commitment
//     CALLKEYS role 1: caller keys     ---->
//                                      <----  CALLKEYS role 2: callee keys
//     stream header (24 bytes)         <--->  stream header (24 bytes)
//     sealed command frames only, both ways, from here on
//
// The callee commits to its keys before it sees the caller's, and the caller
// sends its keys before it sees the callee's: neither side, nor anyone in the
// middle, can choose its keys knowing how the short authentication string
// will come out, so a man in the middle gets the same four characters on
// both phones only by chance (1 in 2^20 per call).
//
// Use: after construction and after every OnRecord, send OutgoingRecord()
// when it is not empty (each record is returned once). On kDone, send the
// sealed channel's prologue right behind that record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/call_crypto.h"

namespace kestrona {

class CallHandshake {
  public:
    enum class Role { kCaller, kCallee };
    enum class Step { kNeedMore, kDone, kFailed };

    // Byte layout of every handshake record (all integers little-endian,
    // bytes no field covers are zero):
    //   0  12  "CALLKEYS" and four zero bytes
    //  12   4  version, 1
    //  16   4  role: 1 caller keys, 2 callee keys, 3 callee commitment
    //  20  32  ephemeral X25519 public key (role 3: the commitment hash)
    //  52  32  Ed25519 identity public key (role 3: zero)
    //  84  64  Ed25519 signature (role 3: zero)
    static constexpr std::size_t kRecordSize = 148;
    static constexpr std::size_t kPrefixSize = 12;
    static constexpr uint32_t kVersion = 1;
    enum RecordRole : uint32_t { kRoleCaller = 1, kRoleCallee = 2, kRoleCommit = 3 };

    // requestCall48: the REQUESTCALL bytes exactly as sent (caller) or received
    // (callee); both signatures and the keys depend on them.
    CallHandshake(Role role, const IdentityKey& own, const uint8_t* requestCall48);
    ~CallHandshake();
    CallHandshake(const CallHandshake&) = delete;
    CallHandshake& operator=(const CallHandshake&) = delete;

    // The next record to send, once; empty when there is none.
    std::vector<uint8_t> OutgoingRecord();
    // One whole handshake record as received (n must be kRecordSize). Any
    // record out of turn, of the wrong size, version or role, with a key that
    // does not match the commitment or a signature that does not verify,
    // fails the handshake for good.
    Step OnRecord(const uint8_t* data, std::size_t n);
    Step State() const { return m_step; }

    const CallKeys& Keys() const { return m_keys; }  // valid after kDone
    const std::string& FailureReason() const { return m_failure; }

    // The first kPrefixSize bytes (or as many as there are) are a handshake
    // record's.
    static bool IsCallKeys(const uint8_t* data, std::size_t n);

  private:
    Step Fail(std::string reason);
    std::vector<uint8_t> BuildRecord(uint32_t role, const uint8_t* field20, bool withIdentity,
                                     const uint8_t* signature) const;
    void Commitment(const uint8_t* ephemeral, const uint8_t* identity, uint8_t* out) const;
    bool Derive(const uint8_t* callerRecord, const uint8_t* calleeRecord,
                const uint8_t* peerEphemeral);

    Role m_role;
    IdentityKey m_identity;
    std::array<uint8_t, 48> m_requestCall{};
    std::array<uint8_t, 32> m_ephemeralPublic{};
    std::array<uint8_t, 32> m_ephemeralSecret{};
    std::array<uint8_t, 32> m_commit{};  // the callee's commitment hash
    std::vector<uint8_t> m_commitRecord;
    std::vector<uint8_t> m_callerRecord;  // the caller's keys as sent/received
    std::vector<uint8_t> m_outgoing;
    Step m_step = Step::kNeedMore;
    CallKeys m_keys;
    std::string m_failure;
};

}  // namespace kestrona
