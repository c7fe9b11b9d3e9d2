// The speech codec's entry points: ITU-T G.729 Annex A, 80 samples <-> 10 bytes.
// One process-wide encoder and one decoder; the encoder and the decoder may run
// at the same time on two threads, but neither side is re-entrant.
#pragma once

#include <cstdint>

namespace kestrona::codec {
inline constexpr int kFrameSamples = 80;
inline constexpr int kFrameBytes = 10;
}  // namespace kestrona::codec

void G729EncoderInit();
void G729EncodeFrame(const int16_t* pcm, uint8_t* frame);
void G729DecoderInit();
void G729DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame);
