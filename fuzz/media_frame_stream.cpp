// A peer's audio stream of frame records, arriving in pieces whose sizes the
// first byte picks, each frame that comes out decoded by Opus (every fifth
// as if the one before it had been lost). Whatever arrives: no crash, no
// frame outside 1..the largest, the frames read are exactly the records the
// stream holds up to the first bad length, and every decode fills a frame.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "media/frame_codec.h"
#include "media/frame_records.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kestrona::FrameRecordReader;
    if (size < 1) {
        return 0;
    }
    // A call's decoder starts fresh; inputs stay independent.
    auto codec = kestrona::MakeOpusFrameCodec();
    Require(codec != nullptr);
    const std::size_t max = codec->MaxFrameBytes();
    FrameRecordReader reader(max);
    std::vector<int16_t> pcm(codec->FrameSamples());

    uint32_t pieces = data[0] | 1u;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    std::size_t at = 0;       // bytes of stream handed to the reader
    std::size_t checked = 0;  // bytes of stream matched against the frames read
    std::size_t frames = 0;
    std::vector<uint8_t> record(kestrona::kFrameLengthBytes + max);
    bool failed = false;
    while (at < stream.size() && !failed) {
        pieces = pieces * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(1 + (pieces >> 16) % 1400, stream.size() - at);
        std::span<const uint8_t> chunk = stream.subspan(at, n);
        at += n;
        while (!chunk.empty()) {
            const std::size_t before = chunk.size();
            const auto r = reader.Read(chunk);
            Require(chunk.size() <= before);
            if (r == FrameRecordReader::Result::kBadLength) {
                // Refused at the length, which says 0 or more than the largest.
                Require(checked + kestrona::kFrameLengthBytes <= stream.size());
                const std::size_t len = stream[checked] | stream[checked + 1] << 8;
                Require(len == 0 || len > max);
                Require(reader.Read(chunk) == FrameRecordReader::Result::kBadLength);
                failed = true;
                break;
            }
            if (r == FrameRecordReader::Result::kNeedMore) {
                Require(chunk.empty());
                continue;
            }
            const auto frame = reader.Frame();
            Require(!frame.empty() && frame.size() <= max);
            const std::size_t len = kestrona::WriteFrameRecord(frame, max, record);
            Require(len == kestrona::kFrameLengthBytes + frame.size());
            Require(checked + len <= stream.size());
            Require(std::equal(record.begin(), record.begin() + len, stream.begin() + checked));
            checked += len;
            if (++frames % 5 == 0) {
                codec->DecodeFromNext(frame, pcm);
            }
            codec->Decode(frame, pcm);
        }
    }
    return 0;
}
