// Helpers shared by the codec's end-to-end tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tools/wav_io.h"

namespace kestrona::codec::testing {

inline std::string SourcePath(const std::string& rel) {
    return std::string(KESTRONA_SOURCE_DIR) + "/" + rel;
}

// A scratch file name under the build tree, unique per process, so that
// tests running in parallel do not share files.
inline std::string ScratchPath(const std::string& name) {
    return std::string(KESTRONA_BINARY_DIR) + "/codec_test_" + std::to_string(getpid()) + "_" +
           name;
}

inline std::vector<int16_t> LoadSpeech(const std::string& rel, int* rate = nullptr) {
    kestrona::tools::PcmAudio audio;
    std::string error;
    if (!kestrona::tools::ReadPcmFile(SourcePath(rel), 8000, &audio, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return {};
    }
    if (rate != nullptr) {
        *rate = audio.rate;
    }
    return audio.samples;
}

// Pearson correlation of a[i + lag] with b[i] over their common span.
inline double Correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b,
                          int lag = 0) {
    const size_t start_a = lag > 0 ? lag : 0;
    const size_t start_b = lag < 0 ? -lag : 0;
    if (a.size() <= start_a || b.size() <= start_b) {
        return 0.0;
    }
    const size_t n = std::min(a.size() - start_a, b.size() - start_b);
    double ma = 0.0;
    double mb = 0.0;
    for (size_t i = 0; i < n; ++i) {
        ma += a[start_a + i];
        mb += b[start_b + i];
    }
    ma /= n;
    mb /= n;
    double sab = 0.0;
    double saa = 0.0;
    double sbb = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double x = a[start_a + i] - ma;
        const double y = b[start_b + i] - mb;
        sab += x * y;
        saa += x * x;
        sbb += y * y;
    }
    return saa > 0.0 && sbb > 0.0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

// Segmental SNR in dB of `coded` (delayed by `lag` samples) against `ref`:
// the mean over 80-sample segments of the segment's SNR, each limited to
// -10 .. 35 dB; segments whose reference is near silence are left out.
inline double SegmentalSnr(const std::vector<int16_t>& coded, const std::vector<int16_t>& ref,
                           int lag) {
    constexpr size_t kSegment = 80;
    constexpr double kQuietEnergy = kSegment * 100.0 * 100.0;  // below an RMS of 100
    double sum = 0.0;
    int segments = 0;
    for (size_t start = 0; start + kSegment <= ref.size() && start + lag + kSegment <= coded.size();
         start += kSegment) {
        double signal = 0.0;
        double noise = 0.0;
        for (size_t i = start; i < start + kSegment; ++i) {
            const double s = ref[i];
            const double e = coded[i + lag] - s;
            signal += s * s;
            noise += e * e;
        }
        if (signal < kQuietEnergy) {
            continue;
        }
        const double snr = noise > 0.0 ? 10.0 * std::log10(signal / noise) : 35.0;
        sum += std::clamp(snr, -10.0, 35.0);
        ++segments;
    }
    return segments > 0 ? sum / segments : 0.0;
}

// Runs a shell command; returns its exit status and, if wanted, its
// standard error.
inline int RunCommand(const std::string& command, std::string* err = nullptr) {
    const std::string err_file = ScratchPath("stderr.txt");
    const int status = std::system((command + " 2>" + err_file).c_str());
    if (err != nullptr) {
        err->clear();
        if (FILE* f = std::fopen(err_file.c_str(), "rb")) {
            char buf[4096];
            size_t got;
            while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
                err->append(buf, got);
            }
            std::fclose(f);
        }
    }
    std::remove(err_file.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace kestrona::codec::testing
