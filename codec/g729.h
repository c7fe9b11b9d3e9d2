// The speech codec's entry points: ITU-T G.729 Annex A, 80 samples <-> 10 bytes.
// One process-wide encoder and one decoder; the encoder and the decoder may run
// at the same time on two threads, but neither side is re-entrant.
#pragma once

#include <cstdint>

namespace kestrona::codec {
inline constexpr int kFrameSamples = 80;
inline constexpr int kFrameBytes = 10;

// The LSP stability check of either side writes "warning LSP Low \n" or
// "warning LSP High \n" to standard output when it has to move the first or
// the last LSF. A program with no one reading its standard output (the phone,
// whose output ends up in the user's journal, a line per frame of a peer's
// junk) has them counted instead. The counts start again at each init.
struct LspWarnings {
    bool print = true;  // write the lines; counted either way
    uint32_t low = 0;   // first LSF raised to the floor
    uint32_t high = 0;  // last LSF lowered to the ceiling
};
}  // namespace kestrona::codec

void G729EncoderInit();
void G729EncodeFrame(const int16_t* pcm, uint8_t* frame);
void G729DecoderInit();
void G729DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame);

// Whether both sides write their LSP warning lines (the default) or only
// count them. Like the inits, only while neither side is coding.
void G729SetLspWarningsPrinted(bool printed);
// The warnings of each side since its last init; read while it is not coding.
kestrona::codec::LspWarnings G729EncoderLspWarnings();
kestrona::codec::LspWarnings G729DecoderLspWarnings();
