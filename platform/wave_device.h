// Wave-in and wave-out devices: the default capture and playback device, fed
// with caller-owned buffers that the device hands back one by one through a
// buffer-done callback on a device thread.
//
// A backend (audio_backend.h) opens the devices; which backend a process uses
// is chosen by the KESTRONA_AUDIO environment variable:
//   unset or ""               PulseAudio when a server answers, else PortAudio
//   "pulse"                   real devices through the PulseAudio protocol
//   "portaudio"               real devices through PortAudio (ALSA)
//   "null"                    no device at all (every query and open fails)
//   "file:MIC,SPEAKER"        MIC (a WAV or raw 16-bit file) is captured in real
//                             time, playback goes in real time to the WAV file
//                             SPEAKER; either may be left empty
//   "file:MIC,SPEAKER,echo"   the same, and the microphone also hears the
//                             loudspeaker 40 ms later at -6 dB
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kestrona {

// PCM, one channel, 16 bits: the only format the program uses.
struct WaveFormat {
    uint16_t formatTag = 1;  // PCM
    uint16_t channels = 1;
    uint32_t samplesPerSec = 8000;
    uint32_t avgBytesPerSec = 16000;
    uint16_t blockAlign = 2;
    uint16_t bitsPerSample = 16;
    uint16_t cbSize = 0;

    static WaveFormat Pcm16Mono(uint32_t rate) {
        WaveFormat f;
        f.samplesPerSec = rate;
        f.avgBytesPerSec = 2 * rate;
        return f;
    }
    bool operator==(const WaveFormat&) const = default;
};

// Lowest and highest rate a device accepts; the program uses 8000 to 24000.
inline constexpr uint32_t kMinWaveRate = 8000;
inline constexpr uint32_t kMaxWaveRate = 48000;

// True for PCM mono 16-bit with a consistent byte rate within the range above.
bool IsSupportedWaveFormat(const WaveFormat& format);

enum class WaveResult {
    kOk = 0,
    kNoDevice,       // there is no such device
    kBadFormat,      // the device rejects the format
    kOpenFailed,     // the device exists but could not be opened
    kNotPrepared,    // a buffer was added without being prepared
    kStillPlaying,   // a buffer is still queued
    kInvalidHandle,  // the device is closed
    kInvalidArg,     // null data or zero length
};
const char* WaveResultText(WaveResult r);

// One caller-owned buffer. The device owns it from AddBuffer/Write until it
// hands it back through the callback.
struct WaveHeader {
    static constexpr uint32_t kPrepared = 0x2;
    static constexpr uint32_t kDone = 0x1;
    static constexpr uint32_t kInQueue = 0x10;

    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0;  // wave-in: bytes filled before the buffer came back
    void* user = nullptr;        // free for the caller (the engine keeps an event here)
    uint32_t flags = 0;
};

// Called once for every buffer the device is finished with: filled (wave-in)
// or played (wave-out), including those given back by Reset. Runs on the
// device thread, or on the thread calling Reset. Must not call back into the
// device.
using WaveDoneCallback = std::function<void(WaveHeader&)>;

// What a device reports besides finished buffers. kLost: the sound server or
// the device went away; the device goes on in real time (capture gives
// silence, playback is dropped) and tries to come back by itself. kRestored:
// sound flows again. Runs on a device thread; must not call into the device.
enum class WaveDeviceEvent { kLost, kRestored };
using WaveEventCallback = std::function<void(WaveDeviceEvent)>;

class WaveEventSource {
  public:
    // Set once after opening, before the device is started or fed.
    void SetEventCallback(WaveEventCallback callback);

  protected:
    void Emit(WaveDeviceEvent event);

  private:
    std::mutex m_eventMutex;
    WaveEventCallback m_event;
};

class WaveInDevice : public WaveEventSource {
  public:
    virtual ~WaveInDevice() = default;
    WaveResult Prepare(WaveHeader& h);
    WaveResult Unprepare(WaveHeader& h);
    // Queues an empty buffer to be filled.
    virtual WaveResult AddBuffer(WaveHeader& h) = 0;
    // Recording begins; before Start, queued buffers wait.
    virtual WaveResult Start() = 0;
    // Stops recording and gives back every queued buffer through the callback
    // (a partly filled one with its bytesRecorded) before it returns.
    virtual WaveResult Reset() = 0;
    // Fails with kStillPlaying while buffers are queued. After Close no
    // callback runs any more; the destructor resets and closes.
    virtual WaveResult Close() = 0;
    virtual const WaveFormat& Format() const = 0;
    // How long before a buffer comes back its last sample was heard by the
    // microphone (the sound system's own buffering); zero when unknown. Any
    // thread; it may change while the device runs.
    virtual std::chrono::microseconds Latency() const { return {}; }
};

class WaveOutDevice : public WaveEventSource {
  public:
    virtual ~WaveOutDevice() = default;
    WaveResult Prepare(WaveHeader& h);
    WaveResult Unprepare(WaveHeader& h);
    // Queues a buffer; it plays as soon as those queued before it have played.
    virtual WaveResult Write(WaveHeader& h) = 0;
    // Stops at once and gives back every queued buffer through the callback
    // before it returns.
    virtual WaveResult Reset() = 0;
    virtual WaveResult Close() = 0;
    virtual const WaveFormat& Format() const = 0;
    // How long after the device would play a sample if it had nothing else
    // queued that sample is heard (the sound system's own buffering below
    // this device); zero when unknown. Any thread; it may change.
    virtual std::chrono::microseconds Latency() const { return {}; }
};

}  // namespace kestrona
