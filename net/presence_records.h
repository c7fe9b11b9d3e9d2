// The directory-server records of presence, which only phones of ours send:
// the look-up of which numbers can be called now, and the wish to appear
// offline to such look-ups. Integers are 32-bit little-endian, every byte no
// field covers is zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrona {

inline constexpr std::size_t kQueryPresenceRecordSize = 284;
inline constexpr std::size_t kPresenceModeRecordSize = 28;
inline constexpr std::size_t kPresenceReplySize = 40;
// The most numbers one look-up asks about; a longer list takes several.
inline constexpr std::size_t kPresenceBatch = 64;

// Asks about the first kPresenceBatch numbers at most.
std::array<char, kQueryPresenceRecordSize> BuildQueryPresenceRecord(
    int32_t ownId, std::span<const int32_t> numbers);
std::array<char, kPresenceModeRecordSize> BuildPresenceModeRecord(int32_t ownId,
                                                                  bool appearOffline);

enum class PresenceResult : int32_t {
    kAnswered = 0,
    kRefused = 1,  // no session of ours from this address, or a bad count
    kTooMany = 2,  // asked too often; try later
    kNotOne = -1,  // the chunk is not a well-formed answer to this look-up
};
struct PresenceReply {
    PresenceResult result = PresenceResult::kNotOne;
    uint64_t online = 0;  // bit i: the i-th number asked can be called now
    bool Online(std::size_t i) const { return i < 64 && ((online >> i) & 1) != 0; }
};
// Reads the first `received` bytes as the answer to a look-up of `asked`
// numbers. Anything but exactly the record the look-up expects, to its last
// zero byte, is kNotOne.
PresenceReply ParsePresenceReply(const char* data, std::size_t received, std::size_t asked);
// True when a chunk begins as a presence answer could; a reader stops early
// at the first byte that cannot belong to one.
bool CouldBePresenceReply(const char* data, std::size_t received);

}  // namespace kestrona
