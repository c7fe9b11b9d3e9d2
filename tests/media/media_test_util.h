// Helpers for the media tests: an owner that records what the engine posts, a
// codec whose frames can be traced exactly, and signal comparison.
#pragma once

#include <dirent.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "media/audio_engine.h"
#include "media/engine_owner.h"
#include "media/speech_codec.h"
#include "platform/wav_file.h"

namespace kestrona::mediatest {

class RecordingOwner : public IEngineOwner {
  public:
    void PostEngineMessage(int msg, int code) override {
        {
            std::lock_guard lock(m_mutex);
            m_messages.emplace_back(msg, code);
        }
        m_cv.notify_all();
    }
    void ShowEngineAlert(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_alerts.push_back(text);
    }
    std::vector<std::pair<int, int>> Messages() {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<std::string> Alerts() {
        std::lock_guard lock(m_mutex);
        return m_alerts;
    }
    int Count(int msg) {
        std::lock_guard lock(m_mutex);
        return int(std::count_if(m_messages.begin(), m_messages.end(),
                                 [msg](auto& m) { return m.first == msg; }));
    }
    // Waits until msg has been posted count times; the limit only keeps a
    // broken build from hanging.
    bool WaitFor(int msg, int count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, limit, [&] {
            return std::count_if(m_messages.begin(), m_messages.end(),
                                 [msg](auto& m) { return m.first == msg; }) >= count;
        });
    }

    // The code of the latest msg posted, or -1.
    int LastCode(int msg) {
        std::lock_guard lock(m_mutex);
        for (auto it = m_messages.rbegin(); it != m_messages.rend(); ++it) {
            if (it->first == msg)
                return it->second;
        }
        return -1;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::pair<int, int>> m_messages;
    std::vector<std::string> m_alerts;
};

// The asynchronous set-ups run to their end: the code they posted, or -1
// when none came.
inline int ListenAndWait(CAudioEngine& engine, RecordingOwner& owner, int portIn, int portOut) {
    const int before = owner.Count(kMsgEngineSetup);
    engine.BeginListen(portIn, portOut);
    return owner.WaitFor(kMsgEngineSetup, before + 1) ? owner.LastCode(kMsgEngineSetup) : -1;
}
inline int ConnectAndWait(CAudioEngine& engine, RecordingOwner& owner, const std::string& host,
                          int peerPortIn, int peerPortOut) {
    const int before = owner.Count(kMsgEngineSetup);
    engine.BeginConnect(host, peerPortIn, peerPortOut);
    return owner.WaitFor(kMsgEngineSetup, before + 1) ? owner.LastCode(kMsgEngineSetup) : -1;
}

// A stand-in codec whose frames say what they carry: bytes 0-1 the first
// sample of the frame, 2-5 the encoder's frame count, 6-9 a fixed pattern.
// The decoder fills the frame's 80 samples with the carried sample and logs
// every frame it was given, so a test sees exactly which frames were decoded.
class MarkerCodec : public SpeechCodec {
  public:
    struct Decoded {
        uint32_t counter;
        int16_t value;
        bool intact;  // the fixed pattern was there
    };
    void EncoderInit() override { m_encoded = 0; }
    void EncodeFrame(const int16_t* pcm, uint8_t* frame) override {
        uint32_t c = m_encoded++;
        frame[0] = uint8_t(pcm[0]);
        frame[1] = uint8_t(uint16_t(pcm[0]) >> 8);
        for (int i = 0; i < 4; ++i) frame[2 + i] = uint8_t(c >> (8 * i));
        std::memset(frame + 6, 0x5A, 4);
    }
    void DecoderInit() override { m_decoded.clear(); }
    void DecodeFrame(const uint8_t* frame, int16_t* pcm, int) override {
        Decoded d;
        d.value = int16_t(frame[0] | frame[1] << 8);
        d.counter = uint32_t(frame[2]) | uint32_t(frame[3]) << 8 | uint32_t(frame[4]) << 16 |
                    uint32_t(frame[5]) << 24;
        d.intact = frame[6] == 0x5A && frame[7] == 0x5A && frame[8] == 0x5A && frame[9] == 0x5A;
        m_decoded.push_back(d);
        std::fill(pcm, pcm + 80, d.value);
    }
    // Read only after the engine has stopped.
    const std::vector<Decoded>& DecodedFrames() const { return m_decoded; }
    uint32_t EncodedCount() const { return m_encoded.load(); }

    static MarkerCodec::Decoded MakeFrame(uint32_t counter, int16_t value, uint8_t out[10]) {
        out[0] = uint8_t(value);
        out[1] = uint8_t(uint16_t(value) >> 8);
        for (int i = 0; i < 4; ++i) out[2 + i] = uint8_t(counter >> (8 * i));
        std::memset(out + 6, 0x5A, 4);
        return {counter, value, true};
    }

  private:
    std::atomic<uint32_t> m_encoded{0};
    std::vector<Decoded> m_decoded;
};

// Microphone content for MarkerCodec runs: frame k (80 samples) holds k + 1.
inline std::vector<int16_t> Staircase(int frames) {
    std::vector<int16_t> s(size_t(frames) * 80);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(i / 80 + 1);
    return s;
}

inline bool WriteRaw(const std::filesystem::path& path, const std::vector<int16_t>& s) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    // An empty vector may have no storage, and fwrite takes no null buffer.
    bool ok = s.empty() || std::fwrite(s.data(), 2, s.size(), f) == s.size();
    return std::fclose(f) == 0 && ok;
}

inline std::vector<int16_t> ReadSpeaker(const std::filesystem::path& path) {
    PcmAudio a;
    std::string error;
    if (!ReadWavFile(path, a, error))
        return {};
    return a.samples;
}

// Polls cond every 20 ms until it holds; the limit only guards against a hang.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Threads of this process right now. The first call starts and ends a
// thread, so helper threads a sanitizer starts with the first thread are
// already there when a test takes its baseline.
inline int ThreadCount() {
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// Best alignment of ref inside sig: the offset with the highest normalised
// correlation over the whole of ref. Speech decorrelates within a few
// samples, so the coarse search runs on loudness envelopes and only the
// neighbourhood of its best is searched sample by sample.
struct Match {
    long offset = -1;
    double correlation = 0.0;
};

inline double Correlation(const std::vector<int16_t>& sig, long offset,
                          const std::vector<int16_t>& ref) {
    double sr = 0, ss = 0, rr = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        long j = offset + long(i);
        double s = j >= 0 && j < long(sig.size()) ? sig[size_t(j)] : 0.0;
        double r = ref[i];
        sr += s * r;
        ss += s * s;
        rr += r * r;
    }
    return ss > 0 && rr > 0 ? sr / std::sqrt(ss * rr) : 0.0;
}

inline std::vector<int16_t> Envelope(const std::vector<int16_t>& x, size_t window) {
    std::vector<int16_t> env(x.size() / window);
    for (size_t w = 0; w < env.size(); ++w) {
        long sum = 0;
        for (size_t i = 0; i < window; ++i) sum += std::abs(int(x[w * window + i]));
        env[w] = int16_t(sum / long(window));
    }
    return env;
}

inline Match FindBestMatch(const std::vector<int16_t>& sig, const std::vector<int16_t>& ref) {
    constexpr size_t kWindow = 40;
    Match best;
    if (sig.size() < ref.size() || ref.size() < 4 * kWindow)
        return best;
    const long last = long(sig.size() - ref.size());
    const std::vector<int16_t> envRef = Envelope(ref, kWindow);
    Match coarse;
    // Every phase of the window, so the envelopes line up for some phase.
    for (size_t phase = 0; phase < kWindow; phase += kWindow / 4) {
        std::vector<int16_t> shifted(sig.begin() + long(phase), sig.end());
        const std::vector<int16_t> envSig = Envelope(shifted, kWindow);
        if (envSig.size() < envRef.size())
            continue;
        for (size_t w = 0; w + envRef.size() <= envSig.size(); ++w) {
            double c = Correlation(envSig, long(w), envRef);
            if (c > coarse.correlation)
                coarse = {long(w * kWindow + phase), c};
        }
    }
    if (coarse.offset < 0)
        return best;
    const long lo = std::max(0L, coarse.offset - 2 * long(kWindow));
    const long hi = std::min(last, coarse.offset + 2 * long(kWindow));
    for (long off = lo; off <= hi; ++off) {
        double c = Correlation(sig, off, ref);
        if (c > best.correlation)
            best = {off, c};
    }
    return best;
}

// ref cut into the sender's blocks, each found in sig after the one before
// it. A loudspeaker may fall silent between blocks (an underrun), so the
// blocks are matched one by one rather than as one piece.
struct BlockwiseMatch {
    int blocks = 0;         // blocks of ref found in sig, in order
    double worst = 1.0;     // lowest correlation among them
    long firstOffset = -1;  // where the first block starts in sig
};

inline BlockwiseMatch MatchBlocks(const std::vector<int16_t>& sig, const std::vector<int16_t>& ref,
                                  size_t block) {
    BlockwiseMatch result;
    long from = 0;
    for (size_t start = 0; start + block <= ref.size(); start += block) {
        std::vector<int16_t> piece(ref.begin() + long(start), ref.begin() + long(start + block));
        if (from >= long(sig.size()))
            break;
        std::vector<int16_t> rest(sig.begin() + from, sig.end());
        Match m = FindBestMatch(rest, piece);
        if (m.offset < 0)
            break;
        if (result.blocks == 0)
            result.firstOffset = from + m.offset;
        result.worst = std::min(result.worst, m.correlation);
        ++result.blocks;
        from += m.offset + long(block);
    }
    return result;
}

// What the codec makes of pcm from a fresh state: the reference a listener
// should hear.
inline std::vector<int16_t> CodecRoundTrip(const std::vector<int16_t>& pcm) {
    auto codec = MakePrivateSpeechCodec();
    codec->EncoderInit();
    codec->DecoderInit();
    std::vector<int16_t> out(pcm.size() / 80 * 80);
    uint8_t frame[10];
    for (size_t k = 0; k + 80 <= pcm.size(); k += 80) {
        codec->EncodeFrame(pcm.data() + k, frame);
        codec->DecodeFrame(frame, out.data() + k, 0);
    }
    return out;
}

// Each half second of the talker's speech looked for in what the listener
// heard, near where the first one was heard: the share of the loud ones heard
// at a waveform match of 0.5 or more, and the spread of their arrival delays.
struct ChunkArrivals {
    int loud = 0;
    int heard = 0;
    double spreadSeconds = 0;
};
inline ChunkArrivals MatchChunks(const std::vector<int16_t>& heard,
                                 const std::vector<int16_t>& said, size_t saidUpTo, int rate) {
    ChunkArrivals r;
    const size_t chunk = size_t(rate / 2);
    std::vector<double> energy;
    for (size_t s = 0; s + chunk <= saidUpTo; s += chunk) {
        double e = 0;
        for (size_t i = s; i < s + chunk; ++i) e += double(said[i]) * said[i];
        energy.push_back(e);
    }
    if (energy.empty())
        return r;
    double mean = 0;
    for (double e : energy) mean += e / double(energy.size());
    std::optional<long> first;
    double lowest = 1e9, highest = -1e9;
    for (size_t k = 0; k < energy.size(); ++k) {
        if (energy[k] < mean * 0.2)
            continue;  // a pause
        ++r.loud;
        const long s = long(k * chunk);
        // The first chunk anywhere in the first two seconds past its time;
        // the others from 0.2 s before to 0.8 s after where the first landed.
        const long lo = first ? std::max(0L, s + *first - rate / 5) : s;
        const long hi = std::min(long(heard.size()), first ? s + *first + rate * 4 / 5 + long(chunk)
                                                           : s + 2L * rate + long(chunk));
        if (hi - lo < long(chunk))
            continue;
        const std::vector<int16_t> piece(said.begin() + s, said.begin() + s + long(chunk));
        const std::vector<int16_t> window(heard.begin() + lo, heard.begin() + hi);
        const Match m = FindBestMatch(window, piece);
        if (m.offset < 0 || m.correlation < 0.5)
            continue;
        ++r.heard;
        const long delay = lo + m.offset - s;
        if (!first)
            first = delay;
        lowest = std::min(lowest, double(delay) / rate);
        highest = std::max(highest, double(delay) / rate);
    }
    if (r.heard > 0)
        r.spreadSeconds = highest - lowest;
    return r;
}

// Moves the calling thread into a network namespace of its own with its
// loopback up; threads it starts later follow it, and the namespace goes with
// the last of them. Needs root; false with why otherwise.
inline bool EnterOwnNetwork(std::string& why) {
    if (::unshare(CLONE_NEWNET) != 0) {
        why = std::string("no network namespace of its own: ") + std::strerror(errno);
        return false;
    }
    if (std::system("PATH=$PATH:/usr/sbin; ip link set lo up") != 0) {
        why = "ip could not bring the loopback up";
        return false;
    }
    return true;
}

// From now on the calling thread's network drops loss_permille of all TCP
// segments at random, both ways (nftables numgen). dir holds the rule file.
inline bool LoseSegments(int loss_permille, const std::filesystem::path& dir, std::string& why) {
    const std::filesystem::path rules = dir / "loss.nft";
    {
        std::ofstream out(rules);
        out << "flush ruleset\ntable inet loss {\n  chain out {\n"
            << "    type filter hook output priority 0; policy accept;\n"
            << "    meta l4proto tcp numgen random mod 1000 < " << loss_permille << " drop\n"
            << "  }\n}\n";
    }
    const std::string load = "PATH=$PATH:/usr/sbin; nft -f '" + rules.string() + "'";
    if (std::system(load.c_str()) != 0) {
        why = "nft could not load the rule that drops segments";
        return false;
    }
    return true;
}

}  // namespace kestrona::mediatest
