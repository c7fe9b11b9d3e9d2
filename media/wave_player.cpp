#include "media/wave_player.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using kestrona::WaveHeader;
using kestrona::WaveResult;

struct CWavePlayer::Playback {
    kestrona::IEngineOwner* owner = nullptr;
    // Set before a stop gives the buffers back, so only buffers that really
    // finished playing are reported.
    std::atomic<bool> stopping{false};
    std::vector<uint8_t> bufferIn;
    std::vector<uint8_t> bufferOut;
    WaveHeader headerIn;
    WaveHeader headerOut;
    // Last, so the devices (and their callbacks) are gone before the rest.
    std::unique_ptr<kestrona::WaveOutDevice> waveOutIn;
    std::unique_ptr<kestrona::WaveOutDevice> waveOutOut;

    void Done(WaveHeader& h) {
        h.flags &= ~WaveHeader::kPrepared;
        if (!stopping.load() && owner)
            owner->PostEngineMessage(kestrona::kMsgPlaybackDone, 0);
    }
    void Halt() {
        stopping = true;
        for (auto* device : {&waveOutIn, &waveOutOut}) {
            if (*device) {
                (*device)->Reset();
                (*device)->Close();
                device->reset();
            }
        }
    }
    ~Playback() { Halt(); }
};

namespace {

// The whole file, or false when it cannot be opened.
bool ReadRecording(const std::filesystem::path& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    out.resize(out.size() & ~size_t(1));  // whole samples only
    return true;
}

}  // namespace

CWavePlayer::CWavePlayer() : m_backend(kestrona::ProcessAudioBackend()) {}

CWavePlayer::~CWavePlayer() {
    Stop();
    if (m_worker.joinable())
        m_worker.join();
    m_current.reset();
}

void CWavePlayer::SetAudioBackend(std::shared_ptr<kestrona::AudioBackend> backend) {
    if (backend)
        m_backend = std::move(backend);
}

void CWavePlayer::Play(const std::filesystem::path& inPath, const std::filesystem::path& outPath,
                       int sampleRate, kestrona::IEngineOwner* owner) {
    m_owner = owner;
    m_format = kestrona::WaveFormat::Pcm16Mono(uint32_t(sampleRate > 0 ? sampleRate : 0));
    // A Play without a Stop before it replaces the playback at once.
    m_current.reset();

    auto pb = std::make_shared<Playback>();
    pb->owner = owner;
    Playback* raw = pb.get();
    auto done = [raw](WaveHeader& h) { raw->Done(h); };
    WaveResult result;
    // A first device that cannot be opened only silences the "in" file.
    pb->waveOutIn = m_backend->OpenWaveOut(m_format, done, &result);
    pb->waveOutOut = m_backend->OpenWaveOut(m_format, done, &result);
    if (!pb->waveOutOut) {
        if (owner)
            owner->ShowEngineAlert(kestrona::kWaveOutOpenFailedText);
        return;  // pb goes, closing the first device too
    }

    auto load = [](const std::filesystem::path& path, std::vector<uint8_t>& buffer,
                   WaveHeader& header) {
        if (!ReadRecording(path, buffer) || buffer.empty())
            return false;
        header = {};
        header.data = buffer.data();
        header.bufferLength = uint32_t(buffer.size());
        return true;
    };
    const bool haveIn = load(inPath, pb->bufferIn, pb->headerIn);
    const bool haveOut = load(outPath, pb->bufferOut, pb->headerOut);

    m_playing = ++m_plays;
    m_current = pb;
    if (haveIn && pb->waveOutIn) {
        pb->waveOutIn->Prepare(pb->headerIn);
        pb->waveOutIn->Write(pb->headerIn);
    }
    if (haveOut) {
        pb->waveOutOut->Prepare(pb->headerOut);
        pb->waveOutOut->Write(pb->headerOut);
    }
}

void CWavePlayer::Stop() {
    const uint64_t play = m_playing.load();
    if (play == 0)
        return;
    std::shared_ptr<Playback> pb = std::move(m_current);
    if (pb)
        pb->stopping = true;
    // The previous worker has only a device reset and close to do.
    if (m_worker.joinable())
        m_worker.join();
    m_worker = std::thread([this, pb = std::move(pb), play]() mutable {
        if (pb)
            pb->Halt();
        pb.reset();
        uint64_t expected = play;
        m_playing.compare_exchange_strong(expected, 0);
    });
}
