#include "media/wave_player.h"

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/background_work.h"

using kestrona::WaveHeader;
using kestrona::WaveResult;

struct CWavePlayer::Playback {
    // Set (under the mutex) before a stop gives the buffers back, so only
    // buffers that really finished playing are reported, and none once the
    // player has let go of the owner.
    std::mutex ownerMutex;
    kestrona::IEngineOwner* owner = nullptr;
    bool stopping = false;
    std::vector<uint8_t> bufferIn;
    std::vector<uint8_t> bufferOut;
    WaveHeader headerIn;
    WaveHeader headerOut;
    // Last, so the devices (and their callbacks) are gone before the rest.
    std::unique_ptr<kestrona::WaveOutDevice> waveOutIn;
    std::unique_ptr<kestrona::WaveOutDevice> waveOutOut;

    void Done(WaveHeader& h) {
        h.flags &= ~WaveHeader::kPrepared;
        std::lock_guard lock(ownerMutex);
        if (!stopping && owner)
            owner->PostEngineMessage(kestrona::kMsgPlaybackDone, 0);
    }
    void Silence() {
        std::lock_guard lock(ownerMutex);
        stopping = true;
    }
    void Halt() {
        Silence();
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

CWavePlayer::CWavePlayer()
    : m_backend(kestrona::ProcessAudioBackend()),
      m_playing(std::make_shared<std::atomic<uint64_t>>(0)) {}

CWavePlayer::~CWavePlayer() {
    Stop();
    Retire(std::move(m_current));
}

void CWavePlayer::Retire(std::shared_ptr<Playback> pb) {
    if (!pb)
        return;
    // From here on nothing reaches the owner; the devices are reset and
    // closed in the background, since a sound server that stopped answering
    // holds that up.
    pb->Silence();
    kestrona::BackgroundWork::Process().Run([pb = std::move(pb)]() mutable {
        pb->Halt();
        pb.reset();
    });
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
    Retire(std::move(m_current));

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
        Retire(std::move(pb));  // closing the first device too
        return;
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

    m_playing->store(++m_plays);
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
    const uint64_t play = m_playing->load();
    if (play == 0)
        return;
    std::shared_ptr<Playback> pb = std::move(m_current);
    if (pb)
        pb->Silence();
    // Playing until the devices have been let go of, unless a newer Play
    // has begun meanwhile.
    kestrona::BackgroundWork::Process().Run(
        [pb = std::move(pb), playing = m_playing, play]() mutable {
            if (pb)
                pb->Halt();
            pb.reset();
            uint64_t expected = play;
            playing->compare_exchange_strong(expected, 0);
        });
}
