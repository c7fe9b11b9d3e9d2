#include "app/ring_player.h"

#include <algorithm>
#include <string>

#include "media/sample_level.h"
#include "platform/background_work.h"
#include "platform/wav_file.h"
#include "platform/wave_device.h"
#include "settings/settings_model.h"

namespace kestrona {

struct CRingPlayer::Sound {
    std::vector<uint8_t> pcm;
    WaveHeader header;
    std::unique_ptr<WaveOutDevice> device;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool stopping = false;
    double seconds = 0;

    // Closes the device as soon as the sound has ended (or was cut), so no
    // idle stream keeps the sound device awake between rings. Runs in the
    // background: a sound server that stopped answering holds the close up.
    void CloseWhenDone() {
        {
            std::unique_lock lock(mutex);
            done.wait(lock, [this] { return finished || stopping; });
        }
        device->Reset();
        device->Unprepare(header);
        device->Close();
        device.reset();
    }
};

CRingPlayer::CRingPlayer(std::shared_ptr<AudioBackend> backend) : m_backend(std::move(backend)) {}

CRingPlayer::~CRingPlayer() {
    Stop();
}

void CRingPlayer::Stop() {
    // Never waits: the background close sees the flag and ends the sound.
    if (m_current) {
        {
            std::lock_guard lock(m_current->mutex);
            m_current->stopping = true;
        }
        m_current->done.notify_all();
    }
    m_current.reset();
}

bool CRingPlayer::Start(const std::filesystem::path& file) {
    Stop();
    PcmAudio audio;
    std::string error;
    if (!ReadWavFile(file, audio, error) || audio.channels != 1 || audio.samples.empty()) {
        return false;
    }
    if (!m_backend) {
        m_backend = ProcessAudioBackend();
    }
    auto sound = std::make_shared<Sound>();
    ApplyLevel(audio.samples.data(), static_cast<int>(audio.samples.size()),
               std::clamp(m_nLevel, 0, kMaxRingLevel));
    sound->pcm.resize(audio.samples.size() * 2);
    for (std::size_t i = 0; i < audio.samples.size(); ++i) {
        const auto v = static_cast<uint16_t>(audio.samples[i]);
        sound->pcm[2 * i] = static_cast<uint8_t>(v & 0xff);
        sound->pcm[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    sound->seconds = static_cast<double>(audio.samples.size()) / audio.rate;
    const WaveFormat format = WaveFormat::Pcm16Mono(audio.rate);
    WaveResult result = WaveResult::kOk;
    Sound* raw = sound.get();
    sound->device = m_backend->OpenWaveOut(
        format,
        [raw](WaveHeader&) {
            std::lock_guard lock(raw->mutex);
            raw->finished = true;
            raw->done.notify_all();
        },
        &result);
    if (!sound->device) {
        return false;
    }
    sound->header.data = sound->pcm.data();
    sound->header.bufferLength = static_cast<uint32_t>(sound->pcm.size());
    sound->device->Prepare(sound->header);
    if (sound->device->Write(sound->header) != WaveResult::kOk) {
        sound->device->Unprepare(sound->header);
        sound->device->Close();
        return false;
    }
    BackgroundWork::Process().Run([sound] { sound->CloseWhenDone(); });
    m_current = std::move(sound);
    return true;
}

bool CRingPlayer::PlayAsync(const std::filesystem::path& file, int* lengthMs) {
    if (!Start(file)) {
        return false;
    }
    if (lengthMs) {
        *lengthMs = static_cast<int>(m_current->seconds * 1000);
    }
    return true;
}

}  // namespace kestrona
