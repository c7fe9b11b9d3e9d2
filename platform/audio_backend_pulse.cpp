// Real devices through the PulseAudio protocol (PulseAudio itself, or
// PipeWire's pulse server), on a libpulse main loop of our own
// (pulse_link.h); the devices are pulse_playback.cpp and pulse_capture.cpp.
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/audio_backend.h"
#include "platform/pulse_devices.h"
#include "platform/pulse_stream.h"

namespace kestrona {
namespace pulse {

class PulseAudioBackend final : public AudioBackend,
                                public std::enable_shared_from_this<PulseAudioBackend> {
  public:
    explicit PulseAudioBackend(std::string server)
        : m_link(std::make_shared<PulseLink>(std::move(server))) {}

    // The server may come and go: there is always a default device to open.
    int WaveInDeviceCount() override { return m_link->Usable() ? 1 : 0; }
    int WaveOutDeviceCount() override { return m_link->Usable() ? 1 : 0; }
    WaveResult QueryWaveIn(const WaveFormat& f) override { return Query(f); }
    WaveResult QueryWaveOut(const WaveFormat& f) override { return Query(f); }

    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& format, WaveDoneCallback done,
                                             WaveResult* result, std::string* error) override {
        return OpenIn(SelectedDevice(AudioDirection::kInput), format, std::move(done), result,
                      error);
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& format, WaveDoneCallback done,
                                               WaveResult* result, std::string* error) override {
        return OpenOut(SelectedDevice(AudioDirection::kOutput), format, std::move(done), result,
                       error);
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOutById(const std::string& id, const WaveFormat& format,
                                                   WaveDoneCallback done, WaveResult* result,
                                                   std::string* error) override {
        if (!id.empty() && !Exists(AudioDirection::kOutput, id))
            return Fail<WaveOutDevice>(WaveResult::kNoDevice, "no such wave-out device", result,
                                       error);
        return OpenOut(id, format, std::move(done), result, error);
    }
    std::unique_ptr<WaveInDevice> OpenWaveInById(const std::string& id, const WaveFormat& format,
                                                 WaveDoneCallback done, WaveResult* result,
                                                 std::string* error) override {
        if (!id.empty() && !Exists(AudioDirection::kInput, id))
            return Fail<WaveInDevice>(WaveResult::kNoDevice, "no such wave-in device", result,
                                      error);
        return OpenIn(id, format, std::move(done), result, error);
    }

    std::vector<AudioDeviceInfo> ListDevices(AudioDirection direction) override;

    bool Probe() override {
        bool ok = false;
        if (m_link->Usable()) {
            std::lock_guard lock(*m_link);
            ok = m_link->Ready(true) != nullptr;
        }
        if (!ok && !m_serverReported.exchange(true))
            Notify(AudioNotice::kServerUnavailable, AudioDirection::kOutput);
        return ok;
    }

    std::string Name() const override { return "pulse"; }

    void ReportMissing(AudioDirection direction, const std::string& id) {
        {
            std::lock_guard lock(m_missingMutex);
            if (!m_missingReported.insert({direction, id}).second)
                return;
        }
        Notify(AudioNotice::kChosenDeviceMissing, direction);
    }

  private:
    static WaveResult Query(const WaveFormat& f) {
        return IsSupportedWaveFormat(f) ? WaveResult::kOk : WaveResult::kBadFormat;
    }

    template <typename Device>
    static std::unique_ptr<Device> Fail(WaveResult r, const char* why, WaveResult* result,
                                        std::string* error) {
        if (result)
            *result = r;
        if (error)
            *error = why;
        return nullptr;
    }

    bool Check(const WaveFormat& format, WaveResult* result, std::string* error) {
        if (!m_link->Usable()) {
            Fail<WaveInDevice>(WaveResult::kNoDevice, "PulseAudio: no main loop", result, error);
            return false;
        }
        if (!IsSupportedWaveFormat(format)) {
            Fail<WaveInDevice>(WaveResult::kBadFormat, "unsupported wave format", result, error);
            return false;
        }
        if (result)
            *result = WaveResult::kOk;
        return true;
    }
    std::unique_ptr<WaveInDevice> OpenIn(const std::string& id, const WaveFormat& format,
                                         WaveDoneCallback done, WaveResult* result,
                                         std::string* error) {
        if (!Check(format, result, error))
            return nullptr;
        return OpenCapture(Home(), format, std::move(done), id);
    }
    std::unique_ptr<WaveOutDevice> OpenOut(const std::string& id, const WaveFormat& format,
                                           WaveDoneCallback done, WaveResult* result,
                                           std::string* error) {
        if (!Check(format, result, error))
            return nullptr;
        return OpenPlayback(Home(), format, std::move(done), id);
    }
    DeviceHome Home() { return DeviceHome{m_link, weak_from_this()}; }

    bool Exists(AudioDirection direction, const std::string& id) {
        for (const AudioDeviceInfo& d : ListDevices(direction)) {
            if (d.id == id)
                return true;
        }
        return false;
    }

    std::shared_ptr<PulseLink> m_link;
    std::atomic<bool> m_serverReported{false};
    std::mutex m_missingMutex;
    std::set<std::pair<AudioDirection, std::string>> m_missingReported;
};

void ReportMissing(const DeviceHome& home, AudioDirection direction, const std::string& id) {
    if (auto backend = home.backend.lock())
        backend->ReportMissing(direction, id);
}

std::vector<AudioDeviceInfo> PulseAudioBackend::ListDevices(AudioDirection direction) {
    return pulse::ListDevices(*m_link, direction);
}

}  // namespace pulse

std::shared_ptr<AudioBackend> MakePulseAudioBackend(std::string server) {
    return std::make_shared<pulse::PulseAudioBackend>(std::move(server));
}

bool PulseServerAnswers(const std::string& server) {
    pulse::PulseLink link(server);
    if (!link.Usable())
        return false;
    std::lock_guard lock(link);
    return link.Ready(true) != nullptr;
}

}  // namespace kestrona
