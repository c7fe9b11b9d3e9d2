#include "media/speech_codec.h"

#include <mutex>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/g729.h"

namespace kestrona {
namespace {

// An engine being retired may still be in its last frame while the next
// call's engine resets the codec: each entry point holds the codec alone.
class ProcessCodec final : public SpeechCodec {
  public:
    void EncoderInit() override {
        std::lock_guard lock(m_encoderMutex);
        G729EncoderInit();
    }
    void EncodeFrame(const int16_t* pcm, uint8_t* frame) override {
        std::lock_guard lock(m_encoderMutex);
        G729EncodeFrame(pcm, frame);
    }
    void DecoderInit() override {
        std::lock_guard lock(m_decoderMutex);
        G729DecoderInit();
    }
    void DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame) override {
        std::lock_guard lock(m_decoderMutex);
        G729DecodeFrame(frame, pcm, badFrame);
    }
    void SetLspWarningsPrinted(bool printed) override {
        std::scoped_lock lock(m_encoderMutex, m_decoderMutex);
        G729SetLspWarningsPrinted(printed);
    }
    codec::LspWarnings EncoderLspWarnings() override {
        std::lock_guard lock(m_encoderMutex);
        return G729EncoderLspWarnings();
    }
    codec::LspWarnings DecoderLspWarnings() override {
        std::lock_guard lock(m_decoderMutex);
        return G729DecoderLspWarnings();
    }

  private:
    std::mutex m_encoderMutex;
    std::mutex m_decoderMutex;
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
    void SetLspWarningsPrinted(bool printed) override {
        m_encoder.lsp_warnings.print = printed;
        m_decoder.lsp_warnings.print = printed;
    }
    codec::LspWarnings EncoderLspWarnings() override { return m_encoder.lsp_warnings; }
    codec::LspWarnings DecoderLspWarnings() override { return m_decoder.lsp_warnings; }

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
