// kestrona-codec: encodes PCM to G.729 Annex A frames and decodes them back.
//
//   kestrona-codec encode IN OUT [--rate HZ]
//   kestrona-codec decode IN OUT [--rate HZ] [--bad-frames LIST]
//
// IN for encode is a mono 16-bit WAV, or raw 16-bit little-endian PCM. OUT of
// decode is WAV when its name ends in .wav, raw PCM otherwise. The codec does
// not care about the sample rate: a WAV's rate is carried through, --rate
// names the rate of raw input and of decoded WAV output (default 8000).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/g729.h"
#include "tools/wav_io.h"

namespace {

using kestrona::codec::kFrameBytes;
using kestrona::codec::kFrameSamples;

constexpr int kUsageExit = 2;
constexpr int kFailExit = 1;

int Usage() {
    std::fputs(
        "usage: kestrona-codec encode IN OUT [--rate HZ]\n"
        "       kestrona-codec decode IN OUT [--rate HZ] [--bad-frames LIST]\n"
        "  encode: IN is a mono 16-bit WAV or raw 16-bit little-endian PCM;\n"
        "          OUT receives concatenated 10-byte frames (80 samples each).\n"
        "  decode: IN is concatenated 10-byte frames; OUT is a WAV file when its\n"
        "          name ends in .wav, raw 16-bit little-endian PCM otherwise.\n"
        "  --rate HZ         rate of raw input, and of decoded WAV output (default 8000)\n"
        "  --bad-frames LIST frames to treat as lost, counted from 0: e.g. 3,10-19\n",
        stderr);
    return kUsageExit;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kestrona-codec: %s\n", message.c_str());
    return kFailExit;
}

bool ParseInt(const std::string& s, long long lo, long long hi, long long* out) {
    if (s.empty() || s.size() > 18) {
        return false;
    }
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

// "3,10-19" -> marks frames 3 and 10..19 in lost (sized to the frame count).
bool ParseBadFrames(const std::string& list, std::vector<char>* lost, std::string* error) {
    const long long frames = static_cast<long long>(lost->size());
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string item = list.substr(start, end - start);
        const size_t dash = item.find('-');
        long long first;
        long long last;
        const bool ok = dash == std::string::npos
                            ? ParseInt(item, 0, 1LL << 40, &first) && ((last = first), true)
                            : ParseInt(item.substr(0, dash), 0, 1LL << 40, &first) &&
                                  ParseInt(item.substr(dash + 1), 0, 1LL << 40, &last) &&
                                  first <= last;
        if (!ok) {
            *error =
                "--bad-frames: \"" + item + "\" is not a frame number or a rising range like 10-19";
            return false;
        }
        if (last >= frames) {
            *error = "--bad-frames: frame " + std::to_string(last) + " is past the end (" +
                     std::to_string(frames) + " frames, numbered from 0)";
            return false;
        }
        for (long long i = first; i <= last; ++i) {
            (*lost)[static_cast<size_t>(i)] = 1;
        }
        start = end + 1;
    }
    return true;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Summary(const char* verb, size_t frames, size_t samples, int rate, double elapsed,
             size_t lost) {
    const double audio = static_cast<double>(samples) / rate;
    std::fprintf(stderr, "%s %zu frames, %.3f s of audio at %d Hz", verb, frames, audio, rate);
    if (lost > 0) {
        std::fprintf(stderr, ", %zu marked lost", lost);
    }
    std::fprintf(stderr, ", real-time factor %.5f\n", audio > 0 ? elapsed / audio : 0.0);
}

int Encode(const std::string& in, const std::string& out, int raw_rate) {
    kestrona::tools::PcmAudio audio;
    std::string error;
    if (!kestrona::tools::ReadPcmFile(in, raw_rate, &audio, &error)) {
        return Fail(error);
    }
    // The last frame is completed with silence so that no input sample is dropped.
    const size_t frames = (audio.samples.size() + kFrameSamples - 1) / kFrameSamples;
    const size_t padding = frames * kFrameSamples - audio.samples.size();
    audio.samples.resize(frames * kFrameSamples, 0);
    std::vector<uint8_t> coded(frames * kFrameBytes);

    const auto t0 = std::chrono::steady_clock::now();
    G729EncoderInit();
    for (size_t i = 0; i < frames; ++i) {
        G729EncodeFrame(&audio.samples[i * kFrameSamples], &coded[i * kFrameBytes]);
    }
    const double elapsed = Seconds(std::chrono::steady_clock::now() - t0);

    if (!kestrona::tools::WriteBytes(out, coded.data(), coded.size(), &error)) {
        return Fail(error);
    }
    if (padding > 0) {
        std::fprintf(stderr, "kestrona-codec: last frame completed with %zu samples of silence\n",
                     padding);
    }
    Summary("encoded", frames, audio.samples.size() - padding, audio.rate, elapsed, 0);
    return 0;
}

// Decoded samples go to the output file a chunk at a time, so that the whole
// decoded file never sits in memory. The chunks are large and go straight to
// the file: a few system calls for a call's worth of speech.
class PcmWriter {
  public:
    explicit PcmWriter(const std::string& path)
        : path_(path), fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {}
    ~PcmWriter() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    PcmWriter(const PcmWriter&) = delete;
    PcmWriter& operator=(const PcmWriter&) = delete;

    bool Open(std::string* error) {
        if (fd_ < 0) {
            *error = path_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool Write(const uint8_t* data, size_t size) {
        if (used_ + size > sizeof buf_ && !Flush()) {
            return false;
        }
        if (size > sizeof buf_) {
            return WriteOut(data, size);
        }
        std::memcpy(buf_ + used_, data, size);
        used_ += size;
        return true;
    }
    // One frame's samples, little-endian.
    bool WriteFrame(const int16_t pcm[kFrameSamples]) {
        if (used_ + 2 * kFrameSamples > sizeof buf_ && !Flush()) {
            return false;
        }
        for (int n = 0; n < kFrameSamples; ++n) {
            const auto x = static_cast<uint16_t>(pcm[n]);
            buf_[used_++] = static_cast<uint8_t>(x);
            buf_[used_++] = static_cast<uint8_t>(x >> 8);
        }
        return true;
    }
    bool Close(std::string* error) {
        Flush();
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        if (!ok_ || !closed) {
            *error = path_ + ": write failed" +
                     (errno_ != 0 ? std::string(": ") + std::strerror(errno_) : "");
            return false;
        }
        return true;
    }

  private:
    bool Flush() {
        WriteOut(buf_, used_);
        used_ = 0;
        return ok_;
    }
    bool WriteOut(const uint8_t* data, size_t size) {
        while (ok_ && size > 0) {
            const ssize_t put = ::write(fd_, data, size);
            if (put > 0) {
                data += put;
                size -= static_cast<size_t>(put);
            } else if (put < 0 && errno == EINTR) {
                continue;
            } else {
                errno_ = put < 0 ? errno : ENOSPC;
                ok_ = false;
            }
        }
        return ok_;
    }

    std::string path_;
    int fd_;
    bool ok_ = true;
    int errno_ = 0;
    size_t used_ = 0;
    uint8_t buf_[64 * 1024];
};

int Decode(const std::string& in, const std::string& out, int rate, const std::string* bad_list) {
    std::vector<uint8_t> coded;
    std::string error;
    if (!kestrona::tools::ReadBytes(in, &coded, &error)) {
        return Fail(error);
    }
    const size_t frames = coded.size() / kFrameBytes;
    const size_t left = coded.size() % kFrameBytes;
    if (left != 0) {
        return Fail(in + ": " + std::to_string(coded.size()) + " bytes is not a whole number of " +
                    std::to_string(kFrameBytes) + "-byte frames (" + std::to_string(frames) +
                    " frames and " + std::to_string(left) + " bytes left over); nothing decoded");
    }
    std::vector<char> lost(frames, 0);
    if (bad_list != nullptr && !ParseBadFrames(*bad_list, &lost, &error)) {
        return Fail(error);
    }
    const bool wav = kestrona::tools::HasWavExtension(out);
    const uint64_t data_bytes = static_cast<uint64_t>(frames) * kFrameSamples * 2;
    if (wav && data_bytes > 0xFFFFFFFFull - 36) {
        return Fail(out + ": too much audio for one WAV file");
    }
    PcmWriter writer(out);
    if (!writer.Open(&error)) {
        return Fail(error);
    }
    if (wav) {
        uint8_t header[kestrona::tools::kWavHeaderBytes];
        kestrona::tools::WavHeader(static_cast<uint32_t>(data_bytes), rate, header);
        writer.Write(header, sizeof header);
    }

    size_t lost_count = 0;
    int16_t pcm[kFrameSamples];
    const auto t0 = std::chrono::steady_clock::now();
    G729DecoderInit();
    for (size_t i = 0; i < frames; ++i) {
        lost_count += lost[i] ? 1 : 0;
        G729DecodeFrame(&coded[i * kFrameBytes], pcm, lost[i] ? 1 : 0);
        writer.WriteFrame(pcm);
    }
    const double elapsed = Seconds(std::chrono::steady_clock::now() - t0);
    if (!writer.Close(&error)) {
        return Fail(error);
    }
    Summary("decoded", frames, frames * kFrameSamples, rate, elapsed, lost_count);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string bad_frames;
    bool have_bad = false;
    long long rate = 8000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bad-frames" || arg == "--rate") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrona-codec: %s needs a value\n", arg.c_str());
                return Usage();
            }
            const std::string value = argv[++i];
            if (arg == "--bad-frames") {
                bad_frames = value;
                have_bad = true;
            } else if (!ParseInt(value, 1, 1000000, &rate)) {
                std::fprintf(stderr, "kestrona-codec: --rate \"%s\" is not a rate in Hz\n",
                             value.c_str());
                return Usage();
            }
        } else if (arg == "-h" || arg == "--help") {
            Usage();
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "kestrona-codec: unknown option %s\n", arg.c_str());
            return Usage();
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3) {
        return Usage();
    }
    const std::string& mode = positional[0];
    if (mode == "encode") {
        if (have_bad) {
            std::fputs("kestrona-codec: --bad-frames applies to decode only\n", stderr);
            return Usage();
        }
        return Encode(positional[1], positional[2], static_cast<int>(rate));
    }
    if (mode == "decode") {
        return Decode(positional[1], positional[2], static_cast<int>(rate),
                      have_bad ? &bad_frames : nullptr);
    }
    std::fprintf(stderr, "kestrona-codec: unknown command \"%s\"\n", mode.c_str());
    return Usage();
}
