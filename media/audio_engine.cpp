#include "media/audio_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "codec/g729.h"
#include "media/stream_io.h"
#include "platform/background_work.h"

using kestrona::ManualResetEvent;
using kestrona::ReadResult;
using kestrona::WaveHeader;
using kestrona::WaveResult;

namespace {

constexpr int kFrameSamples = kestrona::codec::kFrameSamples;  // 80
constexpr int kFrameBytes = kestrona::codec::kFrameBytes;      // 10
constexpr int kPcmFrameBytes = 2 * kFrameSamples;              // 160
// A block holds an even number of frames: 160 samples at the least, and no
// more than five seconds at the highest rate a device takes.
constexpr int kMinBlockSamples = 2 * kFrameSamples;
constexpr int kMaxBlockSamples = 5 * 48000;

// Hands a buffer the device has finished with back to the thread that waits
// for it: the header's user value is that position's event.
void BufferDone(WaveHeader& h) {
    h.flags &= ~WaveHeader::kPrepared;
    static_cast<ManualResetEvent*>(h.user)->Set();
}

}  // namespace

CAudioEngine::CAudioEngine()
    : m_backend(kestrona::ProcessAudioBackend()), m_codec(kestrona::ProcessSpeechCodec()) {}

CAudioEngine::~CAudioEngine() {
    Stop();
}

void CAudioEngine::SetAudioBackend(std::shared_ptr<kestrona::AudioBackend> backend) {
    if (backend)
        m_backend = std::move(backend);
}

void CAudioEngine::SetCodec(std::shared_ptr<kestrona::SpeechCodec> codec) {
    if (codec)
        m_codec = std::move(codec);
}

void CAudioEngine::SetProxyCredentials(std::string user, std::string password) {
    m_proxyUser = std::move(user);
    m_proxyPassword = std::move(password);
}

void CAudioEngine::SetRecordRoot(std::filesystem::path root) {
    m_recordRoot = std::move(root);
}

void CAudioEngine::SetEchoControl(EchoControl mode) {
    if (!m_initialised)
        m_echoMode = mode;
}

void CAudioEngine::SetDevices(std::string input, std::string output) {
    if (!m_initialised)
        m_devices.emplace(std::move(input), std::move(output));
}

CAudioEngine::DelayStats CAudioEngine::Stats() const {
    DelayStats s;
    s.playoutSamplesDropped = m_playoutDropped.load();
    s.captureBlocksDropped = m_captureDropped.load();
    return s;
}

int64_t CAudioEngine::ClockNow() const {
    const auto elapsed = std::chrono::steady_clock::now() - m_clockOrigin;
    return int64_t(std::chrono::duration<double>(elapsed).count() * double(m_format.samplesPerSec));
}

bool CAudioEngine::IsCallRate(int sampleRate) {
    return std::find(kCallRates.begin(), kCallRates.end(), sampleRate) != kCallRates.end();
}

int CAudioEngine::BlockBytesFor(int sampleRate, int delayMs) {
    double exact = double(delayMs) * 0.001 * double(sampleRate);
    int samples = exact >= double(kMaxBlockSamples) ? kMaxBlockSamples
                  : exact > 0.0                     ? int(exact)
                                                    : 0;
    samples -= samples % kMinBlockSamples;
    return 2 * std::max(samples, kMinBlockSamples);
}

void CAudioEngine::Init(kestrona::IEngineOwner* owner, int sampleRate, int delayMs, bool direct,
                        const std::string& proxyAddress, int httpProxyPort, int socksProxyPort) {
    if (m_initialised || m_stopped)
        return;  // one set-up per engine
    {
        std::lock_guard lock(m_ownerMutex);
        m_owner = owner;
    }
    m_direct = direct;
    m_proxyAddress = proxyAddress;
    m_httpProxyPort = httpProxyPort;
    m_socksProxyPort = socksProxyPort;

    m_format = kestrona::WaveFormat::Pcm16Mono(uint32_t(std::max(sampleRate, 0)));
    if (!IsCallRate(sampleRate)) {
        // The rate came from the peer: no device takes it, and nothing is
        // sized by it.
        m_refused = true;
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveInFormat);
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveOutFormat);
        return;
    }
    delayMs = std::clamp(delayMs, kMinDelayMs, kMaxDelayMs);
    m_blockBytes = BlockBytesFor(sampleRate, delayMs);

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

    if (m_devices) {
        m_backend->SelectDevice(kestrona::AudioDirection::kInput, m_devices->first);
        m_backend->SelectDevice(kestrona::AudioDirection::kOutput, m_devices->second);
    }
    // Queries only: the threads open the devices when the call starts.
    if (m_backend->WaveInDeviceCount() == 0) {
        Post(kestrona::kMsgEngineFailure, kestrona::kNoWaveIn);
    } else if (m_backend->QueryWaveIn(m_format) != WaveResult::kOk) {
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveInFormat);
    }
    if (m_backend->WaveOutDeviceCount() == 0) {
        Post(kestrona::kMsgEngineFailure, kestrona::kNoWaveOut);
    } else if (m_backend->QueryWaveOut(m_format) != WaveResult::kOk) {
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveOutFormat);
    }

    // Everything the loops need is allocated here, once per call.
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

    m_codec->EncoderInit();
    m_codec->DecoderInit();
    m_setupDone = std::make_unique<ManualResetEvent>(true);
    m_initialised = true;
}

// --- Connections ------------------------------------------------------------

namespace {

int SetupCodeFor(kestrona::TunnelFailure failure) {
    using kestrona::TunnelFailure;
    switch (failure) {
        case TunnelFailure::kNone:
            return kestrona::kSetupOk;
        case TunnelFailure::kUnreachable:
            return kestrona::kSetupProxyUnreachable;
        case TunnelFailure::kTimedOut:
        case TunnelFailure::kCancelled:
            return kestrona::kSetupTimedOut;
        case TunnelFailure::kNoMethod:
        case TunnelFailure::kAuthRefused:
            return kestrona::kSetupProxyAuthFailed;
        case TunnelFailure::kHttpRefused:
        case TunnelFailure::kRequestRefused:
        case TunnelFailure::kPeerRefused:
            return kestrona::kSetupProxyRefused;
        case TunnelFailure::kClosed:
        case TunnelFailure::kNotHttp:
        case TunnelFailure::kSocksVersion:
        case TunnelFailure::kBadAddress:
            return kestrona::kSetupProxyBadAnswer;
    }
    return kestrona::kSetupProxyBadAnswer;
}

}  // namespace

bool CAudioEngine::BeginSetup(bool report) {
    if (m_refused && !m_stopped && !m_setupBegun) {
        m_setupBegun = true;
        if (report)
            Post(kestrona::kMsgEngineSetup, kestrona::kSetupBadParameters);
        return false;
    }
    if (!m_initialised || m_stopped || m_setupBegun)
        return false;
    m_setupBegun = true;
    m_setupDone->Reset();
    return true;
}

void CAudioEngine::RunSetup(std::function<int()> work) {
    m_setupThread = std::thread([this, work = std::move(work)] {
        const int code = work();
        m_setupDone->Set();
        // A set-up that Stop cut short is no news.
        if (!m_cancel.Cancelled())
            Post(kestrona::kMsgEngineSetup, code);
    });
}

void CAudioEngine::BeginListen(int portIn, int portOut) {
    if (BeginSetup(true))
        RunSetup([this, portIn, portOut] { return SetupListen(portIn, portOut); });
}

void CAudioEngine::BeginConnect(const std::string& host, int peerPortIn, int peerPortOut) {
    if (BeginSetup(true))
        RunSetup([this, host, peerPortIn, peerPortOut] {
            return SetupConnect(host, peerPortIn, peerPortOut);
        });
}

bool CAudioEngine::Listen(int portIn, int portOut) {
    if (!BeginSetup(false))
        return false;
    const int code = SetupListen(portIn, portOut);
    m_setupDone->Set();
    if (code != kestrona::kSetupOk && !m_direct)
        Stop();
    return code == kestrona::kSetupOk;
}

bool CAudioEngine::Connect(const std::string& host, int peerPortIn, int peerPortOut) {
    if (!BeginSetup(false))
        return false;
    const int code = SetupConnect(host, peerPortIn, peerPortOut);
    m_setupDone->Set();
    return code == kestrona::kSetupOk;
}

int CAudioEngine::StoreStream(std::atomic<int>& stream, int fd) {
    // Stop may have shut the streams down already; this one too, so it
    // cannot block a thread that uses it.
    std::lock_guard lock(m_socketMutex);
    stream.store(fd);
    if (m_closing)
        kestrona::ShutdownSocket(fd);
    return fd;
}

int CAudioEngine::SetupListen(int portIn, int portOut) {
    if (!m_direct) {
        const int in = SocksBind(m_sockIn, portIn, m_inBind);
        if (in != kestrona::kSetupOk)
            return in;
        std::optional<kestrona::ProxyHandshake> outBind;
        return SocksBind(m_sockOut, portOut, outBind);
    }
    // A port that the set-up does not reach is announced as 0.
    m_portIn = 0;
    m_portOut = 0;
    {
        std::lock_guard lock(m_socketMutex);
        if (m_closing)
            return kestrona::kSetupTimedOut;
        m_listenIn = kestrona::NewTcpSocket();
        m_listenOut = kestrona::NewTcpSocket();
    }
    int bound = 0;
    if (!kestrona::BindAndListen(m_listenIn, portIn, 5, bound))
        return kestrona::kSetupListenFailed;
    m_portIn = bound;
    if (!kestrona::BindAndListen(m_listenOut, portOut, 5, bound))
        return kestrona::kSetupListenFailed;
    m_portOut = bound;
    m_acceptedIn = std::make_unique<ManualResetEvent>(false);
    m_acceptedOut = std::make_unique<ManualResetEvent>(false);
    m_acceptInThread =
        std::thread(&CAudioEngine::AcceptThread, this, &m_listenIn, &m_sockIn, m_acceptedIn.get());
    m_acceptOutThread = std::thread(&CAudioEngine::AcceptThread, this, &m_listenOut, &m_sockOut,
                                    m_acceptedOut.get());
    return kestrona::kSetupOk;
}

int CAudioEngine::AwaitStream(const std::atomic<int>& stream,
                              const std::unique_ptr<ManualResetEvent>& accepted) {
    // The set-up thread creates the sockets and the accept events.
    m_setupDone->Wait();
    // The caller connects both streams as soon as it has the ports, so a
    // thread started at the same moment only has to wait for the accept; a
    // peer that has not connected within the bound counts as a broken stream.
    if (accepted)
        accepted->WaitFor(std::chrono::milliseconds(kAcceptWaitMs));
    return stream.load();
}

void CAudioEngine::AcceptThread(int* listenSocket, std::atomic<int>* stream,
                                ManualResetEvent* accepted) {
    struct Done {
        ManualResetEvent* event;
        ~Done() { event->Set(); }
    } done{accepted};
    int fd;
    {
        std::lock_guard lock(m_socketMutex);
        fd = *listenSocket;
    }
    int conn;
    do {
        conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (conn < 0 && errno == EINTR);
    std::lock_guard lock(m_socketMutex);
    if (conn >= 0) {
        stream->store(conn);
        // Stop may already have shut the streams down; this one too.
        if (m_closing)
            kestrona::ShutdownSocket(conn);
    }
    if (!m_closing)
        kestrona::CloseSocket(*listenSocket);
}

int CAudioEngine::SocksBind(std::atomic<int>& stream, int port,
                            std::optional<kestrona::ProxyHandshake>& bind) {
    using kestrona::TunnelFailure;
    TunnelFailure why = TunnelFailure::kNone;
    const int fd = kestrona::ConnectTcpWithin(m_proxyAddress, m_socksProxyPort, m_setupTimeoutMs,
                                              &m_cancel, &why);
    std::atomic<int>& announced = &stream == &m_sockIn ? m_portIn : m_portOut;
    if (fd < 0) {
        // An unreachable proxy is announced as port 0.
        announced = 0;
        if (why == TunnelFailure::kUnreachable)
            Post(kestrona::kMsgEngineFailure, kestrona::kProxyUnreachable);
        return SetupCodeFor(why);
    }
    StoreStream(stream, fd);
    bind.emplace(kestrona::ProxyHandshake::Socks5Bind(m_proxyUser, m_proxyPassword, port, false));
    if (!kestrona::RunHandshake(fd, *bind, m_setupTimeoutMs, &m_cancel)) {
        // A proxy that refuses is announced as -1.
        announced = -1;
        return SetupCodeFor(bind->Failure());
    }
    // The bound address is of no use: the peer reaches the proxy at the
    // address under which it knows this side.
    announced = bind->BoundPort();
    return kestrona::kSetupOk;
}

int CAudioEngine::HttpTunnel(std::atomic<int>& stream, const std::string& host, int port,
                             std::string* leftover) {
    using kestrona::TunnelFailure;
    TunnelFailure why = TunnelFailure::kNone;
    const int fd = kestrona::ConnectTcpWithin(m_proxyAddress, m_httpProxyPort, m_setupTimeoutMs,
                                              &m_cancel, &why);
    if (fd < 0)
        return SetupCodeFor(why);
    StoreStream(stream, fd);
    auto tunnel = kestrona::ProxyHandshake::HttpConnect(host, port);
    if (!kestrona::RunHandshake(fd, tunnel, m_setupTimeoutMs, &m_cancel))
        return SetupCodeFor(tunnel.Failure());
    if (leftover)
        *leftover = tunnel.TakeLeftover();
    return kestrona::kSetupOk;
}

int CAudioEngine::SetupConnect(const std::string& host, int peerPortIn, int peerPortOut) {
    // The receiving stream ends at the answering side's sending port and the
    // other way round.
    if (m_direct) {
        for (auto [stream, port] : {std::pair{&m_sockIn, peerPortOut}, {&m_sockOut, peerPortIn}}) {
            kestrona::TunnelFailure why = kestrona::TunnelFailure::kNone;
            const int fd =
                kestrona::ConnectTcpWithin(host, port, m_setupTimeoutMs, &m_cancel, &why);
            if (fd < 0)
                return why == kestrona::TunnelFailure::kUnreachable
                           ? kestrona::kSetupPeerUnreachable
                           : SetupCodeFor(why);
            StoreStream(*stream, fd);
        }
        return kestrona::kSetupOk;
    }
    const int in = HttpTunnel(m_sockIn, host, peerPortOut, &m_inLeftover);
    if (in != kestrona::kSetupOk)
        return in;
    // Nothing is ever read from the sending stream.
    return HttpTunnel(m_sockOut, host, peerPortIn, nullptr);
}

// --- Threads ----------------------------------------------------------------

void CAudioEngine::StartThread(std::thread& t, void (CAudioEngine::*body)()) {
    // A second start of the same direction would lose the running thread.
    if (t.joinable())
        return;
    t = std::thread(body, this);
}

void CAudioEngine::StartReceive() {
    if (!m_initialised || m_stopped)
        return;
    m_stopSending = 0;
    m_stopReceiving = 0;
    StartThread(m_playoutThread, &CAudioEngine::PlayoutThread);
    StartThread(m_receiveThread, &CAudioEngine::ReceiveThread);
}

void CAudioEngine::StartSend() {
    if (!m_initialised || m_stopped)
        return;
    m_stopSending = 0;
    m_stopReceiving = 0;
    StartThread(m_captureThread, &CAudioEngine::CaptureThread);
    StartThread(m_sendThread, &CAudioEngine::SendThread);
}

void CAudioEngine::Record(const std::string& stem) {
    {
        std::lock_guard lock(m_recordMutex);
        m_recordStem = stem;
    }
    m_recording.store(true, std::memory_order_release);
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
    // held up. Sending it would add its age to every later word.
    if (m_captureFilled[(i + 1) % kRingSize]->IsSet())
        return true;
    const int64_t age = now - m_captureDoneAt[i].load(std::memory_order_relaxed);
    return age > int64_t(m_delayBound->Limit());
}

void CAudioEngine::SendThread() {
    const int sock = AwaitStream(m_sockOut, m_acceptedOut);
    std::vector<uint8_t> coded(static_cast<size_t>(m_blockBytes));
    const int blockSamples = m_blockBytes / 2;
    int64_t captureEnd = -1;  // where the last block ended, for echo control
    auto send = [sock](const uint8_t* d, size_t n) { return kestrona::SendSome(sock, d, n); };
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
                m_farEnd->Read(captureEnd - blockSamples, m_farBlock.data(), blockSamples);
                m_echo->Process(near, m_farBlock.data(), blockSamples);
            }
            std::fill(coded.begin(), coded.end(), 0);
            int codedLength = 0;
            if (!EncodeBlock(pcm, m_blockBytes, coded.data(), codedLength))
                break;  // stopped
            if (!kestrona::WriteInChunks(coded.data(), codedLength, kMaxSendChunk, m_stopSending,
                                         send)) {
                ReportConnectionLost(m_stopSending);
                return;
            }
            if (m_recording.load(std::memory_order_acquire))
                AppendRecording("out", pcm, m_blockBytes);
        }
        // A buffer the device later returns only partly filled then ends in silence.
        std::fill(m_capture[i].buffer.begin(), m_capture[i].buffer.end(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        m_captureFree[i]->Set();
    }
}

void CAudioEngine::PlayoutThread() {
    WaveResult result = WaveResult::kOk;
    std::string why;
    auto device = m_backend->OpenWaveOut(
        m_format, [this](WaveHeader& h) { PlayoutDone(h); }, &result, &why);
    if (!device) {
        Post(kestrona::kMsgEngineFailure, kestrona::kWaveOutOpenFailed);
        Alert(kestrona::kWaveOutOpenFailedText);
        return;
    }
    kestrona::WaveOutDevice* dev = device.get();
    dev->SetEventCallback(
        [this](kestrona::WaveDeviceEvent e) { SoundLost(e, kestrona::kWaveOutOpenFailed); });
    m_waveOut = std::move(device);
    for (int i = 0; m_stopReceiving == 0; i = (i + 1) % kRingSize) {
        m_playoutFilled[i]->Wait();
        m_playoutFilled[i]->Reset();
        if (m_stopReceiving != 0)
            break;
        WaveHeader& h = m_playout[i].header;
        dev->Prepare(h);
        m_playoutHeld.fetch_add(1, std::memory_order_relaxed);
        if (dev->Write(h) != WaveResult::kOk) {
            m_playoutHeld.fetch_sub(1, std::memory_order_relaxed);
            m_playoutFree[i]->Set();
        }
    }
}

void CAudioEngine::ReceiveThread() {
    const int sock = AwaitStream(m_sockIn, m_acceptedIn);
    const int codedBytes = m_blockBytes / 16;
    std::vector<uint8_t> coded(static_cast<size_t>(m_blockBytes));
    auto broken = [this] { ReportConnectionLost(m_stopReceiving); };

    // Through a SOCKS5 proxy the reply that announces the peer comes first.
    if (m_inBind && sock >= 0) {
        if (!kestrona::RunHandshake(sock, *m_inBind, kAcceptWaitMs, &m_cancel, true)) {
            broken();
            return;
        }
        m_inLeftover = m_inBind->TakeLeftover();
    }
    // What arrived glued behind the proxy's answer is the start of the audio.
    size_t leftoverUsed = 0;
    auto recv = [this, sock, &leftoverUsed](uint8_t* d, size_t n) -> ssize_t {
        if (leftoverUsed < m_inLeftover.size()) {
            const size_t k = std::min(n, m_inLeftover.size() - leftoverUsed);
            std::memcpy(d, m_inLeftover.data() + leftoverUsed, k);
            leftoverUsed += k;
            return ssize_t(k);
        }
        return kestrona::RecvSome(sock, d, n);
    };

    // The socket is always read as blocks arrive, so nothing backs up in
    // the network; what the loudspeaker cannot take in time is dropped here.
    const int blockSamples = m_blockBytes / 2;
    for (int i = 0; m_stopReceiving == 0;) {
        ReadResult r = kestrona::ReadFully(coded.data(), codedBytes, m_stopReceiving, recv);
        if (r == ReadResult::kBroken)
            broken();
        if (r != ReadResult::kComplete)
            return;
        int pcmLength = 0;
        if (!DecodeBlock(coded.data(), codedBytes, reinterpret_cast<uint8_t*>(m_decoded.data()),
                         pcmLength))
            return;  // stopped
        if (m_recording.load(std::memory_order_acquire))
            AppendRecording("in", reinterpret_cast<const uint8_t*>(m_decoded.data()), m_blockBytes);
        // Two whole newer blocks already waiting in the socket (a backlog
        // after a stall; a pair can be mere jitter) or every buffer still
        // with the device (or one that never opened): this block would only
        // add delay.
        int waiting = 0;
        if (::ioctl(sock, FIONREAD, &waiting) != 0)
            waiting = 0;
        if (waiting >= 2 * codedBytes || !m_playoutFree[i]->IsSet()) {
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

// --- Blocks -----------------------------------------------------------------

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

void CAudioEngine::AppendRecording(const char* suffix, const uint8_t* data, int n) {
    std::filesystem::path path;
    {
        std::lock_guard lock(m_recordMutex);
        path = m_recordRoot / "record" / (m_recordStem + suffix);
    }
    // Open without truncating first, so a second call with the same stem appends.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;  // no "record/" directory: the call goes on unrecorded
    if (::lseek(fd, 0, SEEK_END) >= 0) {
        for (int done = 0; done < n;) {
            ssize_t w = ::write(fd, data + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;
            done += int(w);
        }
    }
    ::close(fd);
}

// --- Stop -------------------------------------------------------------------

void CAudioEngine::Retire(std::unique_ptr<CAudioEngine> engine) {
    if (!engine)
        return;
    // Nothing more reaches the owner, and every thread starts to wind down
    // now; the joins and the devices' close, which a sound server that
    // stopped answering can hold up, happen in the background.
    engine->Detach();
    engine->BeginStop();
    std::shared_ptr<CAudioEngine> retired(std::move(engine));
    kestrona::BackgroundWork::Process().Run([retired] { retired->Stop(); });
}

void CAudioEngine::Detach() {
    std::lock_guard lock(m_ownerMutex);
    m_owner = nullptr;
}

void CAudioEngine::BeginStop() {
    if (m_stopBegun)
        return;
    m_stopBegun = true;
    m_stopSending = 1;
    m_stopReceiving = 1;
    m_cancel.Cancel();

    // Wake every thread blocked in accept, send or receive. The descriptors
    // stay allocated until the threads are joined, so none of them can be
    // reused under a thread still holding the number.
    std::lock_guard lock(m_socketMutex);
    m_closing = true;
    kestrona::ShutdownSocket(m_listenIn);
    kestrona::ShutdownSocket(m_listenOut);
    kestrona::ShutdownSocket(m_sockIn.load());
    kestrona::ShutdownSocket(m_sockOut.load());
}

void CAudioEngine::Stop() {
    if (m_stopped)
        return;
    m_stopped = true;
    BeginStop();
    // The set-up thread may start the accept threads: it ends first.
    if (m_setupThread.joinable())
        m_setupThread.join();
    if (m_setupDone)
        m_setupDone->Set();
    {
        std::lock_guard lock(m_socketMutex);
        kestrona::ShutdownSocket(m_listenIn);
        kestrona::ShutdownSocket(m_listenOut);
    }
    for (auto* event : {&m_acceptedIn, &m_acceptedOut}) {
        if (*event)
            (*event)->Set();
    }
    if (m_acceptInThread.joinable())
        m_acceptInThread.join();
    if (m_acceptOutThread.joinable())
        m_acceptOutThread.join();

    for (auto* ring : {&m_captureFree, &m_captureFilled, &m_playoutFilled, &m_playoutFree}) {
        for (auto& event : *ring) {
            if (event)
                event->Set();
        }
    }
    for (std::thread* t : {&m_playoutThread, &m_receiveThread, &m_captureThread, &m_sendThread}) {
        if (t->joinable())
            t->join();
    }

    kestrona::CloseSocket(m_listenIn);
    kestrona::CloseSocket(m_listenOut);
    int fd = m_sockIn.exchange(-1);
    kestrona::CloseSocket(fd);
    fd = m_sockOut.exchange(-1);
    kestrona::CloseSocket(fd);

    if (m_waveOut) {
        m_waveOut->Reset();
        m_waveOut->Close();
        m_waveOut.reset();
    }
    if (m_waveIn) {
        m_waveIn->Reset();
        m_waveIn->Close();
        m_waveIn.reset();
    }
}

void CAudioEngine::Post(int msg, int code) {
    std::lock_guard lock(m_ownerMutex);
    if (m_owner)
        m_owner->PostEngineMessage(msg, code);
}

void CAudioEngine::ReportConnectionLost(const std::atomic<int>& stopFlag) {
    // A failure caused by Stop is no news; and one broken call is reported
    // once, even when both streams notice it.
    if (stopFlag == 0 && !m_lostReported.exchange(true))
        Post(kestrona::kMsgConnectionLost, 0);
}

void CAudioEngine::SoundLost(kestrona::WaveDeviceEvent event, int code) {
    // The device went away mid-call (it keeps the call's timing and comes
    // back by itself): once per call, whichever side noticed first. While it
    // is gone it cannot be opened, which is what the code says.
    if (event == kestrona::WaveDeviceEvent::kLost && !m_soundLostReported.exchange(true))
        Post(kestrona::kMsgEngineFailure, code);
}

void CAudioEngine::Alert(const char* text) {
    std::lock_guard lock(m_ownerMutex);
    if (m_owner)
        m_owner->ShowEngineAlert(text);
}
