#include "media/speech_codec.h"

#include "codec/decoder.h"
#include "codec/encoder.h"
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

class PrivateCodec final : public SpeechCodec {
  public:
    void EncoderInit() override { codec::EncoderInit(m_encoder); }
    void EncodeFrame(const int16_t* pcm, uint8_t* frame) override {
        int32_t params[codec::kParamCount];
        codec::EncodeToParams(m_encoder, pcm, params);
        m_encoder.packer.Pack(params, frame);
    }
    void DecoderInit() override { codec::DecoderInit(m_decoder); }
    void DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame) override {
        codec::DecodeFrame(m_decoder, frame, pcm, badFrame);
    }

  private:
    G729EncoderState m_encoder;
    G729DecoderState m_decoder;
};

}  // namespace

std::shared_ptr<SpeechCodec> MakePrivateSpeechCodec() {
    return std::make_shared<PrivateCodec>();
}

std::shared_ptr<SpeechCodec> ProcessSpeechCodec() {
    static const std::shared_ptr<SpeechCodec> codec = std::make_shared<ProcessCodec>();
    return codec;
}

}  // namespace kestrona
