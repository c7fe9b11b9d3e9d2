#include "media/frame_records.h"

#include <algorithm>
#include <cstring>

namespace kestrona {

std::size_t WriteFrameRecord(std::span<const uint8_t> frame, std::size_t max_frame_bytes,
                             std::span<uint8_t> out) {
    const std::size_t limit = std::min(max_frame_bytes, kFrameRecordLimit);
    if (frame.empty() || frame.size() > limit || out.size() < kFrameLengthBytes + frame.size()) {
        return 0;
    }
    out[0] = static_cast<uint8_t>(frame.size() & 0xff);
    out[1] = static_cast<uint8_t>(frame.size() >> 8);
    std::memcpy(out.data() + kFrameLengthBytes, frame.data(), frame.size());
    return kFrameLengthBytes + frame.size();
}

FrameRecordReader::FrameRecordReader(std::size_t max_frame_bytes)
    : m_frame(std::min(max_frame_bytes, kFrameRecordLimit)) {}

FrameRecordReader::Result FrameRecordReader::Read(std::span<const uint8_t>& in) {
    if (m_failed) {
        return Result::kBadLength;
    }
    if (m_whole) {
        // The frame handed out last time is done with: start the next record.
        m_whole = false;
        m_lengthHave = 0;
        m_need = 0;
        m_have = 0;
    }
    while (m_lengthHave < kFrameLengthBytes) {
        if (in.empty()) {
            return Result::kNeedMore;
        }
        m_length[m_lengthHave++] = in.front();
        in = in.subspan(1);
        if (m_lengthHave == kFrameLengthBytes) {
            m_need = static_cast<std::size_t>(m_length[0]) | static_cast<std::size_t>(m_length[1])
                                                                 << 8;
            if (m_need == 0 || m_need > m_frame.size()) {
                m_failed = true;
                return Result::kBadLength;
            }
        }
    }
    const std::size_t take = std::min(m_need - m_have, in.size());
    if (take > 0) {
        std::memcpy(m_frame.data() + m_have, in.data(), take);
        m_have += take;
        in = in.subspan(take);
    }
    if (m_have < m_need) {
        return Result::kNeedMore;
    }
    m_whole = true;
    return Result::kFrame;
}

std::span<const uint8_t> FrameRecordReader::Frame() const {
    if (!m_whole) {
        return {};
    }
    return std::span<const uint8_t>(m_frame.data(), m_need);
}

}  // namespace kestrona
