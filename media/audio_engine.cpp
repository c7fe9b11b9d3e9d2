#include "media/audio_engine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "codec/g729.h"
#include "media/stream_io.h"

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
    m_owner = owner;
    m_direct = direct;
    m_proxyAddress = proxyAddress;
    m_httpProxyPort = httpProxyPort;
    m_socksProxyPort = socksProxyPort;

    m_format = kestrona::WaveFormat::Pcm16Mono(uint32_t(std::max(sampleRate, 0)));
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
    m_initialised = true;
}

// --- Connections ------------------------------------------------------------

bool CAudioEngine::Listen(int portIn, int portOut) {
    if (!m_initialised || m_stopped)
        return false;
    if (!m_direct) {
        m_inPreamble = InPreamble::kSocksBindReply;
        m_sockIn = kestrona::NewTcpSocket();
        m_sockOut = kestrona::NewTcpSocket();
        m_portIn = SocksBind(m_sockIn, portIn);
        if (m_portIn == -1)
            return false;  // the engine is stopped already
        m_portOut = SocksBind(m_sockOut, portOut);
        return m_portOut != -1;
    }
    // A port that Listen does not reach is announced as 0.
    m_portIn = 0;
    m_portOut = 0;
    {
        std::lock_guard lock(m_socketMutex);
        m_listenIn = kestrona::NewTcpSocket();
        m_listenOut = kestrona::NewTcpSocket();
    }
    int bound = 0;
    if (!kestrona::BindAndListen(m_listenIn, portIn, 5, bound))
        return false;
    m_portIn = bound;
    if (!kestrona::BindAndListen(m_listenOut, portOut, 5, bound))
        return false;
    m_portOut = bound;
    m_acceptedIn = std::make_unique<ManualResetEvent>(false);
    m_acceptedOut = std::make_unique<ManualResetEvent>(false);
    m_acceptInThread =
        std::thread(&CAudioEngine::AcceptThread, this, &m_listenIn, &m_sockIn, m_acceptedIn.get());
    m_acceptOutThread = std::thread(&CAudioEngine::AcceptThread, this, &m_listenOut, &m_sockOut,
                                    m_acceptedOut.get());
    return true;
}

int CAudioEngine::AwaitStream(const std::atomic<int>& stream, ManualResetEvent* accepted) {
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

int CAudioEngine::SocksBind(int sock, int port) {
    if (!kestrona::ConnectTcp(sock, m_proxyAddress, m_socksProxyPort)) {
        Post(kestrona::kMsgEngineFailure, kestrona::kProxyUnreachable);
        return 0;
    }
    std::atomic<int> noStop{0};
    auto recv = [sock](uint8_t* p, size_t n) { return kestrona::RecvSome(sock, p, n); };
    auto send = [sock, &noStop](const uint8_t* p, int n) {
        return kestrona::WriteInChunks(p, n, n, noStop, [sock](const uint8_t* d, size_t len) {
            return kestrona::SendSome(sock, d, len);
        });
    };
    auto fail = [this] {
        Stop();
        return -1;
    };

    const uint8_t greeting[] = {5, 2, 0, 2};
    if (!send(greeting, sizeof greeting))
        return fail();
    uint8_t choice[2];
    if (kestrona::ReadFully(choice, 2, noStop, recv) != ReadResult::kComplete || choice[0] != 5)
        return fail();
    if (choice[1] == 2) {
        // RFC 1929: each field is at most 255 bytes.
        std::string user = m_proxyUser.substr(0, 255), pass = m_proxyPassword.substr(0, 255);
        std::string req;
        req.push_back(1);
        req.push_back(char(user.size()));
        req += user;
        req.push_back(char(pass.size()));
        req += pass;
        uint8_t status[2];
        if (!send(reinterpret_cast<const uint8_t*>(req.data()), int(req.size())) ||
            kestrona::ReadFully(status, 2, noStop, recv) != ReadResult::kComplete ||
            status[0] != 1 || status[1] != 0)
            return fail();
    } else if (choice[1] != 0) {
        return fail();
    }
    // BIND for no particular peer (0.0.0.0) at the requested port.
    uint8_t bind[10] = {5, 2, 0, 1, 0, 0, 0, 0, uint8_t(port >> 8), uint8_t(port)};
    if (!send(bind, sizeof bind))
        return fail();
    uint8_t reply[4];
    if (kestrona::ReadFully(reply, 4, noStop, recv) != ReadResult::kComplete || reply[0] != 5 ||
        reply[1] != 0)
        return fail();
    int addressBytes = reply[3] == 1 ? 4 : reply[3] == 4 ? 16 : -1;
    uint8_t rest[2];
    if (reply[3] == 3) {
        uint8_t len;
        if (kestrona::ReadFully(&len, 1, noStop, recv) != ReadResult::kComplete)
            return fail();
        addressBytes = len;
    }
    if (addressBytes < 0)
        return fail();
    uint8_t skip[256];
    if (addressBytes > 0 &&
        kestrona::ReadFully(skip, addressBytes, noStop, recv) != ReadResult::kComplete)
        return fail();
    if (kestrona::ReadFully(rest, 2, noStop, recv) != ReadResult::kComplete)
        return fail();
    return rest[0] << 8 | rest[1];
}

bool CAudioEngine::Connect(const std::string& host, int peerPortIn, int peerPortOut) {
    if (!m_initialised || m_stopped)
        return false;
    m_sockIn = kestrona::NewTcpSocket();
    m_sockOut = kestrona::NewTcpSocket();
    if (m_direct) {
        return kestrona::ConnectTcp(m_sockIn, host, peerPortOut) &&
               kestrona::ConnectTcp(m_sockOut, host, peerPortIn);
    }
    m_inPreamble = InPreamble::kHttpReply;
    auto tunnel = [&](int sock, int port) {
        if (!kestrona::ConnectTcp(sock, m_proxyAddress, m_httpProxyPort))
            return false;
        std::string request = "CONNECT " + host + ":" + std::to_string(port) +
                              " HTTP/1.1\r\nUser-Agent: KESTRONA1.1/0.1\r\n\r\n";
        std::atomic<int> noStop{0};
        return kestrona::WriteInChunks(
            reinterpret_cast<const uint8_t*>(request.data()), int(request.size()),
            int(request.size()), noStop,
            [sock](const uint8_t* d, size_t n) { return kestrona::SendSome(sock, d, n); });
    };
    return tunnel(m_sockIn, peerPortOut) && tunnel(m_sockOut, peerPortIn);
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
    m_recordStem = stem;
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
    const int sock = AwaitStream(m_sockOut, m_acceptedOut.get());
    std::vector<uint8_t> coded(static_cast<size_t>(m_blockBytes));
    const int blockSamples = m_blockBytes / 2;
    auto send = [sock](const uint8_t* d, size_t n) { return kestrona::SendSome(sock, d, n); };
    for (int i = 0; m_stopSending == 0; i = (i + 1) % kRingSize) {
        m_captureFilled[i]->Wait();
        m_captureFilled[i]->Reset();
        if (m_stopSending != 0)
            break;
        uint8_t* pcm = m_capture[i].buffer.data();
        if (CaptureIsStale(i, ClockNow())) {
            m_captureDropped.fetch_add(1, std::memory_order_relaxed);
        } else {
            if (m_echo) {
                // The block was recorded during the block period that ended
                // when the device handed it back.
                int16_t* near = reinterpret_cast<int16_t*>(pcm);
                m_farEnd->Read(m_captureDoneAt[i].load(std::memory_order_relaxed) - blockSamples,
                               m_farBlock.data(), blockSamples);
                m_echo->Process(near, m_farBlock.data(), blockSamples);
            }
            std::fill(coded.begin(), coded.end(), 0);
            int codedLength = 0;
            EncodeBlock(pcm, m_blockBytes, coded.data(), codedLength);
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
    const int sock = AwaitStream(m_sockIn, m_acceptedIn.get());
    const int codedBytes = m_blockBytes / 16;
    std::vector<uint8_t> coded(static_cast<size_t>(m_blockBytes));
    auto recv = [sock](uint8_t* d, size_t n) { return kestrona::RecvSome(sock, d, n); };
    auto broken = [this] { ReportConnectionLost(m_stopReceiving); };

    // What a proxy puts ahead of the first frame is not audio.
    ReadResult pre = ReadResult::kComplete;
    if (m_inPreamble == InPreamble::kHttpReply) {
        pre = kestrona::SkipHttpConnectReply(m_stopReceiving, recv);
    } else if (m_inPreamble == InPreamble::kSocksBindReply) {
        pre = kestrona::SkipSocksReply(m_stopReceiving, recv);
    }
    if (pre == ReadResult::kBroken)
        broken();
    if (pre != ReadResult::kComplete)
        return;

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
        DecodeBlock(coded.data(), codedBytes, reinterpret_cast<uint8_t*>(m_decoded.data()),
                    pcmLength);
        if (m_recording.load(std::memory_order_acquire))
            AppendRecording("in", reinterpret_cast<const uint8_t*>(m_decoded.data()), m_blockBytes);
        // A whole newer block already waiting in the socket (a backlog after
        // a stall) or every buffer still with the device (or one that never
        // opened): this block would only add delay.
        int waiting = 0;
        if (::ioctl(sock, FIONREAD, &waiting) != 0)
            waiting = 0;
        if (waiting >= codedBytes || !m_playoutFree[i]->IsSet()) {
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
        m_codec->DecodeFrame(coded + kFrameBytes * k, samples + kFrameSamples * k, 0);
    }
    pcmLength = m_blockBytes;
    return true;
}

void CAudioEngine::AppendRecording(const char* suffix, const uint8_t* data, int n) {
    const std::filesystem::path path = m_recordRoot / "record" / (m_recordStem + suffix);
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

void CAudioEngine::Stop() {
    if (m_stopped)
        return;
    m_stopped = true;
    m_stopSending = 1;
    m_stopReceiving = 1;

    // Wake every thread blocked in accept, send or receive. The descriptors
    // stay allocated until the threads are joined, so none of them can be
    // reused under a thread still holding the number.
    {
        std::lock_guard lock(m_socketMutex);
        m_closing = true;
        kestrona::ShutdownSocket(m_listenIn);
        kestrona::ShutdownSocket(m_listenOut);
        kestrona::ShutdownSocket(m_sockIn.load());
        kestrona::ShutdownSocket(m_sockOut.load());
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
    if (m_owner)
        m_owner->PostEngineMessage(msg, code);
}

void CAudioEngine::ReportConnectionLost(const std::atomic<int>& stopFlag) {
    // A failure caused by Stop is no news; and one broken call is reported
    // once, even when both streams notice it.
    if (stopFlag == 0 && !m_lostReported.exchange(true))
        Post(kestrona::kMsgConnectionLost, 0);
}

void CAudioEngine::Alert(const char* text) {
    if (m_owner)
        m_owner->ShowEngineAlert(text);
}
