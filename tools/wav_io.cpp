#include "tools/wav_io.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrona::tools {

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) {
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
    }
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void SamplesFromBytes(const uint8_t* p, size_t count, std::vector<int16_t>* out) {
    out->resize(count);
    for (size_t i = 0; i < count; ++i) {
        (*out)[i] = static_cast<int16_t>(Le16(p + 2 * i));
    }
}

void BytesFromSamples(const std::vector<int16_t>& s, std::vector<uint8_t>* out) {
    const size_t at = out->size();
    out->resize(at + 2 * s.size());
    uint8_t* p = out->data() + at;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto x = static_cast<uint16_t>(s[i]);
        p[2 * i] = static_cast<uint8_t>(x);
        p[2 * i + 1] = static_cast<uint8_t>(x >> 8);
    }
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

bool ParseWav(const std::string& path, const std::vector<uint8_t>& b, PcmAudio* out,
              std::string* error) {
    const size_t n = b.size();
    size_t pos = 12;
    bool have_fmt = false;
    while (pos + 8 <= n) {
        const uint8_t* chunk = b.data() + pos;
        const uint32_t size = Le32(chunk + 4);
        const size_t body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || body + 16 > n) {
                *error = path + ": WAV format chunk is truncated";
                return false;
            }
            const uint8_t* f = b.data() + body;
            uint16_t format = Le16(f);
            const uint16_t channels = Le16(f + 2);
            const uint32_t rate = Le32(f + 4);
            const uint16_t bits = Le16(f + 14);
            if (format == kFormatExtensible && size >= 40 && body + 26 <= n) {
                format = Le16(f + 24);  // first two bytes of the sub-format GUID
            }
            if (format != kFormatPcm || channels != 1 || bits != 16) {
                *error = path + ": WAV is " + std::to_string(channels) + " channel(s), " +
                         std::to_string(bits) + "-bit, format " + std::to_string(format) +
                         "; only mono 16-bit PCM is accepted";
                return false;
            }
            if (rate == 0 || rate > 1000000) {
                *error = path + ": WAV sample rate " + std::to_string(rate) + " is not usable";
                return false;
            }
            out->rate = static_cast<int>(rate);
            have_fmt = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!have_fmt) {
                *error = path + ": WAV data chunk comes before its format chunk";
                return false;
            }
            size_t len = size;
            // Streamed writers leave the size open (0 or all ones): take the rest.
            if (size == 0 || size == 0xFFFFFFFFu) {
                len = n - body;
            }
            if (body + len > n) {
                *error = path + ": WAV data chunk announces " + std::to_string(len) +
                         " bytes but the file holds only " + std::to_string(n - body);
                return false;
            }
            if (len % 2 != 0) {
                *error =
                    path + ": WAV data holds an odd number of bytes (" + std::to_string(len) + ")";
                return false;
            }
            SamplesFromBytes(b.data() + body, len / 2, &out->samples);
            out->was_wav = true;
            return true;
        }
        pos = body + size + (size & 1);
    }
    *error = path + (have_fmt ? ": WAV has no data chunk" : ": WAV has no format chunk");
    return false;
}

}  // namespace

bool ReadBytes(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    // The size a regular file reports is only a first guess at the buffer:
    // the file may change while it is read, and pipes report nothing.
    struct stat st {};
    size_t room = 65536;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) {
        room = static_cast<size_t>(st.st_size) + 1;
    }
    out->clear();
    size_t len = 0;
    bool failed = false;
    for (;;) {
        if (out->size() < len + 1) {
            out->resize(std::max(room, 2 * out->size()));
        }
        const ssize_t got = ::read(fd, out->data() + len, out->size() - len);
        if (got > 0) {
            len += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            failed = true;
            break;
        }
    }
    ::close(fd);
    out->resize(len);
    if (failed) {
        *error = path + ": read error";
        return false;
    }
    return true;
}

bool WriteBytes(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    if (!ok || !closed) {
        *error = path + ": write failed";
        return false;
    }
    return true;
}

bool HasWavExtension(const std::string& path) {
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".wav") == 0;
}

bool ReadPcmFile(const std::string& path, int raw_rate, PcmAudio* out, std::string* error) {
    std::vector<uint8_t> b;
    if (!ReadBytes(path, &b, error)) {
        return false;
    }
    *out = PcmAudio{};
    const bool riff = b.size() >= 12 && std::memcmp(b.data(), "RIFF", 4) == 0;
    if (riff) {
        if (std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
            *error = path + ": RIFF file is not a WAVE file";
            return false;
        }
        return ParseWav(path, b, out, error);
    }
    if (HasWavExtension(path)) {
        *error = path + ": named .wav but has no RIFF/WAVE header";
        return false;
    }
    if (b.size() % 2 != 0) {
        *error = path + ": raw PCM holds an odd number of bytes (" + std::to_string(b.size()) +
                 "); 16-bit samples need an even count";
        return false;
    }
    SamplesFromBytes(b.data(), b.size() / 2, &out->samples);
    out->rate = raw_rate;
    return true;
}

void WavHeader(uint32_t data_bytes, int rate, uint8_t out[kWavHeaderBytes]) {
    std::vector<uint8_t> b;
    b.reserve(kWavHeaderBytes);
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    Put32(b, 36 + data_bytes);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(b, 16);
    Put16(b, kFormatPcm);
    Put16(b, 1);
    Put32(b, static_cast<uint32_t>(rate));
    Put32(b, static_cast<uint32_t>(rate) * 2);
    Put16(b, 2);
    Put16(b, 16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    Put32(b, data_bytes);
    std::memcpy(out, b.data(), kWavHeaderBytes);
}

bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, int rate,
                  std::string* error) {
    const uint64_t data_bytes = static_cast<uint64_t>(samples.size()) * 2;
    if (data_bytes > 0xFFFFFFFFull - 36) {
        *error = path + ": too much audio for one WAV file";
        return false;
    }
    std::vector<uint8_t> b(kWavHeaderBytes);
    b.reserve(kWavHeaderBytes + data_bytes);
    WavHeader(static_cast<uint32_t>(data_bytes), rate, b.data());
    BytesFromSamples(samples, &b);
    return WriteBytes(path, b.data(), b.size(), error);
}

bool WriteRawFile(const std::string& path, const std::vector<int16_t>& samples,
                  std::string* error) {
    std::vector<uint8_t> b;
    b.reserve(samples.size() * 2);
    BytesFromSamples(samples, &b);
    return WriteBytes(path, b.data(), b.size(), error);
}

}  // namespace kestrona::tools
