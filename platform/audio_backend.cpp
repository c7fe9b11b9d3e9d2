#include "platform/audio_backend.h"

#include "platform/audio_backend_file.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace kestrona {
namespace {

// A machine without sound: no device of either kind.
class NullAudioBackend final : public AudioBackend {
  public:
    int WaveInDeviceCount() override { return 0; }
    int WaveOutDeviceCount() override { return 0; }
    WaveResult QueryWaveIn(const WaveFormat&) override { return WaveResult::kNoDevice; }
    WaveResult QueryWaveOut(const WaveFormat&) override { return WaveResult::kNoDevice; }
    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat&, WaveDoneCallback,
                                             WaveResult* result, std::string* error) override {
        if (result)
            *result = WaveResult::kNoDevice;
        if (error)
            *error = "no wave-in device (audio backend \"null\")";
        return nullptr;
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat&, WaveDoneCallback,
                                               WaveResult* result, std::string* error) override {
        if (result)
            *result = WaveResult::kNoDevice;
        if (error)
            *error = "no wave-out device (audio backend \"null\")";
        return nullptr;
    }
    std::string Name() const override { return "null"; }
};

}  // namespace

std::vector<AudioDeviceInfo> AudioBackend::ListDevices(AudioDirection direction) {
    const int count =
        direction == AudioDirection::kInput ? WaveInDeviceCount() : WaveOutDeviceCount();
    if (count <= 0)
        return {};
    return {AudioDeviceInfo{"default", "default", true}};
}

void AudioBackend::SelectDevice(AudioDirection direction, std::string id) {
    std::lock_guard lock(m_choiceMutex);
    (direction == AudioDirection::kInput ? m_inputChoice : m_outputChoice) = std::move(id);
}

std::string AudioBackend::SelectedDevice(AudioDirection direction) const {
    std::lock_guard lock(m_choiceMutex);
    return direction == AudioDirection::kInput ? m_inputChoice : m_outputChoice;
}

std::unique_ptr<WaveOutDevice> AudioBackend::OpenWaveOutById(const std::string&,
                                                             const WaveFormat& format,
                                                             WaveDoneCallback done,
                                                             WaveResult* result,
                                                             std::string* error) {
    return OpenWaveOut(format, std::move(done), result, error);
}

std::unique_ptr<WaveInDevice> AudioBackend::OpenWaveInById(const std::string&,
                                                           const WaveFormat& format,
                                                           WaveDoneCallback done,
                                                           WaveResult* result, std::string* error) {
    return OpenWaveIn(format, std::move(done), result, error);
}

void AudioBackend::SetNoticeCallback(AudioNoticeCallback callback) {
    std::lock_guard lock(m_noticeMutex);
    m_notice = std::move(callback);
}

void AudioBackend::Notify(AudioNotice notice, AudioDirection direction) {
    std::lock_guard lock(m_noticeMutex);
    if (m_notice)
        m_notice(notice, direction);
}

std::shared_ptr<AudioBackend> MakeNullAudioBackend() {
    return std::make_shared<NullAudioBackend>();
}

std::shared_ptr<AudioBackend> MakeDefaultAudioBackend() {
    if (PulseServerAnswers())
        return MakePulseAudioBackend();
    // An ALSA-only machine. But where ALSA's default device does not open
    // (none at all, or ALSA's own route to a sound server that is not
    // running yet) the server may come later, and pulse picks it up then.
    if (AlsaDefaultDeviceOpens())
        return MakePortAudioBackend();
    return MakePulseAudioBackend();
}

std::shared_ptr<AudioBackend> MakeAudioBackend(std::string_view choice, std::string* error) {
    if (choice.empty())
        return MakeDefaultAudioBackend();
    if (choice == "pulse")
        return MakePulseAudioBackend();
    if (choice == "portaudio")
        return MakePortAudioBackend();
    if (choice == "null")
        return MakeNullAudioBackend();
    if (choice.substr(0, 5) == "file:") {
        std::string_view rest = choice.substr(5);
        size_t comma = rest.find(',');
        if (comma == std::string_view::npos) {
            if (error)
                *error = "KESTRONA_AUDIO=file: needs MIC,SPEAKER (either may be empty)";
            return MakeNullAudioBackend();
        }
        std::string_view speaker = rest.substr(comma + 1);
        constexpr std::string_view kEcho = ",echo";
        const bool echo = speaker.size() >= kEcho.size() &&
                          speaker.substr(speaker.size() - kEcho.size()) == kEcho;
        if (echo)
            speaker.remove_suffix(kEcho.size());
        auto backend = std::make_shared<FileAudioBackend>(std::string(rest.substr(0, comma)),
                                                          std::string(speaker));
        if (echo)
            backend->SetEchoPath();
        return backend;
    }
    if (error) {
        *error = "unknown KESTRONA_AUDIO value \"" + std::string(choice) +
                 "\" (expected pulse, portaudio, null or file:MIC,SPEAKER)";
    }
    return MakeNullAudioBackend();
}

std::shared_ptr<AudioBackend> ProcessAudioBackend() {
    static std::once_flag once;
    static std::shared_ptr<AudioBackend> backend;
    std::call_once(once, [] {
        const char* value = std::getenv("KESTRONA_AUDIO");
        std::string error;
        backend = MakeAudioBackend(value ? value : "", &error);
        if (!error.empty())
            std::fprintf(stderr, "kestrona: %s; sound is off\n", error.c_str());
    });
    return backend;
}

}  // namespace kestrona
