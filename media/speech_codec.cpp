#include "media/speech_codec.h"

#include "codec/g729.h"

namespace kestrona {
namespace {

class ProcessCodec final : public SpeechCodec {
  public:
    void EncoderInit() override { G729EncoderInit(); }
    void EncodeFrame(const int16_t* pcm, uint8_t* frame) override { G729EncodeFrame(pcm, frame); }
    void DecoderInit() override { G729DecoderInit(); }
    void DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame) override {
        G729DecodeFrame(frame, pcm, badFrame);
    }
};

}  // namespace

std::shared_ptr<SpeechCodec> ProcessSpeechCodec() {
    static const std::shared_ptr<SpeechCodec> codec = std::make_shared<ProcessCodec>();
    return codec;
}

}  // namespace kestrona
