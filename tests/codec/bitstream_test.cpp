#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "codec/bitstream.h"
#include "codec/pcm.h"

namespace kestrona::codec {
namespace {

// Reads the 80-bit string forwards, most significant bit of byte 0 first.
CodecParams ReadForwards(const uint8_t frame[10]) {
    CodecParams p{};
    int bit = 0;
    for (int i = 0; i < kParamCount; ++i) {
        int32_t v = 0;
        for (int k = 0; k < kParamBits[i]; ++k, ++bit) {
            v = (v << 1) | ((frame[bit / 8] >> (7 - bit % 8)) & 1);
        }
        p[i] = v;
    }
    return p;
}

CodecParams RandomParams(std::mt19937& rng) {
    CodecParams p{};
    for (int i = 0; i < kParamCount; ++i) {
        p[i] = static_cast<int32_t>(rng() & ((1u << kParamBits[i]) - 1));
    }
    p[kParamP0] = PitchParity(p[kParamP1]);
    return p;
}

TEST(BitstreamTest, AllOnesAndAllZeros) {
    const CodecParams ones = {255, 1023, 255, 1, 8191, 15, 127, 31, 8191, 15, 127};
    const CodecParams zeros{};
    BitPacker packer;
    BitUnpacker unpacker;
    uint8_t frame[10];

    packer.Pack(ones.data(), frame);
    for (uint8_t b : frame) {
        EXPECT_EQ(b, 0xFF);
    }
    CodecParams back{};
    unpacker.Unpack(frame, back.data());
    EXPECT_EQ(back, ones);

    packer.Pack(zeros.data(), frame);
    for (uint8_t b : frame) {
        EXPECT_EQ(b, 0x00);
    }
    unpacker.Unpack(frame, back.data());
    EXPECT_EQ(back, zeros);
}

TEST(BitstreamTest, RandomRoundTripsMatchForwardReadingAndLeaveNoState) {
    std::mt19937 rng(729);
    BitPacker packer;
    BitUnpacker unpacker;
    for (int trial = 0; trial < 5000; ++trial) {
        const CodecParams p = RandomParams(rng);
        uint8_t frame[10];
        packer.Pack(p.data(), frame);
        EXPECT_EQ(packer.acc, 0);
        EXPECT_EQ(packer.pending, 0);
        EXPECT_EQ(ReadForwards(frame), p);

        CodecParams back{};
        unpacker.Unpack(frame, back.data());
        EXPECT_EQ(unpacker.buf, 0);
        EXPECT_EQ(unpacker.pending, 0);
        ASSERT_EQ(back, p) << "trial " << trial;
        EXPECT_EQ(PitchParityCheck(back[kParamP1], back[kParamP0]), 0);
    }
}

// Every parameter alone at all ones lands exactly on the bit positions of the
// G.729 frame layout.
TEST(BitstreamTest, BitPositions) {
    struct Span {
        int first;
        int last;
    };
    const Span spans[kParamCount] = {{0, 7},   {8, 17},  {18, 25}, {26, 26}, {27, 39}, {40, 43},
                                     {44, 50}, {51, 55}, {56, 68}, {69, 72}, {73, 79}};
    BitPacker packer;
    for (int i = 0; i < kParamCount; ++i) {
        CodecParams p{};
        p[i] = (1 << kParamBits[i]) - 1;
        uint8_t frame[10];
        packer.Pack(p.data(), frame);
        for (int bit = 0; bit < 80; ++bit) {
            const bool set = (frame[bit / 8] >> (7 - bit % 8)) & 1;
            EXPECT_EQ(set, bit >= spans[i].first && bit <= spans[i].last)
                << "parameter " << i << " bit " << bit;
        }
    }
    // P0 is the 0x20 bit of byte 3.
    CodecParams p{};
    p[kParamP0] = 1;
    uint8_t frame[10];
    packer.Pack(p.data(), frame);
    EXPECT_EQ(frame[3], 0x20);
}

TEST(BitstreamTest, OutOfRangeValueDoesNotSpillIntoNeighbours) {
    CodecParams p{};
    p[kParamP0] = 3;          // only bit 0 fits
    p[kParamS1] = 0x1F0 | 5;  // only the low nibble fits
    BitPacker packer;
    uint8_t frame[10];
    packer.Pack(p.data(), frame);
    EXPECT_EQ(packer.pending, 0);
    const CodecParams back = ReadForwards(frame);
    EXPECT_EQ(back[kParamP0], 1);
    EXPECT_EQ(back[kParamS1], 5);
    EXPECT_EQ(back[kParamP1], 0);
    EXPECT_EQ(back[kParamC1], 0);
    EXPECT_EQ(back[kParamGain1], 0);
}

TEST(BitstreamTest, Parity) {
    EXPECT_EQ(PitchParity(0), 1);
    EXPECT_EQ(PitchParityCheck(0, 1), 0);
    EXPECT_EQ(PitchParityCheck(0, 0), 1);
    // Bits 0 and 1 do not count.
    EXPECT_EQ(PitchParity(3), 1);
    EXPECT_EQ(PitchParity(4), 0);
    EXPECT_EQ(PitchParity(0xFC), 1);  // six set bits
    EXPECT_EQ(PitchParity(0x84), 1);  // two set bits
    EXPECT_EQ(PitchParity(0x80), 0);
    for (int p1 = 0; p1 < 256; ++p1) {
        EXPECT_EQ(PitchParityCheck(p1, PitchParity(p1)), 0);
        EXPECT_EQ(PitchParityCheck(p1, 1 - PitchParity(p1)), 1);
    }
}

// The one-sample and the block conversion must agree: the decoder uses the
// block one.
TEST(PcmTest, RoundsHalfAwayFromZeroAndSaturates) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double in;
        int16_t out;
    } cases[] = {
        {2.5, 3},           {-2.5, -3},         {0.49, 0},
        {-0.49, 0},         {0.5, 1},           {-0.5, -1},
        {-0.0, 0},          {32766.6, 32767},   {32767.4, 32767},
        {40000.0, 32767},   {-32768.4, -32768}, {-32767.6, -32768},
        {-40000.0, -32768}, {1e300, 32767},     {-1e300, -32768},
        {inf, 32767},       {-inf, -32768},     {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    std::vector<double> in;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(PcmFromDouble(c.in), c.out);
        in.push_back(c.in);
    }
    for (int s = -32768; s <= 32767; s += 97) {
        EXPECT_EQ(PcmFromDouble(DoubleFromPcm(static_cast<int16_t>(s))), s);
        in.push_back(s + 0.3);
    }
    std::vector<int16_t> out(in.size());
    PcmFromDoubles(in.data(), out.data(), static_cast<int>(in.size()));
    for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(out[i], PcmFromDouble(in[i])) << "at " << in[i];
    }
}

}  // namespace
}  // namespace kestrona::codec
