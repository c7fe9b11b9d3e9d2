// The engine as its callers see it: set-up of the call's parameters, the
// start of each direction, and the stop. The streams are opened in
// stream_setup.cpp, the audio is moved in media_pipeline.cpp, and the
// recording files are written by CallRecorder.
#include "media/audio_engine.h"

#include <algorithm>
#include <cstdio>

#include "codec/g729.h"
#include "media/stream_io.h"
#include "platform/background_work.h"

using kestrona::CPlayoutBuffer;
using kestrona::ManualResetEvent;
using kestrona::WaveResult;

namespace {

// A block holds an even number of frames: 160 samples at the least, and no
// more than five seconds at the highest rate a device takes.
constexpr int kMinBlockSamples = 2 * kestrona::codec::kFrameSamples;
constexpr int kMaxBlockSamples = 5 * 48000;

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
    m_recorder.SetRoot(std::move(root));
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
    m_delayMs = std::clamp(delayMs, kMinDelayMs, kMaxDelayMs);
    if (m_frameCodec) {
        const int frameSamples = m_frameCodec->FrameSamples();
        if (m_frameCodec->SampleRate() != sampleRate || frameSamples <= 0 ||
            frameSamples > sampleRate / 10) {
            m_refused = true;
            Post(kestrona::kMsgEngineFailure, kestrona::kWaveInFormat);
            Post(kestrona::kMsgEngineFailure, kestrona::kWaveOutFormat);
            return;
        }
        // A block is one frame; the delay setting bounds the playout buffer.
        m_blockBytes = 2 * frameSamples;
        CPlayoutBuffer::Config config;
        config.frameMs = std::max(1, frameSamples * 1000 / sampleRate);
        config.maxMs = std::max(m_delayMs, config.startMs);
        config.maxFrameBytes = int(m_frameCodec->MaxFrameBytes());
        m_playoutBuffer = std::make_unique<CPlayoutBuffer>(config);
        m_turnFrame.assign(m_frameCodec->MaxFrameBytes(), 0);
    } else {
        delayMs = m_frameMs > 0 ? std::clamp(m_frameMs, kMinFrameMs, kMinDelayMs) : m_delayMs;
        m_blockBytes = BlockBytesFor(sampleRate, delayMs);
    }

    PreparePipeline(sampleRate);

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

    // No one reads the phone's standard output: the codec's warning lines are
    // counted instead, and Stop logs the call's count once.
    m_codec->SetLspWarningsPrinted(false);
    m_codec->EncoderInit();
    m_codec->DecoderInit();
    m_setupDone = std::make_unique<ManualResetEvent>(true);
    m_initialised = true;
}

void CAudioEngine::StartReceive() {
    if (!m_initialised || m_stopped)
        return;
    m_stopSending = 0;
    m_stopReceiving = 0;
    if (m_frameCodec) {
        StartThread(m_playoutThread, &CAudioEngine::FramePlayoutThread);
        StartThread(m_receiveThread, &CAudioEngine::FrameReceiveThread);
    } else {
        StartThread(m_playoutThread, &CAudioEngine::PlayoutThread);
        StartThread(m_receiveThread, &CAudioEngine::ReceiveThread);
    }
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
    m_recorder.Start(stem);
    m_recording.store(true, std::memory_order_release);
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
    // Now, while the codec's counts are still this call's: the next call's
    // engine may reset the process's codec before the stop is over.
    engine->ReportLspWarnings();
    std::shared_ptr<CAudioEngine> retired(std::move(engine));
    kestrona::BackgroundWork::Process().Run([retired] { retired->Stop(); });
}

void CAudioEngine::ReportLspWarnings() {
    if (!m_initialised || m_lspReported)
        return;
    m_lspReported = true;
    const kestrona::codec::LspWarnings sent = m_codec->EncoderLspWarnings();
    const kestrona::codec::LspWarnings heard = m_codec->DecoderLspWarnings();
    if (sent.low + sent.high + heard.low + heard.high > 0)
        std::fprintf(stderr,
                     "kestrona: LSP stability warnings in this call: sent speech %u low, %u "
                     "high; received speech %u low, %u high\n",
                     sent.low, sent.high, heard.low, heard.high);
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
    ReportLspWarnings();

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
