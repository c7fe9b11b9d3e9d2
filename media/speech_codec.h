// The codec as the engine sees it: one encoder and one decoder per call.
// Production uses the process-wide codec; a test that runs both ends of a call
// in one process gives each engine a codec with its own state.
#pragma once

#include <cstdint>
#include <memory>

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
};

// The process-wide G.729 entry points. Only one engine may use it at a time.
std::shared_ptr<SpeechCodec> ProcessSpeechCodec();

// The same codec with an encoder and a decoder state of its own, for running
// more than one engine in a process (both ends of a test call).
std::shared_ptr<SpeechCodec> MakePrivateSpeechCodec();

}  // namespace kestrona
