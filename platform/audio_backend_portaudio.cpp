// Real devices through PortAudio's blocking streams, on ALSA: the fallback
// for machines without a PulseAudio-protocol server. Each device has its own
// thread (WaveQueue) that reads or writes the queued buffers in 10 ms slices,
// so a Reset is honoured within one slice and PortAudio's real-time callback
// is never used.
//
// Only ALSA's devices are used: PortAudio's JACK host API corrupts the heap
// in its blocking mode, so it serves only when KESTRONA_PORTAUDIO_JACK=1.
// ALSA's and JACK's probing chatter is kept off standard error.
//
// A stream that fails (the device or the sound server went away) does not
// hand buffers back early: the device goes on at the clock (silence in,
// nothing out), reports kLost once, and reopens the stream every second.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <mutex>

#include "platform/audio_backend.h"
#include "platform/wave_queue.h"

namespace kestrona {
namespace {

// PortAudio stays initialised for the rest of the process once a device is
// looked at; terminating it under a device thread is not worth the risk.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool JackAllowed() {
    const char* v = std::getenv("KESTRONA_PORTAUDIO_JACK");
    return v && std::string(v) == "1";
}

// Pa_Initialize probes every ALSA and JACK device and writes what fails to
// standard error; that is not the user's business. Standard error is
// pointed at /dev/null for the probe only.
PaError QuietInitialize() {
    snd_lib_error_set_handler(&QuietAlsaError);
    if (!JackAllowed())
        setenv("JACK_NO_START_SERVER", "1", 0);
    if (std::getenv("KESTRONA_AUDIO_DEBUG"))
        return Pa_Initialize();
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0)
        ::dup2(null, STDERR_FILENO);
    const PaError status = Pa_Initialize();
    if (saved >= 0 && null >= 0)
        ::dup2(saved, STDERR_FILENO);
    if (saved >= 0)
        ::close(saved);
    if (null >= 0)
        ::close(null);
    return status;
}

bool EnsurePortAudio(std::string* error) {
    static std::once_flag once;
    static PaError status = paNoError;
    std::call_once(once, [] { status = QuietInitialize(); });
    if (status != paNoError && error)
        *error = std::string("PortAudio: ") + Pa_GetErrorText(status);
    return status == paNoError;
}

// PortAudio's opening, closing, starting and stopping are not promised to be
// safe from several threads at once; the engine opens its two devices from two.
std::mutex& ControlMutex() {
    static std::mutex mutex;
    return mutex;
}

PaDeviceIndex DefaultDevice(bool input) {
    if (JackAllowed())
        return input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    const PaHostApiIndex alsa = Pa_HostApiTypeIdToHostApiIndex(paALSA);
    const PaHostApiInfo* api = alsa >= 0 ? Pa_GetHostApiInfo(alsa) : nullptr;
    if (api == nullptr)
        return paNoDevice;
    return input ? api->defaultInputDevice : api->defaultOutputDevice;
}

bool DeviceParameters(bool input, const WaveFormat& format, PaStreamParameters& p) {
    PaDeviceIndex dev = DefaultDevice(input);
    if (dev == paNoDevice)
        return false;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(dev);
    if (info == nullptr)
        return false;
    p = {};
    p.device = dev;
    p.channelCount = format.channels;
    p.sampleFormat = paInt16;
    // The high latency: robust against scheduling hiccups; the call's block
    // dominates the delay anyway.
    p.suggestedLatency = input ? info->defaultHighInputLatency : info->defaultHighOutputLatency;
    return true;
}

WaveResult Query(bool input, const WaveFormat& format) {
    if (!EnsurePortAudio(nullptr))
        return WaveResult::kNoDevice;
    PaStreamParameters p;
    if (!DeviceParameters(input, format, p))
        return WaveResult::kNoDevice;
    if (!IsSupportedWaveFormat(format))
        return WaveResult::kBadFormat;
    std::lock_guard lock(ControlMutex());
    PaError e = input ? Pa_IsFormatSupported(&p, nullptr, format.samplesPerSec)
                      : Pa_IsFormatSupported(nullptr, &p, format.samplesPerSec);
    return e == paFormatIsSupported ? WaveResult::kOk : WaveResult::kBadFormat;
}

PaStream* OpenStream(bool input, const WaveFormat& format, WaveResult* result, std::string* error) {
    auto fail = [&](WaveResult r, const std::string& why) -> PaStream* {
        if (result)
            *result = r;
        if (error)
            *error = why;
        return nullptr;
    };
    if (!EnsurePortAudio(error))
        return fail(WaveResult::kNoDevice, error ? *error : "");
    PaStreamParameters p;
    if (!DeviceParameters(input, format, p)) {
        return fail(WaveResult::kNoDevice,
                    input ? "no default wave-in device" : "no default wave-out device");
    }
    if (!IsSupportedWaveFormat(format))
        return fail(WaveResult::kBadFormat, "unsupported wave format");
    PaStream* stream = nullptr;
    std::unique_lock lock(ControlMutex());
    PaError e =
        Pa_OpenStream(&stream, input ? &p : nullptr, input ? nullptr : &p, format.samplesPerSec,
                      format.samplesPerSec / 100, paClipOff, nullptr, nullptr);
    if (e != paNoError)
        return fail(WaveResult::kOpenFailed, std::string("PortAudio: ") + Pa_GetErrorText(e));
    if (result)
        *result = WaveResult::kOk;
    return stream;
}

// One device's stream, reopened when it fails. Used on the device thread;
// the caller's Reset and the destructor reach the stream under ControlMutex.
class PaDevice : protected WaveQueue {
  protected:
    using Clock = std::chrono::steady_clock;

    PaDevice(bool input, const WaveFormat& format, WaveDoneCallback done, PaStream* stream)
        : WaveQueue(std::move(done), input), m_input(input), m_format(format), m_stream(stream) {}
    ~PaDevice() override {
        std::lock_guard lock(ControlMutex());
        if (m_stream) {
            Pa_AbortStream(m_stream);
            Pa_CloseStream(m_stream);
        }
    }

    virtual void Report(WaveDeviceEvent event) = 0;

    // Moves a buffer's samples through the stream in 10 ms slices, so that
    // a Reset is honoured between slices. Without a working stream a slice
    // passes at the clock (silence when reading). Returns the samples moved.
    uint32_t TransferInSlices(WaveHeader& h) {
        const uint32_t slice = m_format.samplesPerSec / 100;
        const uint32_t total = h.bufferLength / 2;
        uint32_t done = 0;
        while (done < total && !Aborted()) {
            const uint32_t n = std::min(slice, total - done);
            uint8_t* data = h.data + 2 * done;
            if (!Healthy() || !Step(data, n)) {
                if (m_input)
                    std::fill(data, data + 2 * n, uint8_t(0));
                if (!Pace(n))
                    break;
            }
            done += n;
        }
        return done;
    }

    bool Step(uint8_t* data, uint32_t n) {
        const PaError e =
            m_input ? Pa_ReadStream(m_stream, data, n) : Pa_WriteStream(m_stream, data, n);
        if (e == paNoError || e == (m_input ? paInputOverflowed : paOutputUnderflowed)) {
            m_worked = true;
            return true;
        }
        m_broken = true;
        m_nextTry = Clock::now() + std::chrono::seconds(1);
        if (m_worked) {
            m_worked = false;
            Report(WaveDeviceEvent::kLost);
        }
        return false;
    }

    // False while broken; reopens the stream once a second.
    bool Healthy() {
        if (!m_broken)
            return true;
        if (Clock::now() < m_nextTry)
            return false;
        m_nextTry = Clock::now() + std::chrono::seconds(1);
        PaStream* fresh = OpenStream(m_input, m_format, nullptr, nullptr);
        if (!fresh)
            return false;
        std::lock_guard lock(ControlMutex());
        Pa_AbortStream(m_stream);
        Pa_CloseStream(m_stream);
        m_stream = fresh;
        Pa_StartStream(m_stream);
        m_broken = false;
        Report(WaveDeviceEvent::kRestored);
        return true;
    }

    bool Pace(uint32_t samples) {
        const auto now = Clock::now();
        if (m_paceClock < now - std::chrono::milliseconds(200) ||
            m_paceClock > now + std::chrono::milliseconds(200))
            m_paceClock = now;
        m_paceClock +=
            std::chrono::microseconds(int64_t(samples) * 1000000 / m_format.samplesPerSec);
        return WaitUntil(m_paceClock);
    }

    const bool m_input;
    const WaveFormat m_format;
    PaStream* m_stream;
    bool m_broken = false;
    bool m_worked = false;
    Clock::time_point m_nextTry{};
    Clock::time_point m_paceClock{};
};

class PaWaveIn final : public WaveInDevice, private PaDevice {
  public:
    PaWaveIn(const WaveFormat& format, WaveDoneCallback done, PaStream* stream)
        : PaDevice(true, format, std::move(done), stream) {
        Launch();
    }
    ~PaWaveIn() override { Shutdown(); }
    WaveResult AddBuffer(WaveHeader& h) override { return Enqueue(h); }
    WaveResult Start() override {
        {
            std::lock_guard lock(ControlMutex());
            if (Pa_IsStreamActive(m_stream) != 1)
                Pa_StartStream(m_stream);
        }
        return StartQueue();
    }
    WaveResult Reset() override {
        WaveResult r = ResetQueue();
        std::lock_guard lock(ControlMutex());
        if (Pa_IsStreamActive(m_stream) == 1)
            Pa_AbortStream(m_stream);
        return r;
    }
    WaveResult Close() override { return CloseQueue(); }
    const WaveFormat& Format() const override { return m_format; }

  private:
    void Transfer(WaveHeader& h) override { h.bytesRecorded = TransferInSlices(h) * 2; }
    void Report(WaveDeviceEvent event) override { Emit(event); }
};

class PaWaveOut final : public WaveOutDevice, private PaDevice {
  public:
    PaWaveOut(const WaveFormat& format, WaveDoneCallback done, PaStream* stream)
        : PaDevice(false, format, std::move(done), stream) {
        {
            std::lock_guard lock(ControlMutex());
            Pa_StartStream(m_stream);
        }
        Launch();
    }
    ~PaWaveOut() override { Shutdown(); }
    WaveResult Write(WaveHeader& h) override { return Enqueue(h); }
    WaveResult Reset() override {
        WaveResult r = ResetQueue();
        // Drop what PortAudio still holds, then be ready for the next buffer.
        std::lock_guard lock(ControlMutex());
        Pa_AbortStream(m_stream);
        Pa_StartStream(m_stream);
        return r;
    }
    WaveResult Close() override { return CloseQueue(); }
    const WaveFormat& Format() const override { return m_format; }

  private:
    void Transfer(WaveHeader& h) override { TransferInSlices(h); }
    void Report(WaveDeviceEvent event) override { Emit(event); }
};

class PortAudioBackend final : public AudioBackend {
  public:
    int WaveInDeviceCount() override {
        return EnsurePortAudio(nullptr) && DefaultDevice(true) != paNoDevice ? 1 : 0;
    }
    int WaveOutDeviceCount() override {
        return EnsurePortAudio(nullptr) && DefaultDevice(false) != paNoDevice ? 1 : 0;
    }
    WaveResult QueryWaveIn(const WaveFormat& format) override { return Query(true, format); }
    WaveResult QueryWaveOut(const WaveFormat& format) override { return Query(false, format); }
    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& format, WaveDoneCallback done,
                                             WaveResult* result, std::string* error) override {
        PaStream* s = OpenStream(true, format, result, error);
        if (s == nullptr)
            return nullptr;
        return std::make_unique<PaWaveIn>(format, std::move(done), s);
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& format, WaveDoneCallback done,
                                               WaveResult* result, std::string* error) override {
        PaStream* s = OpenStream(false, format, result, error);
        if (s == nullptr)
            return nullptr;
        return std::make_unique<PaWaveOut>(format, std::move(done), s);
    }
    bool Probe() override {
        if (WaveInDeviceCount() > 0 || WaveOutDeviceCount() > 0)
            return true;
        if (!m_reported.exchange(true))
            Notify(AudioNotice::kServerUnavailable, AudioDirection::kOutput);
        return false;
    }
    std::string Name() const override { return "portaudio"; }

  private:
    std::atomic<bool> m_reported{false};
};

}  // namespace

bool AlsaDefaultDeviceOpens() {
    snd_lib_error_set_handler(&QuietAlsaError);
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return false;
    snd_pcm_close(pcm);
    return true;
}

std::shared_ptr<AudioBackend> MakePortAudioBackend() {
    return std::make_shared<PortAudioBackend>();
}

}  // namespace kestrona
