#include <opus.h>

#include <algorithm>

#include "media/frame_codec.h"

namespace kestrona {
namespace {

constexpr int kFrameMs = 20;

struct EncoderDeleter {
    void operator()(OpusEncoder* enc) const { opus_encoder_destroy(enc); }
};
struct DecoderDeleter {
    void operator()(OpusDecoder* dec) const { opus_decoder_destroy(dec); }
};
using EncoderPtr = std::unique_ptr<OpusEncoder, EncoderDeleter>;
using DecoderPtr = std::unique_ptr<OpusDecoder, DecoderDeleter>;

bool RateSupported(int rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

class OpusFrameCodec final : public FrameCodec {
  public:
    OpusFrameCodec(EncoderPtr enc, DecoderPtr dec, int rate)
        : m_enc(std::move(enc)),
          m_dec(std::move(dec)),
          m_rate(rate),
          m_frameSamples(rate / 1000 * kFrameMs) {}

    int SampleRate() const override { return m_rate; }
    int FrameSamples() const override { return m_frameSamples; }
    std::size_t MaxFrameBytes() const override { return kOpusMaxFrameBytes; }
    bool HasFec() const override { return true; }

    std::size_t Encode(std::span<const int16_t> pcm, std::span<uint8_t> out) override {
        if (pcm.size() != static_cast<std::size_t>(m_frameSamples) ||
            out.size() < kOpusMaxFrameBytes) {
            return 0;
        }
        const opus_int32 n = opus_encode(m_enc.get(), pcm.data(), m_frameSamples, out.data(),
                                         static_cast<opus_int32>(kOpusMaxFrameBytes));
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    bool Decode(std::span<const uint8_t> frame, std::span<int16_t> pcm) override {
        if (!IsFrame(pcm)) {
            return false;
        }
        // A packet of another duration would either not fit the frame or
        // leave part of it unfilled: it is refused before the decoder sees it.
        if (!Readable(frame)) {
            ConcealFrame(pcm.data());
            return false;
        }
        const int n = opus_decode(m_dec.get(), frame.data(), static_cast<opus_int32>(frame.size()),
                                  pcm.data(), m_frameSamples, 0);
        if (n != m_frameSamples) {
            ConcealFrame(pcm.data());
            return false;
        }
        return true;
    }

    bool Conceal(std::span<int16_t> pcm) override {
        if (!IsFrame(pcm)) {
            return false;
        }
        ConcealFrame(pcm.data());
        return true;
    }

    bool DecodeFromNext(std::span<const uint8_t> next, std::span<int16_t> pcm) override {
        if (!IsFrame(pcm)) {
            return false;
        }
        if (!Readable(next)) {
            ConcealFrame(pcm.data());
            return false;
        }
        // With the FEC flag the decoder reads the copy of the frame before
        // next, or conceals when next has none.
        const int n = opus_decode(m_dec.get(), next.data(), static_cast<opus_int32>(next.size()),
                                  pcm.data(), m_frameSamples, 1);
        if (n != m_frameSamples) {
            ConcealFrame(pcm.data());
            return false;
        }
        return true;
    }

  private:
    bool IsFrame(std::span<int16_t> pcm) const {
        return pcm.size() == static_cast<std::size_t>(m_frameSamples);
    }

    bool Readable(std::span<const uint8_t> frame) const {
        if (frame.empty() || frame.size() > kOpusMaxFrameBytes) {
            return false;
        }
        return opus_packet_get_nb_samples(frame.data(), static_cast<opus_int32>(frame.size()),
                                          m_rate) == m_frameSamples;
    }

    void ConcealFrame(int16_t* pcm) {
        if (opus_decode(m_dec.get(), nullptr, 0, pcm, m_frameSamples, 0) != m_frameSamples) {
            std::fill(pcm, pcm + m_frameSamples, int16_t{0});
        }
    }

    EncoderPtr m_enc;
    DecoderPtr m_dec;
    int m_rate;
    int m_frameSamples;
};

}  // namespace

std::unique_ptr<FrameCodec> MakeOpusFrameCodec(const OpusFrameSettings& s) {
    if (!RateSupported(s.sample_rate) || s.complexity < 0 || s.complexity > 10 ||
        s.expected_loss_pct < 0 || s.expected_loss_pct > 100 || s.bitrate < 6000 ||
        s.bitrate > 510000) {
        return nullptr;
    }
    int err = OPUS_OK;
    EncoderPtr enc(opus_encoder_create(s.sample_rate, 1, OPUS_APPLICATION_VOIP, &err));
    if (!enc || err != OPUS_OK) {
        return nullptr;
    }
    DecoderPtr dec(opus_decoder_create(s.sample_rate, 1, &err));
    if (!dec || err != OPUS_OK) {
        return nullptr;
    }
    OpusEncoder* e = enc.get();
    // Unconstrained VBR: the stream is TCP, so a loud frame taking more bytes
    // than its share costs nothing but those bytes.
    if (opus_encoder_ctl(e, OPUS_SET_BITRATE(s.bitrate)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_VBR(s.constant_bitrate ? 0 : 1)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_VBR_CONSTRAINT(0)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_COMPLEXITY(s.complexity)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_INBAND_FEC(1)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_PACKET_LOSS_PERC(s.expected_loss_pct)) != OPUS_OK ||
        opus_encoder_ctl(e, OPUS_SET_DTX(0)) != OPUS_OK) {
        return nullptr;
    }
    return std::make_unique<OpusFrameCodec>(std::move(enc), std::move(dec), s.sample_rate);
}

}  // namespace kestrona
