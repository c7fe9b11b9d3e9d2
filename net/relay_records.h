// The directory-server records of calls into any home, which only phones of
// ours send: the reachability check, the relay credentials, the relayed
// address this phone holds, and the look-up that says whether a callee is
// reached through the relay. Integers are 32-bit little-endian, texts are
// ASCII in zero-padded fields, every byte no field covers is zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrona {

inline constexpr std::size_t kRelayCredsRecordSize = 28;
inline constexpr std::size_t kReachCheckRecordSize = 28;
inline constexpr std::size_t kRelayAddrRecordSize = 48;
inline constexpr std::size_t kQueryPeerRecordSize = 40;

inline constexpr std::size_t kRelayCredsReplySize = 236;
inline constexpr std::size_t kReachReplySize = 44;
inline constexpr std::size_t kQueryPeerReplySize = 124;

std::array<char, kRelayCredsRecordSize> BuildRelayCredsRecord(int32_t id);
std::array<char, kReachCheckRecordSize> BuildReachCheckRecord(int32_t id, int32_t port);
// Port 0 withdraws the relayed address.
std::array<char, kRelayAddrRecordSize> BuildRelayAddrRecord(int32_t id, const std::string& address,
                                                            int32_t port);
std::array<char, kQueryPeerRecordSize> BuildQueryPeerRecord(int32_t ownId, int32_t wantedId);

// A relay of the service as the directory server names it.
struct RelayEndpoint {
    std::string host;  // a name or dotted IPv4
    int32_t port = 0;  // 0: none
    bool tls = false;
};

struct RelayCredsReply {
    int32_t result = -1;  // 0 issued, 1 no relay, 2 no session from here
    int32_t validSeconds = 0;
    std::string username;
    std::string password;
    std::vector<RelayEndpoint> relays;  // first choice first; only those with a port
};
// Reads the first `received` bytes of a "RELAYCREDSRESULT"; nullopt-like
// result -1 when the chunk is not one or is cut.
RelayCredsReply ParseRelayCredsReply(const char* data, std::size_t received);

enum class ReachVerdict : int32_t {
    kReachable = 0,
    kUnreachable = 1,
    kRefused = 2,  // the server has no session of ours from this address
    kTooMany = 3,  // asked too often; try later
    kBadPort = 4,
    kNoAnswer = -1,  // the chunk is not a verdict
};
struct ReachReply {
    ReachVerdict verdict = ReachVerdict::kNoAnswer;
    std::string address;
    int32_t port = 0;
};
ReachReply ParseReachReply(const char* data, std::size_t received);

struct QueryPeerReply {
    bool found = false;
    std::string address;
    int32_t port = 0;
    bool relayed = false;
    RelayEndpoint relay;  // relayed only
};
QueryPeerReply ParseQueryPeerReply(const char* data, std::size_t received);

}  // namespace kestrona
