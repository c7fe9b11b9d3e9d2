#include "net/sealed_channel.h"

#include <algorithm>
#include <cstring>

namespace kestrona {
namespace {

constexpr uint8_t kPrefix[SealedChannel::kPrefixSize] = {'S', 'E', 'A', 'L', 'E', 'D', 0, 0};
constexpr std::size_t kMinSealed = StreamSealer::kOverhead + 1;
constexpr std::size_t kMaxSealed = SealedChannel::kMaxRecordBytes + StreamSealer::kOverhead;

}  // namespace

SealedChannel::SealedChannel(const SecretKey32& outKey, const SecretKey32& inKey)
    : m_sealer(outKey), m_inKey(inKey) {
    m_pending.reserve(kMaxFrameBytes);
}

bool SealedChannel::IsSealedFrame(const uint8_t* data, std::size_t n) {
    return data != nullptr && n >= kPrefixSize && std::memcmp(data, kPrefix, kPrefixSize) == 0;
}

std::vector<uint8_t> SealedChannel::Prologue() {
    const auto& h = m_sealer.Header();
    return std::vector<uint8_t>(h.begin(), h.end());
}

std::vector<uint8_t> SealedChannel::Seal(const uint8_t* record, std::size_t n) {
    if (record == nullptr || n == 0 || n > kMaxRecordBytes)
        return {};
    const std::size_t sealed = n + StreamSealer::kOverhead;
    std::vector<uint8_t> frame(kFrameHeaderSize + sealed);
    std::memcpy(frame.data(), kPrefix, kPrefixSize);
    frame[8] = uint8_t(sealed & 0xFF);
    frame[9] = uint8_t(sealed >> 8);
    m_sealer.Seal(record, n, frame.data() + kFrameHeaderSize);
    return frame;
}

SealedChannel::Feed SealedChannel::OnBytes(const uint8_t* data, std::size_t n,
                                           std::vector<std::vector<uint8_t>>& recordsOut) {
    if (m_failed)
        return Feed::kFailed;
    if (data == nullptr && n != 0) {
        m_failed = true;
        return Feed::kFailed;
    }
    auto fail = [this] {
        m_failed = true;
        m_pending.clear();
        return Feed::kFailed;
    };
    // Moves bytes into m_pending until it holds `want`; false when the input
    // ran out first.
    auto fill = [&](std::size_t want) {
        const std::size_t take = std::min(want - m_pending.size(), n);
        m_pending.insert(m_pending.end(), data, data + take);
        data += take;
        n -= take;
        return m_pending.size() == want;
    };
    for (;;) {
        if (!m_opener.Started()) {
            if (!fill(StreamSealer::kHeaderBytes))
                return Feed::kOk;
            if (!m_opener.Start(m_inKey, m_pending.data()))
                return fail();
            m_pending.clear();
            continue;
        }
        if (m_pending.size() < kFrameHeaderSize) {
            if (!fill(kFrameHeaderSize))
                return Feed::kOk;
            if (std::memcmp(m_pending.data(), kPrefix, kPrefixSize) != 0)
                return fail();
            const std::size_t sealed = std::size_t(m_pending[8]) | std::size_t(m_pending[9]) << 8;
            if (sealed < kMinSealed || sealed > kMaxSealed)
                return fail();
        }
        const std::size_t sealed = std::size_t(m_pending[8]) | std::size_t(m_pending[9]) << 8;
        if (!fill(kFrameHeaderSize + sealed))
            return Feed::kOk;
        std::vector<uint8_t> record(sealed - StreamSealer::kOverhead);
        if (!m_opener.Open(m_pending.data() + kFrameHeaderSize, sealed, record.data()))
            return fail();
        recordsOut.push_back(std::move(record));
        m_pending.clear();
    }
}

}  // namespace kestrona
