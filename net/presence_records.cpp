#include "net/presence_records.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "net/records.h"

namespace kestrona {
namespace {

constexpr std::string_view kQueryWord = "QUERYPRESENCE";
constexpr std::string_view kModeWord = "PRESENCEMODE";
constexpr std::string_view kReplyWord = "PRESENCERESULT";
constexpr std::size_t kWordField = 20;

bool AllZero(const char* from, std::size_t size) {
    return std::all_of(from, from + size, [](char c) { return c == 0; });
}

}  // namespace

std::array<char, kQueryPresenceRecordSize> BuildQueryPresenceRecord(
    int32_t ownId, std::span<const int32_t> numbers) {
    std::array<char, kQueryPresenceRecordSize> r{};
    std::memcpy(r.data(), kQueryWord.data(), kQueryWord.size());
    const std::size_t n = std::min(numbers.size(), kPresenceBatch);
    PutInt32(&r[20], ownId);
    PutInt32(&r[24], static_cast<int32_t>(n));
    for (std::size_t i = 0; i < n; ++i) PutInt32(&r[28 + 4 * i], numbers[i]);
    return r;
}

std::array<char, kPresenceModeRecordSize> BuildPresenceModeRecord(int32_t ownId,
                                                                  bool appearOffline) {
    std::array<char, kPresenceModeRecordSize> r{};
    std::memcpy(r.data(), kModeWord.data(), kModeWord.size());
    PutInt32(&r[20], ownId);
    PutInt32(&r[24], appearOffline ? 1 : 0);
    return r;
}

bool CouldBePresenceReply(const char* data, std::size_t received) {
    const std::size_t n = std::min(received, kWordField);
    for (std::size_t i = 0; i < n; ++i) {
        const char want = i < kReplyWord.size() ? kReplyWord[i] : 0;
        if (data[i] != want)
            return false;
    }
    return true;
}

PresenceReply ParsePresenceReply(const char* data, std::size_t received, std::size_t asked) {
    PresenceReply reply;
    if (received != kPresenceReplySize || asked > kPresenceBatch ||
        !CouldBePresenceReply(data, received) || !AllZero(data + 36, 4))
        return reply;
    const int32_t result = GetInt32(data + 20);
    const int32_t n = GetInt32(data + 24);
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= static_cast<uint64_t>(static_cast<unsigned char>(data[28 + i])) << (8 * i);
    if (result == 0) {
        // An answer about another count, or with bits past it, answers some
        // other question.
        const uint64_t allowed = asked == 64 ? ~uint64_t{0} : (uint64_t{1} << asked) - 1;
        if (n != static_cast<int32_t>(asked) || (bits & ~allowed) != 0)
            return reply;
        reply.online = bits;
    } else if (result == 1 || result == 2) {
        if (n != 0 || bits != 0)
            return reply;
    } else {
        return reply;
    }
    reply.result = static_cast<PresenceResult>(result);
    return reply;
}

}  // namespace kestrona
