// The media pipeline: the capture, send, receive and playout threads over
// two rings of four blocks, the codec on each block, and the policy that
// keeps delay bounded and cancels the loudspeaker's echo.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "codec/g729.h"
#include "media/audio_engine.h"
#include "media/frame_records.h"
#include "media/sample_level.h"
#include "media/stream_io.h"

using kestrona::ManualResetEvent;
using kestrona::ReadResult;
using kestrona::WaveHeader;
using kestrona::WaveResult;

namespace {

constexpr int kFrameSamples = kestrona::codec::kFrameSamples;  // 80
constexpr int kFrameBytes = kestrona::codec::kFrameBytes;      // 10
constexpr int kPcmFrameBytes = 2 * kFrameSamples;              // 160
// Hands a buffer the device has finished with back to the thread that waits
// for it: the header's user value is that position's event.
void BufferDone(WaveHeader& h) {
    h.flags &= ~WaveHeader::kPrepared;
    static_cast<ManualResetEvent*>(h.user)->Set();
}

}  // namespace

// The rings, their events and the delay and echo policy: everything the
// media threads need is allocated here, once per call.
void CAudioEngine::PreparePipeline(int sampleRate) {
    for (int i = 0; i < kRingSize; ++i) {
        m_captureFree[i] = std::make_unique<ManualResetEvent>(true);
        m_captureFilled[i] = std::make_unique<ManualResetEvent>(false);
        m_playoutFilled[i] = std::make_unique<ManualResetEvent>(false);
        m_playoutFree[i] = std::make_unique<ManualResetEvent>(true);
        for (auto* slot : {&m_capture[i], &m_playout[i]}) {
            slot->buffer.assign(size_t(m_blockBytes), 0);
            slot->header = {};
            slot->header.data = slot->buffer.data();
            slot->header.bufferLength = uint32_t(m_blockBytes);
        }
        m_capture[i].header.user = m_captureFilled[i].get();
        m_playout[i].header.user = m_playoutFree[i].get();
    }

    const int blockSamples = m_blockBytes / 2;
    m_clockOrigin = std::chrono::steady_clock::now();
    m_delayBound = std::make_unique<kestrona::PlayoutDelayBound>(sampleRate, blockSamples);
    m_decoded.assign(size_t(blockSamples), 0);
    const std::string backend = m_backend->Name();
    const bool echo = m_echoMode == EchoControl::kOn ||
                      (m_echoMode == EchoControl::kAuto && backend != "file" && backend != "null");
    if (echo && m_format.samplesPerSec > 0) {
        // The history reaches from the oldest block still waiting to be sent
        // to the newest audio queued for the loudspeaker.
        m_farEnd = std::make_unique<kestrona::FarEndHistory>((kRingSize + 2) * blockSamples +
                                                             m_delayBound->Limit() + sampleRate);
        m_echo = std::make_unique<kestrona::EchoCanceller>(sampleRate);
        m_farBlock.assign(size_t(blockSamples), 0);
    }
}

int64_t CAudioEngine::ClockNow() const {
    const auto elapsed = std::chrono::steady_clock::now() - m_clockOrigin;
    return int64_t(std::chrono::duration<double>(elapsed).count() * double(m_format.samplesPerSec));
}

int CAudioEngine::SamplesIn(std::chrono::microseconds t) const {
    return int(t.count() * int64_t(m_format.samplesPerSec) / 1000000);
}

void CAudioEngine::StartThread(std::thread& t, void (CAudioEngine::*body)()) {
    // A second start of the same direction would lose the running thread.
    if (t.joinable())
        return;
    t = std::thread(body, this);
}

void CAudioEngine::CaptureThread() {
    WaveResult result = WaveResult::kOk;
    std::string why;
    auto device = m_backend->OpenWaveIn(
        m_format, [this](WaveHeader& h) { CaptureDone(h); }, &result, &why);
    if (!device) {
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveInOpenFailed);
        Alert(kestrona::kWaveInOpenFailedText);
        return;
    }
    kestrona::WaveInDevice* dev = device.get();
    dev->SetEventCallback(
        [this](kestrona::WaveDeviceEvent e) { SoundLost(e, kestrona::kWaveInOpenFailed); });
    m_waveIn = std::move(device);  // Stop resets and closes it after joining this thread
    bool first = true;
    for (int i = 0; m_stopSending == 0; i = (i + 1) % kRingSize) {
        m_captureFree[i]->Wait();
        m_captureFree[i]->Reset();
        if (m_stopSending != 0)
            break;
        WaveHeader& h = m_capture[i].header;
        dev->Prepare(h);
        dev->AddBuffer(h);
        if (first) {
            dev->Start();
            first = false;
        }
    }
}

void CAudioEngine::CaptureDone(WaveHeader& h) {
    for (int i = 0; i < kRingSize; ++i) {
        if (&h == &m_capture[i].header)
            m_captureDoneAt[i].store(ClockNow(), std::memory_order_relaxed);
    }
    BufferDone(h);
}

bool CAudioEngine::CaptureIsStale(int i, int64_t now) {
    // Another full block already waiting behind this one: a backlog the
    // device delivered at once, or one that built up while sending was
    // held up. Sending it would add its age to every later word. Frames are
    // shorter than a sound server's own steps can be (PipeWire's graph, a
    // restarted server), so two or three of them often come back at once;
    // only a ring with nothing left for the device to fill is a backlog.
    const int behind = m_frameCodec ? kRingSize - 1 : 1;
    bool backlog = true;
    for (int k = 1; k <= behind && backlog; ++k)
        backlog = m_captureFilled[(i + k) % kRingSize]->IsSet();
    if (backlog)
        return true;
    const int64_t age = now - m_captureDoneAt[i].load(std::memory_order_relaxed);
    return age > int64_t(m_delayBound->Limit());
}

void CAudioEngine::SetLevels(int microphone, int loudspeaker) {
    m_micLevel.store(kestrona::ClampLevel(microphone), std::memory_order_relaxed);
    m_speakerLevel.store(kestrona::ClampLevel(loudspeaker), std::memory_order_relaxed);
}

void CAudioEngine::SetStreamKeys(const kestrona::SecretKey32& sendKey,
                                 const kestrona::SecretKey32& receiveKey) {
    m_sendKey = sendKey;
    m_receiveKey = receiveKey;
}

void CAudioEngine::SendThread() {
    const int sock = AwaitStream(m_sockOut, m_acceptedOut);
    const int blockSamples = m_blockBytes / 2;
    int64_t captureEnd = -1;  // where the last block ended, for echo control
    auto send = [sock](const uint8_t* d, size_t n) { return kestrona::SendSome(sock, d, n); };
    // Through a SOCKS5 proxy, the first byte goes out once the peer is there.
    if (m_outBind && sock >= 0 &&
        !kestrona::RunHandshake(sock, *m_outBind, kAcceptWaitMs, &m_cancel, true)) {
        ReportConnectionLost(m_stopSending);
        return;
    }
    // A frame waits for nothing: the small segments are the point.
    if (m_frameCodec && sock >= 0) {
        const int on = 1;
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    // An encrypted stream opens with the header the receiver needs to open
    // its blocks.
    std::optional<kestrona::StreamSealer> sealer;
    if (m_sendKey) {
        sealer.emplace(*m_sendKey);
        const auto& header = sealer->Header();
        if (!kestrona::WriteInChunks(header.data(), int(header.size()), kMaxSendChunk,
                                     m_stopSending, send)) {
            ReportConnectionLost(m_stopSending);
            return;
        }
    }
    // What one block becomes on the wire: a fixed block of G.729, or a frame
    // record; sealed on an encrypted call. 0: nothing to send.
    const size_t codedRoom =
        m_frameCodec ? m_frameCodec->MaxFrameBytes() : size_t(m_blockBytes / 16);
    const size_t sealedRoom = codedRoom + kestrona::StreamSealer::kOverhead;
    std::vector<uint8_t> coded(codedRoom), sealed(sealedRoom),
        record(sealedRoom + kestrona::kFrameLengthBytes);
    auto pack = [&](int16_t* pcm, const uint8_t*& wire) -> int {
        size_t n = 0;
        if (m_frameCodec) {
            n = m_frameCodec->Encode({pcm, size_t(blockSamples)}, coded);
        } else {
            int codedLength = 0;
            if (EncodeBlock(reinterpret_cast<uint8_t*>(pcm), m_blockBytes, coded.data(),
                            codedLength))
                n = size_t(codedLength);
        }
        if (n == 0)
            return 0;
        wire = coded.data();
        if (sealer) {
            sealer->Seal(coded.data(), n, sealed.data());
            wire = sealed.data();
            n += kestrona::StreamSealer::kOverhead;
        }
        if (m_frameCodec) {
            n = kestrona::WriteFrameRecord({wire, n}, sealedRoom, record);
            wire = record.data();
        }
        return int(n);
    };
    for (int i = 0; m_stopSending == 0; i = (i + 1) % kRingSize) {
        m_captureFilled[i]->Wait();
        m_captureFilled[i]->Reset();
        if (m_stopSending != 0)
            break;
        uint8_t* pcm = m_capture[i].buffer.data();
        captureEnd = captureEnd < 0 ? captureEnd : captureEnd + blockSamples;
        if (CaptureIsStale(i, ClockNow())) {
            m_captureDropped.fetch_add(1, std::memory_order_relaxed);
        } else {
            if (m_echo) {
                // The block was recorded during the block period that ended
                // when the device handed it back. The device keeps time, so
                // blocks follow each other; only a jump (a stall, a drop)
                // moves the reference off the previous one, and a thread
                // woken late does not shift it.
                const int64_t done = m_captureDoneAt[i].load(std::memory_order_relaxed);
                if (captureEnd < 0 || std::abs(done - captureEnd) > m_format.samplesPerSec / 20)
                    captureEnd = done;
                int16_t* near = reinterpret_cast<int16_t*>(pcm);
                // The devices' own buffering lies between the two clocks.
                m_farEnd->SetInputLatency(SamplesIn(m_waveIn->Latency()));
                m_farEnd->ReadHeard(captureEnd - blockSamples, m_farBlock.data(), blockSamples);
                m_echo->Process(near, m_farBlock.data(), blockSamples);
            }
            if (m_muted.load(std::memory_order_relaxed))
                std::fill_n(pcm, m_blockBytes, uint8_t(0));
            else
                kestrona::ApplyLevel(reinterpret_cast<int16_t*>(pcm), blockSamples,
                                     m_micLevel.load(std::memory_order_relaxed));
            const uint8_t* wire = nullptr;
            const int wireLength = pack(reinterpret_cast<int16_t*>(pcm), wire);
            if (wireLength == 0 && !m_frameCodec)
                break;  // stopped
            if (wireLength > 0 &&
                !kestrona::WriteInChunks(wire, wireLength, kMaxSendChunk, m_stopSending, send)) {
                ReportConnectionLost(m_stopSending);
                return;
            }
            if (m_recording.load(std::memory_order_acquire))
                m_recorder.Append("out", pcm, m_blockBytes);
        }
        // A buffer the device later returns only partly filled then ends in silence.
        std::fill(m_capture[i].buffer.begin(), m_capture[i].buffer.end(), 0);
        if (!m_frameCodec)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        m_captureFree[i]->Set();
    }
}

kestrona::WaveOutDevice* CAudioEngine::OpenPlayout() {
    WaveResult result = WaveResult::kOk;
    std::string why;
    auto device = m_backend->OpenWaveOut(
        m_format, [this](WaveHeader& h) { PlayoutDone(h); }, &result, &why);
    if (!device) {
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveOutOpenFailed);
        Alert(kestrona::kWaveOutOpenFailedText);
        return nullptr;
    }
    kestrona::WaveOutDevice* dev = device.get();
    dev->SetEventCallback(
        [this](kestrona::WaveDeviceEvent e) { SoundLost(e, kestrona::kWaveOutOpenFailed); });
    m_waveOut = std::move(device);  // Stop resets and closes it after joining this thread
    return dev;
}

void CAudioEngine::PlayoutThread() {
    kestrona::WaveOutDevice* dev = OpenPlayout();
    if (!dev)
        return;
    for (int i = 0; m_stopReceiving == 0; i = (i + 1) % kRingSize) {
        m_playoutFilled[i]->Wait();
        m_playoutFilled[i]->Reset();
        if (m_stopReceiving != 0)
            break;
        QueuePlayout(dev, i);
    }
}

void CAudioEngine::QueuePlayout(kestrona::WaveOutDevice* dev, int i) {
    WaveHeader& h = m_playout[i].header;
    dev->Prepare(h);
    m_playoutHeld.fetch_add(1, std::memory_order_relaxed);
    if (dev->Write(h) != WaveResult::kOk) {
        m_playoutHeld.fetch_sub(1, std::memory_order_relaxed);
        m_playoutFree[i]->Set();
    }
    if (m_farEnd)
        m_farEnd->SetOutputLatency(SamplesIn(dev->Latency()));
}

ssize_t CAudioEngine::ReceiveSome(int sock, uint8_t* data, size_t n) {
    if (m_inLeftoverUsed < m_inLeftover.size()) {
        const size_t k = std::min(n, m_inLeftover.size() - m_inLeftoverUsed);
        std::memcpy(data, m_inLeftover.data() + m_inLeftoverUsed, k);
        m_inLeftoverUsed += k;
        return ssize_t(k);
    }
    return kestrona::RecvSome(sock, data, n);
}

bool CAudioEngine::OpenReceiveStream(int sock, std::optional<kestrona::StreamOpener>& opener) {
    // Through a SOCKS5 proxy the reply that announces the peer comes first.
    if (m_inBind && sock >= 0) {
        if (!kestrona::RunHandshake(sock, *m_inBind, kAcceptWaitMs, &m_cancel, true)) {
            ReportConnectionLost(m_stopReceiving);
            return false;
        }
        // What arrived glued behind the proxy's answer is the start of the audio.
        m_inLeftover = m_inBind->TakeLeftover();
    }
    if (!m_receiveKey)
        return true;
    // An encrypted stream: the sender's header first. A block that does not
    // open behind it (altered, cut, replayed) breaks the stream.
    opener.emplace();
    std::array<uint8_t, kestrona::StreamSealer::kHeaderBytes> header{};
    ReadResult r =
        kestrona::ReadFully(header.data(), int(header.size()), m_stopReceiving,
                            [this, sock](uint8_t* d, size_t n) { return ReceiveSome(sock, d, n); });
    if (r == ReadResult::kComplete && !opener->Start(*m_receiveKey, header.data())) {
        std::fprintf(stderr, "kestrona: the audio stream's header is not valid\n");
        r = ReadResult::kBroken;
    }
    if (r == ReadResult::kBroken)
        ReportConnectionLost(m_stopReceiving);
    return r == ReadResult::kComplete;
}

void CAudioEngine::ReceiveThread() {
    const int sock = AwaitStream(m_sockIn, m_acceptedIn);
    const int codedBytes = m_blockBytes / 16;
    std::vector<uint8_t> coded(static_cast<size_t>(m_blockBytes));
    auto broken = [this] { ReportConnectionLost(m_stopReceiving); };
    auto recv = [this, sock](uint8_t* d, size_t n) { return ReceiveSome(sock, d, n); };
    std::optional<kestrona::StreamOpener> opener;
    if (!OpenReceiveStream(sock, opener))
        return;
    std::vector<uint8_t> sealed;
    int wireBytes = codedBytes;
    if (opener) {
        wireBytes = codedBytes + int(kestrona::StreamSealer::kOverhead);
        sealed.resize(size_t(wireBytes));
    }

    // The socket is always read as blocks arrive, so nothing backs up in
    // the network; what the loudspeaker cannot take in time is dropped here.
    const int blockSamples = m_blockBytes / 2;
    for (int i = 0; m_stopReceiving == 0;) {
        uint8_t* wire = opener ? sealed.data() : coded.data();
        ReadResult r = kestrona::ReadFully(wire, wireBytes, m_stopReceiving, recv);
        if (r == ReadResult::kComplete && opener &&
            !opener->Open(sealed.data(), size_t(wireBytes), coded.data())) {
            std::fprintf(stderr,
                         "kestrona: an audio block failed its check; the stream is broken\n");
            r = ReadResult::kBroken;
        }
        if (r == ReadResult::kBroken)
            broken();
        if (r != ReadResult::kComplete)
            return;
        int pcmLength = 0;
        if (!DecodeBlock(coded.data(), codedBytes, reinterpret_cast<uint8_t*>(m_decoded.data()),
                         pcmLength))
            return;  // stopped
        if (m_recording.load(std::memory_order_acquire))
            m_recorder.Append("in", reinterpret_cast<const uint8_t*>(m_decoded.data()),
                              m_blockBytes);
        kestrona::ApplyLevel(m_decoded.data(), blockSamples,
                             m_speakerLevel.load(std::memory_order_relaxed));
        // Two whole newer blocks already waiting in the socket (a backlog
        // after a stall; a pair can be mere jitter) or every buffer still
        // with the device (or one that never opened): this block would only
        // add delay.
        int waiting = 0;
        if (::ioctl(sock, FIONREAD, &waiting) != 0)
            waiting = 0;
        if (waiting >= 2 * wireBytes || !m_playoutFree[i]->IsSet()) {
            m_playoutDropped.fetch_add(blockSamples, std::memory_order_relaxed);
            continue;
        }
        const auto admitted = m_delayBound->Admit(ClockNow(), blockSamples,
                                                  m_playoutHeld.load(std::memory_order_relaxed));
        m_playoutDropped.fetch_add(admitted.drop, std::memory_order_relaxed);
        const int kept = blockSamples - admitted.drop;
        if (kept <= 0)
            continue;
        const int16_t* tail = m_decoded.data() + admitted.drop;
        m_playoutFree[i]->Reset();
        std::memcpy(m_playout[i].buffer.data(), tail, size_t(kept) * 2);
        m_playout[i].header.bufferLength = uint32_t(kept * 2);
        if (m_farEnd)
            m_farEnd->Write(admitted.playsAt, tail, kept);
        m_playoutFilled[i]->Set();
        i = (i + 1) % kRingSize;
    }
}

void CAudioEngine::PlayoutDone(WaveHeader& h) {
    m_playoutHeld.fetch_sub(1, std::memory_order_relaxed);
    BufferDone(h);
}

bool CAudioEngine::EncodeBlock(const uint8_t* pcm, int byteCount, uint8_t* coded,
                               int& codedLength) {
    if (pcm == nullptr || coded == nullptr || byteCount != m_blockBytes || byteCount <= 0)
        return false;
    const int frames = byteCount / kPcmFrameBytes;
    const int16_t* samples = reinterpret_cast<const int16_t*>(pcm);
    for (int k = 0; k < frames; ++k) {
        // A retired engine leaves the codec at once: the next call's engine
        // may already be resetting the process's codec.
        if (m_stopSending.load(std::memory_order_relaxed) != 0 && m_stopBegun.load())
            return false;
        m_codec->EncodeFrame(samples + kFrameSamples * k, coded + kFrameBytes * k);
    }
    codedLength = kFrameBytes * frames;
    return true;
}

bool CAudioEngine::DecodeBlock(const uint8_t* coded, int byteCount, uint8_t* pcm, int& pcmLength) {
    if (coded == nullptr || pcm == nullptr || byteCount != m_blockBytes / 16 || byteCount <= 0)
        return false;
    const int frames = byteCount / kFrameBytes;
    int16_t* samples = reinterpret_cast<int16_t*>(pcm);
    for (int k = 0; k < frames; ++k) {
        if (m_stopReceiving.load(std::memory_order_relaxed) != 0 && m_stopBegun.load())
            return false;
        m_codec->DecodeFrame(coded + kFrameBytes * k, samples + kFrameSamples * k, 0);
    }
    pcmLength = m_blockBytes;
    return true;
}
