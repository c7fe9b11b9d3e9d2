// Real devices through PortAudio's blocking streams. Each device has its own
// thread (WaveQueue) that reads or writes the queued buffers in 10 ms slices,
// so a Reset is honoured within one slice and PortAudio's real-time callback
// is never used.
#include <portaudio.h>

#include <algorithm>
#include <mutex>

#include "platform/audio_backend.h"
#include "platform/wave_queue.h"

namespace kestrona {
namespace {

// PortAudio stays initialised for the rest of the process once a device is
// looked at; terminating it under a device thread is not worth the risk.
bool EnsurePortAudio(std::string* error) {
    static std::once_flag once;
    static PaError status = paNoError;
    std::call_once(once, [] { status = Pa_Initialize(); });
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

bool DeviceParameters(bool input, const WaveFormat& format, PaStreamParameters& p) {
    PaDeviceIndex dev = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    if (dev == paNoDevice)
        return false;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(dev);
    if (info == nullptr)
        return false;
    p = {};
    p.device = dev;
    p.channelCount = format.channels;
    p.sampleFormat = paInt16;
    p.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
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

// Moves a buffer's 16-bit samples through the stream in 10 ms slices, so that
// a Reset is honoured between slices. step(data, samples) reads or writes one
// slice and is false when the stream failed; returns the samples moved.
template <typename AbortedFn, typename StepFn>
uint32_t TransferInSlices(const WaveFormat& format, WaveHeader& h, AbortedFn aborted, StepFn step) {
    const uint32_t slice = format.samplesPerSec / 100;
    const uint32_t total = h.bufferLength / 2;
    uint32_t done = 0;
    while (done < total && !aborted()) {
        const uint32_t n = std::min(slice, total - done);
        if (!step(h.data + 2 * done, n))
            break;
        done += n;
    }
    return done;
}

class PaWaveIn final : public WaveInDevice, private WaveQueue {
  public:
    PaWaveIn(const WaveFormat& format, WaveDoneCallback done, PaStream* stream)
        : WaveQueue(std::move(done), true), m_format(format), m_stream(stream) {
        Launch();
    }
    ~PaWaveIn() override {
        Shutdown();
        std::lock_guard lock(ControlMutex());
        Pa_CloseStream(m_stream);
    }
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
    void Transfer(WaveHeader& h) override {
        const uint32_t done = TransferInSlices(
            m_format, h, [this] { return Aborted(); },
            [this](uint8_t* data, uint32_t n) {
                const PaError e = Pa_ReadStream(m_stream, data, n);
                return e == paNoError || e == paInputOverflowed;
            });
        h.bytesRecorded = done * 2;
    }
    const WaveFormat m_format;
    PaStream* const m_stream;
};

class PaWaveOut final : public WaveOutDevice, private WaveQueue {
  public:
    PaWaveOut(const WaveFormat& format, WaveDoneCallback done, PaStream* stream)
        : WaveQueue(std::move(done), false), m_format(format), m_stream(stream) {
        {
            std::lock_guard lock(ControlMutex());
            Pa_StartStream(m_stream);
        }
        Launch();
    }
    ~PaWaveOut() override {
        Shutdown();
        std::lock_guard lock(ControlMutex());
        Pa_AbortStream(m_stream);
        Pa_CloseStream(m_stream);
    }
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
    void Transfer(WaveHeader& h) override {
        TransferInSlices(
            m_format, h, [this] { return Aborted(); },
            [this](uint8_t* data, uint32_t n) {
                const PaError e = Pa_WriteStream(m_stream, data, n);
                return e == paNoError || e == paOutputUnderflowed;
            });
    }
    const WaveFormat m_format;
    PaStream* const m_stream;
};

class PortAudioBackend final : public AudioBackend {
  public:
    int WaveInDeviceCount() override {
        return EnsurePortAudio(nullptr) && Pa_GetDefaultInputDevice() != paNoDevice ? 1 : 0;
    }
    int WaveOutDeviceCount() override {
        return EnsurePortAudio(nullptr) && Pa_GetDefaultOutputDevice() != paNoDevice ? 1 : 0;
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
    std::string Name() const override { return "portaudio"; }
};

}  // namespace

std::shared_ptr<AudioBackend> MakePortAudioBackend() {
    return std::make_shared<PortAudioBackend>();
}

}  // namespace kestrona
