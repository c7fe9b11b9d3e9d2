#include <array>

#include "codec/g729.h"
#include "media/frame_codec.h"
#include "media/speech_codec.h"

namespace kestrona {
namespace {

class G729FrameCodec final : public FrameCodec {
  public:
    G729FrameCodec(std::shared_ptr<SpeechCodec> speech, int sample_rate)
        : m_speech(std::move(speech)), m_rate(sample_rate) {
        m_speech->EncoderInit();
        m_speech->DecoderInit();
    }

    int SampleRate() const override { return m_rate; }
    int FrameSamples() const override { return codec::kFrameSamples; }
    std::size_t MaxFrameBytes() const override { return codec::kFrameBytes; }
    bool HasFec() const override { return false; }

    std::size_t Encode(std::span<const int16_t> pcm, std::span<uint8_t> out) override {
        if (pcm.size() != codec::kFrameSamples || out.size() < codec::kFrameBytes) {
            return 0;
        }
        m_speech->EncodeFrame(pcm.data(), out.data());
        return codec::kFrameBytes;
    }

    bool Decode(std::span<const uint8_t> frame, std::span<int16_t> pcm) override {
        if (pcm.size() != codec::kFrameSamples) {
            return false;
        }
        // Every 10 bytes are some frame of this codec; any other length is not.
        if (frame.size() != codec::kFrameBytes) {
            ConcealFrame(pcm.data());
            return false;
        }
        m_speech->DecodeFrame(frame.data(), pcm.data(), 0);
        return true;
    }

    bool Conceal(std::span<int16_t> pcm) override {
        if (pcm.size() != codec::kFrameSamples) {
            return false;
        }
        ConcealFrame(pcm.data());
        return true;
    }

    bool DecodeFromNext(std::span<const uint8_t> next, std::span<int16_t> pcm) override {
        if (pcm.size() != codec::kFrameSamples) {
            return false;
        }
        // No frame of this codec carries another: the loss is concealed.
        ConcealFrame(pcm.data());
        return next.size() == codec::kFrameBytes;
    }

  private:
    // The erasure flag makes the decoder ignore the bits and extrapolate
    // from its last good parameters.
    void ConcealFrame(int16_t* pcm) {
        static constexpr std::array<uint8_t, codec::kFrameBytes> kNoBits{};
        m_speech->DecodeFrame(kNoBits.data(), pcm, 1);
    }

    std::shared_ptr<SpeechCodec> m_speech;
    int m_rate;
};

}  // namespace

std::unique_ptr<FrameCodec> MakeG729FrameCodec(std::shared_ptr<SpeechCodec> speech,
                                               int sample_rate) {
    if (!speech || sample_rate <= 0) {
        return nullptr;
    }
    return std::make_unique<G729FrameCodec>(std::move(speech), sample_rate);
}

}  // namespace kestrona
