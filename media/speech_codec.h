// The codec as the engine sees it: one encoder and one decoder per call.
// Production uses the process-wide codec; a test that runs both ends of a call
// in one process gives each engine a codec with its own state.
#pragma once

#include <cstdint>
#include <memory>

#include "codec/g729.h"

namespace kestrona {

class SpeechCodec {
  public:
    virtual ~SpeechCodec() = default;
    virtual void EncoderInit() = 0;
    // 80 samples in, 10 bytes out.
    virtual void EncodeFrame(const int16_t* pcm, uint8_t* frame) = 0;
    virtual void DecoderInit() = 0;
    // 10 bytes in, 80 samples out.
    virtual void DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame) = 0;
    // The LSP warning lines of both sides: on standard output (the codec's
    // default) or only counted. Set before the inits.
    virtual void SetLspWarningsPrinted(bool) {}
    // Each side's warnings since its last init; read when the side is idle.
    virtual codec::LspWarnings EncoderLspWarnings() { return {}; }
    virtual codec::LspWarnings DecoderLspWarnings() { return {}; }
};

// The process-wide G.729 entry points. Only one engine may use it at a time.
std::shared_ptr<SpeechCodec> ProcessSpeechCodec();

// The same codec with an encoder and a decoder state of its own, for running
// more than one engine in a process (both ends of a test call).
std::shared_ptr<SpeechCodec> MakePrivateSpeechCodec();

}  // namespace kestrona
