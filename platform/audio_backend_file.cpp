#include "platform/audio_backend_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "platform/wav_file.h"
#include "platform/wave_queue.h"

namespace kestrona {

using Clock = std::chrono::steady_clock;

namespace {

Clock::duration SamplesToDuration(int64_t samples, uint32_t rate) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(samples) / double(rate)));
}

int64_t DurationToSamples(Clock::duration d, uint32_t rate) {
    return int64_t(std::chrono::duration<double>(d).count() * double(rate));
}

// Where the next buffer starts: right after the previous one when it follows
// on in time (the device thread always wakes a little late), else now,
// leaving the gap of a device that had no buffer.
int64_t NextStart(int64_t previousEnd, int64_t now, uint32_t rate) {
    const int64_t slack = rate / 20;  // 50 ms of thread wake-up lateness
    return now - previousEnd <= slack ? previousEnd : now;
}

}  // namespace

// One speaker WAV, shared by every wave-out device of the process that names it.
class SpeakerSink {
  public:
    static constexpr int64_t kHeaderBytes = 44;
    // Keeps the data size representable in the RIFF header.
    static constexpr int64_t kMaxSamples = (int64_t(1) << 31) / 2;

    SpeakerSink(std::string path, uint32_t rate) : m_path(std::move(path)), m_rate(rate) {}
    ~SpeakerSink() {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // A device opens: (re)creates the file when needed, and rebases the
    // timeline so that now is the end of the file when no device was open.
    bool DeviceOpened(uint32_t deviceRate, std::string& error) {
        std::lock_guard lock(m_mutex);
        if (m_openDevices == 0 && !m_path.empty() && !FileStillOurs()) {
            m_rate = deviceRate;  // a new file takes the rate of its first device
            if (!Create(error))
                return false;
        }
        if (m_openDevices == 0) {
            m_origin = Clock::now() - SamplesToDuration(m_endPos, m_rate);
            // What played before the pause is not heard again.
            m_recentFloor = m_endPos;
        }
        ++m_openDevices;
        return true;
    }
    void DeviceClosed() {
        std::lock_guard lock(m_mutex);
        --m_openDevices;
    }
    uint32_t Rate() {
        std::lock_guard lock(m_mutex);
        return m_rate;
    }
    int64_t NowPos() {
        std::lock_guard lock(m_mutex);
        return DurationToSamples(Clock::now() - m_origin, m_rate);
    }
    Clock::time_point TimeOf(int64_t pos) {
        std::lock_guard lock(m_mutex);
        return m_origin + SamplesToDuration(pos, m_rate);
    }
    // Adds samples into the file at a sample position, saturating.
    void Mix(int64_t pos, const int16_t* s, size_t n) {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || pos < 0 || pos >= kMaxSamples)
            return;
        n = size_t(std::min<int64_t>(int64_t(n), kMaxSamples - pos));
        m_scratch.assign(n * 2, 0);
        int64_t overlap = std::clamp<int64_t>(m_endPos - pos, 0, int64_t(n));
        if (overlap > 0) {
            ssize_t got =
                ::pread(m_fd, m_scratch.data(), size_t(overlap * 2), kHeaderBytes + pos * 2);
            if (got < 0)
                got = 0;
            std::fill(m_scratch.begin() + got, m_scratch.end(), 0);
        }
        for (size_t i = 0; i < n; ++i) {
            int32_t old = int16_t(m_scratch[2 * i] | m_scratch[2 * i + 1] << 8);
            int32_t sum = std::clamp(old + int32_t(s[i]), -32768, 32767);
            m_scratch[2 * i] = uint8_t(sum);
            m_scratch[2 * i + 1] = uint8_t(uint32_t(sum) >> 8);
        }
        KeepRecent(pos, n);
        if (::pwrite(m_fd, m_scratch.data(), n * 2, kHeaderBytes + pos * 2) != ssize_t(n * 2))
            return;
        if (pos + int64_t(n) > m_endPos) {
            m_endPos = pos + int64_t(n);
            WriteHeader();
        }
    }

    // Keeps the last seconds played in memory, for an echo path.
    void KeepRecent(bool on) {
        std::lock_guard lock(m_mutex);
        if (on && m_recent.empty())
            m_recent.assign(size_t(kRecentSeconds * kMaxWaveRate), 0);
    }
    // Adds gain x what played at time from + k / rate (k < n) to samples.
    void AddRecent(Clock::time_point from, uint32_t rate, double gain, int16_t* samples, size_t n) {
        std::lock_guard lock(m_mutex);
        if (m_recent.empty())
            return;
        const int64_t size = int64_t(m_recent.size());
        const double first = std::chrono::duration<double>(from - m_origin).count() * m_rate;
        const double step = double(m_rate) / double(rate);
        for (size_t k = 0; k < n; ++k) {
            const int64_t p = int64_t(first + double(k) * step + 0.5);
            if (p < m_recentFloor || p < m_recentHigh - size || p >= m_recentHigh || p < 0)
                continue;
            const int32_t v = samples[k] + int32_t(gain * m_recent[size_t(p % size)]);
            samples[k] = int16_t(std::clamp(v, -32768, 32767));
        }
    }

  private:
    static constexpr int kRecentSeconds = 2;

    // m_scratch holds the file's new content for positions pos..pos+n.
    void KeepRecent(int64_t pos, size_t count) {
        if (m_recent.empty())
            return;
        const int64_t size = int64_t(m_recent.size()), n = int64_t(count);
        const int64_t high = std::max(m_recentHigh, pos + n);
        for (int64_t p = std::max(m_recentHigh, high - size); p < pos; ++p)
            m_recent[size_t(p % size)] = 0;
        for (int64_t p = std::max(pos, high - size); p < pos + n; ++p) {
            const size_t i = size_t(p - pos);
            m_recent[size_t(p % size)] = int16_t(m_scratch[2 * i] | m_scratch[2 * i + 1] << 8);
        }
        m_recentHigh = high;
    }

    bool FileStillOurs() const {
        if (m_fd < 0)
            return false;
        struct stat a, b;
        return ::fstat(m_fd, &a) == 0 && ::stat(m_path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
               a.st_dev == b.st_dev;
    }
    bool Create(std::string& error) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_endPos = 0;
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            error = "cannot create speaker file " + m_path + ": " + std::strerror(errno);
            return false;
        }
        WriteHeader();
        return true;
    }
    void WriteHeader() {
        std::vector<uint8_t> h = WavHeaderBytes(m_rate, 1, uint32_t(m_endPos * 2));
        if (::pwrite(m_fd, h.data(), h.size(), 0) != ssize_t(h.size())) {
            // The samples are in place; only the sizes are stale.
        }
    }

    std::mutex m_mutex;
    const std::string m_path;
    uint32_t m_rate;
    int m_fd = -1;
    int64_t m_endPos = 0;
    int m_openDevices = 0;
    Clock::time_point m_origin = Clock::now();
    std::vector<uint8_t> m_scratch;
    std::vector<int16_t> m_recent;  // ring over positions, empty unless kept
    int64_t m_recentHigh = 0;       // one past the last position kept
    int64_t m_recentFloor = 0;      // nothing before this is heard
};

namespace {

std::shared_ptr<SpeakerSink> SinkFor(const std::string& path, uint32_t rate) {
    if (path.empty())
        return std::make_shared<SpeakerSink>(std::string(), rate);
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<SpeakerSink>> sinks;
    std::lock_guard lock(mutex);
    auto& sink = sinks[path];
    if (!sink)
        sink = std::make_shared<SpeakerSink>(path, rate);
    return sink;
}

class FileWaveIn final : public WaveInDevice, private WaveQueue {
  public:
    FileWaveIn(const WaveFormat& format, WaveDoneCallback done, std::vector<int16_t> mic,
               FileAudioBackend* backend)
        : WaveQueue(std::move(done), true),
          m_format(format),
          m_mic(std::move(mic)),
          m_backend(backend) {
        Launch();
    }
    ~FileWaveIn() override { Shutdown(); }

    WaveResult AddBuffer(WaveHeader& h) override { return Enqueue(h); }
    WaveResult Start() override {
        {
            std::lock_guard lock(m_timeMutex);
            if (!m_running) {
                m_origin = Clock::now();
                m_nextPos = 0;
                m_running = true;
                m_backend->NoteWaveInStart(m_origin);
            }
        }
        return StartQueue();
    }
    WaveResult Reset() override {
        WaveResult r = ResetQueue();
        std::lock_guard lock(m_timeMutex);
        m_running = false;
        return r;
    }
    WaveResult Close() override { return CloseQueue(); }
    const WaveFormat& Format() const override { return m_format; }

  private:
    void Transfer(WaveHeader& h) override {
        const uint32_t rate = m_format.samplesPerSec;
        const int64_t n = h.bufferLength / 2;
        Clock::time_point origin;
        int64_t start;
        {
            std::lock_guard lock(m_timeMutex);
            origin = m_origin;
            start = NextStart(m_nextPos, DurationToSamples(Clock::now() - origin, rate), rate);
        }
        int64_t filled = n;
        if (!WaitUntil(origin + SamplesToDuration(start + n, rate))) {
            filled =
                std::clamp<int64_t>(DurationToSamples(Clock::now() - origin, rate) - start, 0, n);
        }
        for (int64_t k = 0; k < filled; ++k) {
            int64_t src = start + k;
            int16_t s = src < int64_t(m_mic.size()) ? m_mic[size_t(src)] : 0;
            h.data[2 * k] = uint8_t(s);
            h.data[2 * k + 1] = uint8_t(uint16_t(s) >> 8);
        }
        m_backend->AddEcho(origin + SamplesToDuration(start, rate), rate,
                           reinterpret_cast<int16_t*>(h.data), size_t(filled));
        h.bytesRecorded = uint32_t(filled * 2);
        std::lock_guard lock(m_timeMutex);
        m_nextPos = start + filled;
    }

    const WaveFormat m_format;
    const std::vector<int16_t> m_mic;
    FileAudioBackend* const m_backend;
    std::mutex m_timeMutex;
    bool m_running = false;
    Clock::time_point m_origin;
    int64_t m_nextPos = 0;
};

class FileWaveOut final : public WaveOutDevice, private WaveQueue {
  public:
    FileWaveOut(const WaveFormat& format, WaveDoneCallback done, std::shared_ptr<SpeakerSink> sink)
        : WaveQueue(std::move(done), false), m_format(format), m_sink(std::move(sink)) {
        Launch();
    }
    ~FileWaveOut() override {
        Shutdown();
        m_sink->DeviceClosed();
    }

    WaveResult Write(WaveHeader& h) override { return Enqueue(h); }
    WaveResult Reset() override { return ResetQueue(); }
    WaveResult Close() override { return CloseQueue(); }
    const WaveFormat& Format() const override { return m_format; }

  private:
    void Transfer(WaveHeader& h) override {
        ResampleLinear(reinterpret_cast<const int16_t*>(h.data), h.bufferLength / 2,
                       m_format.samplesPerSec, m_sink->Rate(), m_converted);
        const int64_t start =
            m_started ? NextStart(m_nextPos, m_sink->NowPos(), m_sink->Rate()) : m_sink->NowPos();
        m_started = true;
        m_sink->Mix(start, m_converted.data(), m_converted.size());
        const int64_t end = start + int64_t(m_converted.size());
        m_nextPos = WaitUntil(m_sink->TimeOf(end)) ? end : std::min(end, m_sink->NowPos());
    }

    const WaveFormat m_format;
    std::shared_ptr<SpeakerSink> m_sink;
    int64_t m_nextPos = 0;  // device thread only
    bool m_started = false;
    std::vector<int16_t> m_converted;
};

}  // namespace

FileAudioBackend::FileAudioBackend(std::string mic, std::string speaker)
    : m_mic(std::move(mic)), m_speaker(std::move(speaker)) {}

WaveResult FileAudioBackend::QueryWaveIn(const WaveFormat& format) {
    return IsSupportedWaveFormat(format) ? WaveResult::kOk : WaveResult::kBadFormat;
}

WaveResult FileAudioBackend::QueryWaveOut(const WaveFormat& format) {
    return IsSupportedWaveFormat(format) ? WaveResult::kOk : WaveResult::kBadFormat;
}

std::unique_ptr<WaveInDevice> FileAudioBackend::OpenWaveIn(const WaveFormat& format,
                                                           WaveDoneCallback done,
                                                           WaveResult* result, std::string* error) {
    auto fail = [&](WaveResult r, std::string why) -> std::unique_ptr<WaveInDevice> {
        if (result)
            *result = r;
        if (error)
            *error = std::move(why);
        return nullptr;
    };
    if (!IsSupportedWaveFormat(format))
        return fail(WaveResult::kBadFormat, WaveResultText(WaveResult::kBadFormat));
    std::vector<int16_t> samples;
    if (!m_mic.empty()) {
        PcmAudio audio;
        std::string why;
        if (!ReadWavOrRawFile(m_mic, audio, why))
            return fail(WaveResult::kOpenFailed, why);
        std::vector<int16_t> mono = MixToMono(audio.samples, audio.channels);
        if (audio.rate != 0 && audio.rate != format.samplesPerSec) {
            ResampleLinear(mono.data(), mono.size(), audio.rate, format.samplesPerSec, samples);
        } else {
            samples = std::move(mono);
        }
    }
    if (result)
        *result = WaveResult::kOk;
    return std::make_unique<FileWaveIn>(format, std::move(done), std::move(samples), this);
}

std::unique_ptr<WaveOutDevice> FileAudioBackend::OpenWaveOut(const WaveFormat& format,
                                                             WaveDoneCallback done,
                                                             WaveResult* result,
                                                             std::string* error) {
    if (!IsSupportedWaveFormat(format)) {
        if (result)
            *result = WaveResult::kBadFormat;
        if (error)
            *error = WaveResultText(WaveResult::kBadFormat);
        return nullptr;
    }
    std::shared_ptr<SpeakerSink> sink = SinkFor(m_speaker, format.samplesPerSec);
    std::string why;
    if (!sink->DeviceOpened(format.samplesPerSec, why)) {
        if (result)
            *result = WaveResult::kOpenFailed;
        if (error)
            *error = why;
        return nullptr;
    }
    {
        std::lock_guard lock(m_mutex);
        m_lastSink = sink;
    }
    if (result)
        *result = WaveResult::kOk;
    return std::make_unique<FileWaveOut>(format, std::move(done), std::move(sink));
}

std::optional<Clock::time_point> FileAudioBackend::LastWaveInStart() const {
    std::lock_guard lock(m_mutex);
    return m_waveInStart;
}

std::optional<Clock::time_point> FileAudioBackend::SpeakerTimeOfSample(int64_t position) const {
    std::shared_ptr<SpeakerSink> sink;
    {
        std::lock_guard lock(m_mutex);
        sink = m_lastSink;
    }
    if (!sink)
        return std::nullopt;
    return sink->TimeOf(position);
}

void FileAudioBackend::SetEchoPath(int delayMs, double gainDb) {
    if (m_speaker.empty())
        return;  // nothing is played anywhere to be heard
    std::lock_guard lock(m_mutex);
    m_echoSink = SinkFor(m_speaker, kMinWaveRate);
    m_echoSink->KeepRecent(true);
    m_echoDelay = std::chrono::milliseconds(std::max(delayMs, 0));
    m_echoGain = std::pow(10.0, gainDb / 20.0);
}

void FileAudioBackend::AddEcho(Clock::time_point from, uint32_t rate, int16_t* samples, size_t n) {
    std::shared_ptr<SpeakerSink> sink;
    Clock::duration delay;
    double gain;
    {
        std::lock_guard lock(m_mutex);
        sink = m_echoSink;
        delay = m_echoDelay;
        gain = m_echoGain;
    }
    if (sink)
        sink->AddRecent(from - delay, rate, gain, samples, n);
}

void FileAudioBackend::NoteWaveInStart(Clock::time_point t) {
    std::lock_guard lock(m_mutex);
    m_waveInStart = t;
}

std::shared_ptr<AudioBackend> MakeFileAudioBackend(std::string mic, std::string speaker) {
    return std::make_shared<FileAudioBackend>(std::move(mic), std::move(speaker));
}

}  // namespace kestrona
