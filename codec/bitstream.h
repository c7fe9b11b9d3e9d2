// The parameter vector of one coded frame and its packing into the 80-bit
// G.729 frame (most significant bit of byte 0 first).
#pragma once

#include <array>
#include <cstdint>

namespace kestrona::codec {

inline constexpr int kParamCount = 11;

// L0L1, L2L3, P1, P0, C1, S1, GA1GB1, P2, C2, S2, GA2GB2.
using CodecParams = std::array<int32_t, kParamCount>;

// Bit width of each parameter in the coded frame; the packer and the unpacker
// both walk this table.
inline constexpr int kParamBits[kParamCount] = {8, 10, 8, 1, 13, 4, 7, 5, 13, 4, 7};

// Indices of the parameters inside CodecParams.
enum ParamIndex : int {
    kParamLsp1 = 0,   // L0 * 128 + L1
    kParamLsp2 = 1,   // L2 * 32 + L3
    kParamP1 = 2,     // pitch delay, subframe 1
    kParamP0 = 3,     // parity of P1
    kParamC1 = 4,     // pulse positions, subframe 1
    kParamS1 = 5,     // pulse signs, subframe 1
    kParamGain1 = 6,  // GA1 * 16 + GB1
    kParamP2 = 7,     // relative pitch delay, subframe 2
    kParamC2 = 8,
    kParamS2 = 9,
    kParamGain2 = 10,
};

// P0 for a given P1: 1 plus the set bits among bits 2..7 of P1, modulo 2.
int PitchParity(int32_t p1);

// Parity check at the receiver: 0 when p0 matches p1, 1 on a parity error.
int PitchParityCheck(int32_t p1, int32_t p0);

// Packs the eleven parameters into 10 bytes. Each value is cut to its width
// first so that a stray out-of-range value cannot spill into its neighbours.
// The accumulator and pending count are back to 0 at the end of every frame.
struct BitPacker {
    uint16_t acc = 0;
    uint16_t pending = 0;

    void Pack(const int32_t params[kParamCount], uint8_t frame[10]);
};

// Unpacks 10 bytes into the eleven parameters. Walks the bytes and the
// parameters backwards; every value comes out non-negative.
struct BitUnpacker {
    uint8_t buf = 0;
    uint8_t pending = 0;

    void Unpack(const uint8_t frame[10], int32_t params[kParamCount]);
};

}  // namespace kestrona::codec
