// Coded frames on a call's audio stream when their length varies: each frame
// goes as a record of its length (2 bytes, little-endian, like every integer
// of the phone's records) and then its bytes. A length of 0 or above the
// call's codec's longest frame cannot come from a phone of ours: the stream
// is then out of step or hostile, and there is no way back into step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrona {

inline constexpr std::size_t kFrameLengthBytes = 2;
// What the length field can say.
inline constexpr std::size_t kFrameRecordLimit = 0xffff;

// Writes the record of frame at the start of out. Returns its size
// (kFrameLengthBytes + frame.size()), or 0, writing nothing, when the frame
// is empty or longer than max_frame_bytes (or kFrameRecordLimit), or out is
// too short.
std::size_t WriteFrameRecord(std::span<const uint8_t> frame, std::size_t max_frame_bytes,
                             std::span<uint8_t> out);

// Cuts frame records out of the stream as it arrives, in chunks of any size.
// It holds at most one frame, in a buffer of the largest frame allowed, made
// once: nothing the peer sends decides how much memory is used.
class FrameRecordReader {
  public:
    enum class Result {
        kNeedMore,   // every byte given was taken; the frame is not whole yet
        kFrame,      // Frame() holds a whole frame
        kBadLength,  // a length of 0 or above the largest frame: the stream is lost
    };

    explicit FrameRecordReader(std::size_t max_frame_bytes);

    // Takes bytes from the front of in, moving in past them, until a frame is
    // whole (kFrame; the rest of in is left for the next call) or in is used
    // up (kNeedMore). Once kBadLength has been returned, every later call
    // returns it and takes nothing.
    Result Read(std::span<const uint8_t>& in);

    // The frame of the last kFrame result, until the next Read.
    std::span<const uint8_t> Frame() const;
    bool Failed() const { return m_failed; }
    std::size_t MaxFrameBytes() const { return m_frame.size(); }

  private:
    std::vector<uint8_t> m_frame;
    uint8_t m_length[kFrameLengthBytes] = {};
    std::size_t m_lengthHave = 0;  // bytes of the length field read so far
    std::size_t m_need = 0;        // the current frame's length, once known
    std::size_t m_have = 0;        // its bytes read so far
    bool m_whole = false;          // m_frame[0, m_need) is the last frame returned
    bool m_failed = false;
};

}  // namespace kestrona
