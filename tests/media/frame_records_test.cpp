// Frame records as a peer may send them: cut anywhere, too long, empty.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "media/frame_records.h"

namespace kestrona {
namespace {

constexpr std::size_t kMax = 1275;

std::vector<uint8_t> Frame(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> f(n);
    for (std::size_t i = 0; i < n; ++i) {
        f[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return f;
}

std::vector<uint8_t> Records(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<uint8_t> out;
    for (const auto& f : frames) {
        std::vector<uint8_t> rec(kFrameLengthBytes + f.size());
        EXPECT_EQ(WriteFrameRecord(f, kMax, rec), rec.size());
        out.insert(out.end(), rec.begin(), rec.end());
    }
    return out;
}

// Feeds the stream in the given chunks; returns the frames read, and whether
// the reader failed.
std::vector<std::vector<uint8_t>> ReadAll(FrameRecordReader& reader,
                                          const std::vector<std::span<const uint8_t>>& chunks,
                                          bool* failed) {
    std::vector<std::vector<uint8_t>> frames;
    *failed = false;
    for (std::span<const uint8_t> chunk : chunks) {
        while (!chunk.empty()) {
            const std::size_t before = chunk.size();
            const auto r = reader.Read(chunk);
            if (r == FrameRecordReader::Result::kFrame) {
                frames.emplace_back(reader.Frame().begin(), reader.Frame().end());
            } else if (r == FrameRecordReader::Result::kBadLength) {
                *failed = true;
                return frames;
            } else {
                EXPECT_TRUE(chunk.empty());
            }
            EXPECT_LE(chunk.size(), before);
        }
    }
    return frames;
}

TEST(FrameRecords, WriterPutsLengthLittleEndianAndRefusesWhatNoReaderTakes) {
    const auto f = Frame(0x0102, 3);
    std::vector<uint8_t> out(kFrameLengthBytes + f.size());
    ASSERT_EQ(WriteFrameRecord(f, kMax, out), out.size());
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(out[1], 0x01);
    EXPECT_TRUE(std::equal(f.begin(), f.end(), out.begin() + kFrameLengthBytes));

    std::vector<uint8_t> untouched(4000, 0xee);
    EXPECT_EQ(WriteFrameRecord({}, kMax, untouched), 0u);
    EXPECT_EQ(WriteFrameRecord(Frame(kMax + 1, 0), kMax, untouched), 0u);
    EXPECT_EQ(WriteFrameRecord(Frame(10, 0), kMax, std::span(untouched).first(11)), 0u);
    // The length field cannot say more than 65535, whatever the codec allows.
    std::vector<uint8_t> big(kFrameLengthBytes + 0x10000);
    EXPECT_EQ(WriteFrameRecord(Frame(0x10000, 0), 0x20000, big), 0u);
    for (uint8_t b : untouched) {
        ASSERT_EQ(b, 0xee);
    }
}

TEST(FrameRecords, StreamCutAtEveryByteGivesTheSameFrames) {
    const std::vector<std::vector<uint8_t>> frames = {Frame(1, 1), Frame(61, 2), Frame(kMax, 3),
                                                      Frame(255, 4), Frame(256, 5)};
    const auto stream = Records(frames);
    const std::span<const uint8_t> all(stream);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameRecordReader reader(kMax);
        bool failed = false;
        const auto got = ReadAll(reader, {all.first(cut), all.subspan(cut)}, &failed);
        ASSERT_FALSE(failed) << "cut " << cut;
        ASSERT_EQ(got, frames) << "cut " << cut;
    }
    // Records after a whole one stay in the chunk for the next call.
    {
        FrameRecordReader reader(kMax);
        std::span<const uint8_t> in = all;
        ASSERT_EQ(reader.Read(in), FrameRecordReader::Result::kFrame);
        EXPECT_EQ(in.size(), stream.size() - kFrameLengthBytes - frames[0].size());
        std::span<const uint8_t> none;
        EXPECT_EQ(reader.Read(none), FrameRecordReader::Result::kNeedMore);
    }
    // One byte at a time: a frame is whole only with its last byte.
    FrameRecordReader reader(kMax);
    std::size_t seen = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        std::span<const uint8_t> one = all.subspan(i, 1);
        const auto r = reader.Read(one);
        ASSERT_TRUE(one.empty());
        if (r == FrameRecordReader::Result::kFrame) {
            ASSERT_LT(seen, frames.size());
            EXPECT_TRUE(std::ranges::equal(reader.Frame(), frames[seen]));
            ++seen;
        } else {
            ASSERT_EQ(r, FrameRecordReader::Result::kNeedMore) << "byte " << i;
            EXPECT_TRUE(reader.Frame().empty());
        }
    }
    EXPECT_EQ(seen, frames.size());
}

TEST(FrameRecords, ZeroOrOversizeLengthLosesTheStreamForGood) {
    struct Case {
        uint8_t lo, hi;
    };
    // 0; one above the largest frame; the most the field can say.
    for (Case c : {Case{0, 0}, Case{(kMax + 1) & 0xff, (kMax + 1) >> 8}, Case{0xff, 0xff}}) {
        auto stream = Records({Frame(20, 9)});
        stream.push_back(c.lo);
        stream.push_back(c.hi);
        // What follows would be a good record: it must not be read.
        const auto after = Records({Frame(20, 10)});
        stream.insert(stream.end(), after.begin(), after.end());

        FrameRecordReader reader(kMax);
        std::span<const uint8_t> in(stream);
        ASSERT_EQ(reader.Read(in), FrameRecordReader::Result::kFrame);
        // The bad length is refused as soon as it is read, before any body.
        ASSERT_EQ(reader.Read(in), FrameRecordReader::Result::kBadLength);
        EXPECT_EQ(in.size(), after.size());
        EXPECT_TRUE(reader.Failed());
        EXPECT_TRUE(reader.Frame().empty());
        EXPECT_EQ(reader.Read(in), FrameRecordReader::Result::kBadLength);
        EXPECT_EQ(in.size(), after.size());
    }
    // The largest frame itself is fine.
    FrameRecordReader reader(kMax);
    bool failed = false;
    EXPECT_EQ(ReadAll(reader, {Records({Frame(kMax, 1)})}, &failed).size(), 1u);
    EXPECT_FALSE(failed);
}

}  // namespace
}  // namespace kestrona
