#include "codec/bitstream.h"

namespace kestrona::codec {

namespace {

// Masks by width; only the widths of kParamBits are ever looked up.
constexpr uint16_t kWidthMask[16] = {0,   1,   3,    7,    15,   31,   63,    127,
                                     255, 511, 1023, 2047, 4095, 8191, 16383, 32767};

}  // namespace

int PitchParity(int32_t p1) {
    int sum = 1;
    for (int bit = 2; bit <= 7; ++bit) {
        sum += (p1 >> bit) & 1;
    }
    return sum & 1;
}

int PitchParityCheck(int32_t p1, int32_t p0) {
    return (PitchParity(p1) + p0) & 1;
}

void BitPacker::Pack(const int32_t params[kParamCount], uint8_t frame[10]) {
    int out = 0;
    for (int p = 0; p < kParamCount; ++p) {
        const int w = kParamBits[p];
        const uint32_t v = static_cast<uint32_t>(params[p]) & kWidthMask[w];
        const uint32_t x = (static_cast<uint32_t>(acc) << w) | v;
        if (pending + w < 8) {
            acc = static_cast<uint16_t>(x);
            pending = static_cast<uint16_t>(pending + w);
            continue;
        }
        const int s = pending + w - 8;
        frame[out++] = static_cast<uint8_t>(x >> s);
        acc = static_cast<uint16_t>(x & ((1u << s) - 1u));
        pending = static_cast<uint16_t>(s);
    }
}

void BitUnpacker::Unpack(const uint8_t frame[10], int32_t params[kParamCount]) {
    int in = 9;
    for (int p = kParamCount - 1; p >= 0; --p) {
        const int w = kParamBits[p];
        if (pending != 0 && w == 1) {
            params[p] = buf & 1;
            buf = static_cast<uint8_t>(buf >> 1);
            --pending;
            continue;
        }
        const uint32_t y = (static_cast<uint32_t>(frame[in--]) << pending) | buf;
        params[p] = static_cast<int32_t>(y & kWidthMask[w]);
        buf = static_cast<uint8_t>(y >> w);
        pending = static_cast<uint8_t>(pending + 8 - w);
    }
}

}  // namespace kestrona::codec
