// A call's speech codec as the engine uses it: fixed frames of samples in,
// coded frames of up to a known length out, and the means to fill a frame that
// never arrived. Each call gets a codec object of its own; one object is used
// by one thread per side (the encoder by the send path, the decoder by the
// receive path), and the two sides may run at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrona {

class SpeechCodec;

class FrameCodec {
  public:
    virtual ~FrameCodec() = default;

    // The rate of the samples a frame holds, in Hz.
    virtual int SampleRate() const = 0;
    // Samples in one frame (one channel).
    virtual int FrameSamples() const = 0;
    // The longest coded frame this codec produces or accepts, in bytes.
    virtual std::size_t MaxFrameBytes() const = 0;
    // Whether a coded frame can carry a copy of the frame before it
    // (DecodeFromNext then does better than Conceal).
    virtual bool HasFec() const = 0;

    // Codes FrameSamples() samples into out. Returns the coded length, from 1
    // to MaxFrameBytes(), or 0 when the sizes do not fit (pcm not one frame,
    // out shorter than MaxFrameBytes()) or the coder failed.
    virtual std::size_t Encode(std::span<const int16_t> pcm, std::span<uint8_t> out) = 0;

    // Decodes one coded frame from the peer into FrameSamples() samples.
    // Returns false when the frame is not one this codec can decode (its
    // length, or its content for a codec that can tell); pcm then holds the
    // concealment of a lost frame, so the call can play on. Also false, with
    // pcm untouched, when pcm is not one frame long.
    virtual bool Decode(std::span<const uint8_t> frame, std::span<int16_t> pcm) = 0;

    // Fills pcm (one frame) for a frame that was lost, from what the decoder
    // has heard so far. False only when pcm is not one frame long.
    virtual bool Conceal(std::span<int16_t> pcm) = 0;

    // Fills pcm for the lost frame just before next, from the copy of it that
    // next carries; a codec without one, or a next frame without it, conceals
    // instead. next itself is not decoded: pass it to Decode afterwards.
    // False when pcm is not one frame long or next is not a frame this codec
    // can read (pcm then holds the concealment).
    virtual bool DecodeFromNext(std::span<const uint8_t> next, std::span<int16_t> pcm) = 0;
};

// G.729 Annex A over a SpeechCodec: 80 samples in 10 bytes, byte for byte what
// the SpeechCodec produces, with its frame-erasure concealment for lost
// frames. The coder does not know the rate: the samples are at the call's
// rate, whatever that is (sample_rate, only reported). Construction resets
// both sides of speech.
std::unique_ptr<FrameCodec> MakeG729FrameCodec(std::shared_ptr<SpeechCodec> speech,
                                               int sample_rate = 8000);

// Opus settings of a call between two phones of this version. Complexity 2
// keeps one call's encoder and decoder under half a percent of a core at
// 16 kHz (the codec bench measures it); above 2 the cost grows quickly, below
// 2 the encoder gives up the wide band to afford the FEC. At 24 kbit/s the
// encoder sends FEC only while it expects more than 5 % loss, and then moves
// to a narrower band for a few frames now and then.
struct OpusFrameSettings {
    int sample_rate = 16000;     // 8000, 12000, 16000, 24000 or 48000
    int bitrate = 24000;         // bit/s, variable
    int complexity = 2;          // 0..10
    int expected_loss_pct = 10;  // how much in-band FEC the encoder spends
    // Every frame the same length. An encrypted call's frames go so: the
    // lengths of variable frames tell a listener on the wire much of what
    // is said, sealed or not (RFC 6562).
    bool constant_bitrate = false;
};

// The longest frame of Opus there is (one frame of one packet).
inline constexpr std::size_t kOpusMaxFrameBytes = 1275;

// Opus in 20 ms frames, VBR (or CBR), voice, in-band FEC on. Returns null when the
// settings are out of range or the library refuses them.
std::unique_ptr<FrameCodec> MakeOpusFrameCodec(const OpusFrameSettings& settings = {});

}  // namespace kestrona
