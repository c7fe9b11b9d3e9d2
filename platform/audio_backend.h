// The source of wave devices. One backend serves a whole process unless a
// caller (a test running two phones in one process) hands its own to the
// objects that open devices.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wave_device.h"

namespace kestrona {

enum class AudioDirection { kInput, kOutput };

// One capture or playback device as the user knows it.
struct AudioDeviceInfo {
    // Stable across runs and replugging (a sound-server device name); the
    // value to keep in the settings. The empty id means "the system default,
    // followed as it changes", and is never listed.
    std::string id;
    std::string name;  // human name, for the options page
    bool isDefault = false;
};

// Things about the sound system the user should hear of once. Delivered on a
// backend or device thread: the receiver queues them and returns at once.
enum class AudioNotice {
    kServerUnavailable,    // no sound server answers (checked by Probe)
    kChosenDeviceMissing,  // the chosen device is not there; the default is used
};
using AudioNoticeCallback = std::function<void(AudioNotice, AudioDirection)>;

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    // The devices of one kind that can be chosen, the current default first.
    // May take a moment (asks the sound server, with a time-out); call it off
    // the UI thread where that matters. The default lists one "default" entry
    // when the backend has such a device, and nothing otherwise.
    virtual std::vector<AudioDeviceInfo> ListDevices(AudioDirection direction);

    // The device that OpenWaveIn/OpenWaveOut use from now on ("" = the system
    // default). A chosen device that is missing when a device is opened gives
    // the default instead and one kChosenDeviceMissing notice.
    void SelectDevice(AudioDirection direction, std::string id);
    std::string SelectedDevice(AudioDirection direction) const;

    // Opens a given device by id ("" = the default), ignoring the selection:
    // for a test sound on a device the user is looking at. A missing device
    // fails with kNoDevice. The default ignores the id.
    virtual std::unique_ptr<WaveOutDevice> OpenWaveOutById(const std::string& id,
                                                           const WaveFormat& format,
                                                           WaveDoneCallback done,
                                                           WaveResult* result,
                                                           std::string* error = nullptr);
    virtual std::unique_ptr<WaveInDevice> OpenWaveInById(const std::string& id,
                                                         const WaveFormat& format,
                                                         WaveDoneCallback done, WaveResult* result,
                                                         std::string* error = nullptr);

    // Whether the sound system answers at all; false gives one
    // kServerUnavailable notice. Cheap after the first call. Default: true.
    virtual bool Probe() { return true; }

    // Where notices go (replaces the previous receiver; null for none).
    void SetNoticeCallback(AudioNoticeCallback callback);

    // Number of devices of each kind (0 or 1: only the default device is used).
    virtual int WaveInDeviceCount() = 0;
    virtual int WaveOutDeviceCount() = 0;
    // Asks whether the default device would accept the format; opens nothing.
    virtual WaveResult QueryWaveIn(const WaveFormat& format) = 0;
    virtual WaveResult QueryWaveOut(const WaveFormat& format) = 0;
    // Opens the default device. On failure returns null and sets *result (and
    // *error, a readable reason, when given).
    virtual std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& format,
                                                     WaveDoneCallback done, WaveResult* result,
                                                     std::string* error = nullptr) = 0;
    virtual std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& format,
                                                       WaveDoneCallback done, WaveResult* result,
                                                       std::string* error = nullptr) = 0;
    // "pulse", "portaudio", "null" or "file".
    virtual std::string Name() const = 0;

  protected:
    void Notify(AudioNotice notice, AudioDirection direction);

  private:
    mutable std::mutex m_choiceMutex;
    std::string m_inputChoice;
    std::string m_outputChoice;
    std::mutex m_noticeMutex;
    AudioNoticeCallback m_notice;
};

// Builds a backend from a KESTRONA_AUDIO value: "pulse", "portaudio", "null",
// "file:MIC,SPEAKER", or empty for the automatic choice (pulse when a server
// answers, else PortAudio). An unknown or malformed value gives the null
// backend and a reason in *error.
std::shared_ptr<AudioBackend> MakeAudioBackend(std::string_view choice,
                                               std::string* error = nullptr);

std::shared_ptr<AudioBackend> MakeNullAudioBackend();
std::shared_ptr<AudioBackend> MakePortAudioBackend();
// PulseAudio's native protocol (PulseAudio itself, or PipeWire's pulse
// server). server: an address such as "unix:/path/native"; empty for the one
// named by PULSE_SERVER or the user's session.
std::shared_ptr<AudioBackend> MakePulseAudioBackend(std::string server = {});
// True when a PulseAudio-protocol server answers within a short time.
bool PulseServerAnswers(const std::string& server = {});
// Whether ALSA's default playback device can be opened now.
bool AlsaDefaultDeviceOpens();
// The automatic choice: pulse when a server answers, else PortAudio when
// ALSA's default device opens, else pulse (a server started later is picked
// up).
std::shared_ptr<AudioBackend> MakeDefaultAudioBackend();
// mic: WAV (16-bit mono PCM) or raw 16-bit little-endian mono file, empty for
// silence. speaker: WAV file written in real time, empty to discard.
std::shared_ptr<AudioBackend> MakeFileAudioBackend(std::string mic, std::string speaker);

// The process's backend, made once from KESTRONA_AUDIO (a bad value is
// reported on standard error and gives the null backend).
std::shared_ptr<AudioBackend> ProcessAudioBackend();

}  // namespace kestrona
