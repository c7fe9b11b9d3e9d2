#include "platform/wav_file.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kestrona {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

bool ReadAll(const std::filesystem::path& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path.string();
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path.string();
        return false;
    }
    return true;
}

void SamplesFromBytes(const uint8_t* p, size_t byteCount, std::vector<int16_t>& out) {
    out.resize(byteCount / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = int16_t(Le16(p + 2 * i));
}

bool ParseWav(const std::vector<uint8_t>& b, const std::string& name, PcmAudio& out,
              std::string& error) {
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        error = name + ": not a RIFF/WAVE file";
        return false;
    }
    bool haveFmt = false;
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        const uint8_t* chunk = b.data() + pos;
        uint32_t size = Le32(chunk + 4);
        size_t body = pos + 8;
        size_t avail = b.size() - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || avail < 16) {
                error = name + ": short fmt chunk";
                return false;
            }
            uint16_t tag = Le16(b.data() + body);
            out.channels = Le16(b.data() + body + 2);
            out.rate = Le32(b.data() + body + 4);
            uint16_t bits = Le16(b.data() + body + 14);
            // WAVE_FORMAT_EXTENSIBLE carries PCM too; trust the bit depth.
            if ((tag != 1 && tag != 0xFFFE) || bits != 16 || out.channels == 0) {
                error = name + ": only 16-bit PCM is supported";
                return false;
            }
            // The rate divides play times and multiplies resampled lengths: a
            // rate of 0 or of a few hertz would make either meaningless.
            if (out.rate < kMinWavRate || out.rate > kMaxWavRate) {
                error = name + ": sample rate " + std::to_string(out.rate) + " Hz is not usable";
                return false;
            }
            haveFmt = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFmt) {
                error = name + ": data chunk before fmt chunk";
                return false;
            }
            // A writer that died before fixing the size leaves 0 or too much:
            // take what is there.
            size_t n = size == 0 || size > avail ? avail : size;
            SamplesFromBytes(b.data() + body, n, out.samples);
            return true;
        }
        pos = body + size + (size & 1);
    }
    error = name + ": no data chunk";
    return false;
}

}  // namespace

bool ReadWavFile(const std::filesystem::path& path, PcmAudio& out, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadAll(path, bytes, error))
        return false;
    out = {};
    return ParseWav(bytes, path.string(), out, error);
}

bool ReadWavOrRawFile(const std::filesystem::path& path, PcmAudio& out, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadAll(path, bytes, error))
        return false;
    out = {};
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "RIFF", 4) == 0) {
        return ParseWav(bytes, path.string(), out, error);
    }
    SamplesFromBytes(bytes.data(), bytes.size(), out.samples);
    return true;
}

bool ReadRawPcmFile(const std::filesystem::path& path, std::vector<int16_t>& out,
                    std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadAll(path, bytes, error))
        return false;
    SamplesFromBytes(bytes.data(), bytes.size(), out);
    return true;
}

void ResampleLinear(const int16_t* in, size_t n, uint32_t fromRate, uint32_t toRate,
                    std::vector<int16_t>& out) {
    if (fromRate == toRate || fromRate == 0 || toRate == 0) {
        out.assign(in, in + n);
        return;
    }
    size_t m = size_t((uint64_t(n) * toRate + fromRate - 1) / fromRate);
    out.resize(m);
    for (size_t j = 0; j < m; ++j) {
        double x = double(j) * fromRate / toRate;
        size_t i = size_t(x);
        double f = x - double(i);
        double a = i < n ? in[i] : 0.0;
        double b = i + 1 < n ? in[i + 1] : a;
        out[j] = int16_t(std::lround(a + (b - a) * f));
    }
}

std::vector<int16_t> MixToMono(const std::vector<int16_t>& samples, uint16_t channels) {
    if (channels <= 1)
        return samples;
    std::vector<int16_t> mono(samples.size() / channels);
    for (size_t i = 0; i < mono.size(); ++i) {
        int32_t sum = 0;
        for (uint16_t c = 0; c < channels; ++c) sum += samples[i * channels + c];
        mono[i] = int16_t(sum / channels);
    }
    return mono;
}

std::vector<uint8_t> WavHeaderBytes(uint32_t rate, uint16_t channels, uint32_t dataBytes) {
    std::vector<uint8_t> h;
    h.reserve(44);
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    Put32(h, 36 + dataBytes);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(h, 16);
    Put16(h, 1);
    Put16(h, channels);
    Put32(h, rate);
    Put32(h, rate * 2u * channels);
    Put16(h, uint16_t(2 * channels));
    Put16(h, 16);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    Put32(h, dataBytes);
    return h;
}

bool WriteWavFile(const std::filesystem::path& path, const PcmAudio& audio, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + path.string();
        return false;
    }
    std::vector<uint8_t> bytes =
        WavHeaderBytes(audio.rate, audio.channels, uint32_t(audio.samples.size() * 2));
    bytes.reserve(bytes.size() + audio.samples.size() * 2);
    for (int16_t s : audio.samples) Put16(bytes, uint16_t(s));
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

}  // namespace kestrona
