// The per-call media engine: two TCP audio streams (one per direction), the
// capture/encode/send path, the receive/decode/playout path and the call's
// recording files. The phone window creates one per call:
//
//   answering side: Init, BeginListen(aiPort, aoPort); on kMsgEngineSetup
//                   code 0 announce PortIn()/PortOut(); on answer
//                   StartReceive then StartSend (answering machine:
//                   Record(stem) and StartReceive only)
//   calling side:   Init, BeginConnect(peer, its port in, its port out); on
//                   answer StartReceive then StartSend
//   either side:    Stop, then destroy
//
// The set-up (binding, proxy exchanges, connects) runs on the engine's own
// set-up thread with time-outs, never on the caller's. Messages go to the
// owner from engine threads (see engine_owner.h). Stop cancels a set-up in
// progress and joins every thread the engine started, so the engine can be
// destroyed as soon as Stop returns.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/call_quality.h"
#include "media/call_recorder.h"
#include "media/delay_bound.h"
#include "media/echo_canceller.h"
#include "media/engine_owner.h"
#include "media/frame_codec.h"
#include "media/manual_reset_event.h"
#include "media/playout_buffer.h"
#include "media/speech_codec.h"
#include "platform/audio_backend.h"
#include "platform/call_crypto.h"
#include "platform/proxy_tunnel.h"
#include "platform/wave_device.h"
#include "settings/settings_model.h"

class CAudioEngine {
  public:
    static constexpr int kRingSize = 4;
    static constexpr int kMaxSendChunk = 500;
    // How long a send or receive thread waits for the peer to connect its
    // stream on the answering side before it reports the stream broken.
    static constexpr int kAcceptWaitMs = 5000;
    // Default bound of each connect and proxy exchange of the set-up.
    static constexpr int kSetupTimeoutMs = 10000;
    // The rates a call runs at, and the block durations the options page
    // offers. Init takes nothing else: the rate comes from the peer.
    static constexpr std::array<int, 5> kCallRates = {8000, 12000, 16000, 22050, 24000};
    static constexpr int kMinDelayMs = kestrona::kMinDelayBufferMs;
    static constexpr int kMaxDelayMs = kestrona::kMaxDelayBufferMs;
    static bool IsCallRate(int sampleRate);

    CAudioEngine();
    // Stops the engine if that has not been done.
    virtual ~CAudioEngine();
    CAudioEngine(const CAudioEngine&) = delete;
    CAudioEngine& operator=(const CAudioEngine&) = delete;

    // Optional, before Init: the devices and the codec this engine uses.
    // Default: the process's backend (KESTRONA_AUDIO) and the process-wide codec.
    void SetAudioBackend(std::shared_ptr<kestrona::AudioBackend> backend);
    void SetCodec(std::shared_ptr<kestrona::SpeechCodec> codec);
    // Optional, before Listen: the proxy's user name and password, offered to a
    // SOCKS5 proxy that asks for them.
    void SetProxyCredentials(std::string user, std::string password);
    // Optional: the directory under which "record/" is looked for (default:
    // the current directory).
    void SetRecordRoot(std::filesystem::path root);
    // Optional, before Init: echo control on the capture path. Automatic
    // means on with real devices and off with the file and null backends.
    enum class EchoControl { kAuto, kOn, kOff };
    void SetEchoControl(EchoControl mode);
    // Optional, before Init: the devices the call uses (ids as the backend
    // lists them; "" is the system default). Init hands them to the backend.
    void SetDevices(std::string input, std::string output);
    // Optional, before Init: blocks of this many milliseconds (kMinFrameMs
    // up to kMinDelayMs) in place of the delay-buffer setting's, for a call
    // between two phones that both agreed to short frames; 0 (the default)
    // keeps the setting's. The peer must send blocks of the same length.
    static constexpr int kMinFrameMs = 20;
    void SetFrameMs(int ms) { m_frameMs = ms; }
    // Optional, before Init: the call's speech goes in frames of this codec
    // (at the call's rate, or Init refuses the call), each as a record of its
    // length and bytes (frame_records.h) sent the moment it is coded, with
    // TCP_NODELAY. The receiver plays through an adaptive playout buffer
    // whose largest delay is Init's delay, conceals what is missing and
    // reports the call's quality. Without it the call goes in fixed blocks of
    // G.729 of the delay's length (or SetFrameMs's), as phones always did.
    void SetFrameCodec(std::unique_ptr<kestrona::FrameCodec> codec);
    bool InFrames() const { return m_frameCodec != nullptr; }
    // Optional, before StartSend and StartReceive: the call is encrypted.
    // Each stream then begins with its sender's stream header, and every
    // coded block travels sealed (StreamSealer::kOverhead bytes more); a
    // block that fails its check ends the stream as broken, never as sound.
    void SetStreamKeys(const kestrona::SecretKey32& sendKey,
                       const kestrona::SecretKey32& receiveKey);
    bool Encrypted() const { return m_sendKey.has_value(); }
    // After Init: whether the capture path cancels echo in this call.
    bool EchoControlActive() const { return m_echo != nullptr; }

    // What the delay bound has discarded so far in this call.
    struct DelayStats {
        int64_t playoutSamplesDropped = 0;
        int64_t captureBlocksDropped = 0;
    };
    DelayStats Stats() const;

    // A call in frames: what the listener met so far and over the last few
    // seconds. Any thread; refreshed once a second while the call plays.
    struct Quality {
        kestrona::CallQuality rating = kestrona::CallQuality::kUnknown;
        int64_t played = 0;
        int64_t concealed = 0;    // turns with nothing to play, FEC recoveries included
        int64_t recovered = 0;    // of those, rebuilt from the next frame's redundancy
        int64_t late = 0;         // frames that came after their turn
        int64_t dropped = 0;      // frames dropped to keep within the largest delay
        int missingPermille = 0;  // of the turns in the last seconds
        int delayMs = 0;          // the playout buffer's delay now
    };
    Quality QualityNow() const;

    // Optional, before the set-up: the bound of each of its connects and
    // proxy exchanges.
    void SetSetupTimeoutMs(int ms) { m_setupTimeoutMs = ms; }

    // A rate other than kCallRates is refused: the devices' format codes (2
    // and 4) are posted, nothing is allocated for it, and a later set-up
    // fails at once with kSetupBadParameters. The delay is clamped to
    // kMinDelayMs..kMaxDelayMs.
    void Init(kestrona::IEngineOwner* owner, int sampleRate, int delayMs, bool direct,
              const std::string& proxyAddress, int httpProxyPort, int socksProxyPort);
    // Both return at once; the set-up thread opens the streams and posts
    // kMsgEngineSetup with 0 (PortIn/PortOut valid) or a SetupFailure. A
    // second set-up on the same engine is ignored.
    void BeginListen(int portIn, int portOut);
    void BeginConnect(const std::string& host, int peerPortIn, int peerPortOut);
    // The same on the caller's thread, blocking until the set-up is over.
    bool Listen(int portIn, int portOut);
    bool Connect(const std::string& host, int peerPortIn, int peerPortOut);
    // The ports to announce: the bound ports after a successful listening
    // set-up; 0 for a port not reached, -1 after a proxy's refusal.
    int PortIn() const { return m_portIn.load(); }
    int PortOut() const { return m_portOut.load(); }
    void StartReceive();
    void StartSend();
    void Stop();
    // Stop without waiting: from the moment it returns the owner hears
    // nothing more from the engine and every thread is told to end; the
    // joins and the close of the devices go on in the background, where the
    // engine is then destroyed.
    static void Retire(std::unique_ptr<CAudioEngine> engine);

    // Safe at any time from any thread; each counts from the next block.
    // Muted, the far side hears silence in the stream's own time (nothing is
    // left out, so no delay builds up), and this side's recording holds the
    // same silence.
    void SetMuted(bool muted) { m_muted.store(muted, std::memory_order_relaxed); }
    bool Muted() const { return m_muted.load(std::memory_order_relaxed); }
    // Percent of the amplitude of what is sent and of what is played
    // (0 to kestrona::kMaxLevelPercent); the recording of the far side keeps
    // what it sent.
    void SetLevels(int microphone, int loudspeaker);

    // Switches recording on for the rest of the call under the given name
    // stem. Safe while the threads run; a later stem replaces the earlier.
    void Record(const std::string& stem);

    // Block size in bytes of PCM for a rate and a delay in milliseconds: a
    // whole, even number of 80-sample frames.
    static int BlockBytesFor(int sampleRate, int delayMs);

    // Codes one block: false unless byteCount is m_blockBytes.
    bool EncodeBlock(const uint8_t* pcm, int byteCount, uint8_t* coded, int& codedLength);
    // Decodes one block: false unless byteCount is m_blockBytes / 16.
    bool DecodeBlock(const uint8_t* coded, int byteCount, uint8_t* pcm, int& pcmLength);

    // Fields, in the order the call code knows them.
    int m_listenIn = -1;
    int m_listenOut = -1;
    std::atomic<int> m_sockIn{-1};
    std::atomic<int> m_sockOut{-1};
    std::atomic<int> m_portIn{0};
    std::atomic<int> m_portOut{0};
    int m_blockBytes = 0;
    std::atomic<bool> m_recording{false};
    bool m_direct = true;
    std::string m_proxyAddress;
    int m_httpProxyPort = 0;
    int m_socksProxyPort = 0;
    kestrona::IEngineOwner* m_owner = nullptr;  // guarded by m_ownerMutex
    std::unique_ptr<kestrona::WaveInDevice> m_waveIn;
    std::unique_ptr<kestrona::WaveOutDevice> m_waveOut;
    std::atomic<int> m_stopSending{0};
    std::atomic<int> m_stopReceiving{0};

    // The rate Init was given (Hz).
    int SampleRate() const { return m_format.samplesPerSec; }

  private:
    struct RingSlot {
        std::vector<uint8_t> buffer;
        kestrona::WaveHeader header;
    };

    void CaptureThread();
    void SendThread();
    void PlayoutThread();
    void ReceiveThread();
    // The same two for a call in frames (frame_pipeline.cpp).
    void FramePlayoutThread();
    void FrameReceiveThread();
    // The receiving stream's opening: the proxy's announcement of the peer
    // and, on an encrypted call, the sender's stream header (opener is then
    // started). False when the stream broke (reported) or the engine stops.
    bool OpenReceiveStream(int sock, std::optional<kestrona::StreamOpener>& opener);
    // Reads the stream: first what came glued behind the proxy's answer.
    ssize_t ReceiveSome(int sock, uint8_t* data, size_t n);
    // The device for playout, opened on the calling thread, or null
    // (reported to the owner).
    kestrona::WaveOutDevice* OpenPlayout();
    // Hands playout buffer i, filled, to the device; a buffer the device
    // refuses is free again at once.
    void QueuePlayout(kestrona::WaveOutDevice* dev, int i);
    void AcceptThread(int* listenSocket, std::atomic<int>* stream,
                      kestrona::ManualResetEvent* accepted);
    int AwaitStream(const std::atomic<int>& stream,
                    const std::unique_ptr<kestrona::ManualResetEvent>& accepted);
    void StartThread(std::thread& t, void (CAudioEngine::*body)());

    int SetupListen(int portIn, int portOut);
    int SetupConnect(const std::string& host, int peerPortIn, int peerPortOut);
    int SocksBind(std::atomic<int>& stream, int port,
                  std::optional<kestrona::ProxyHandshake>& bind);
    int HttpTunnel(std::atomic<int>& stream, const std::string& host, int port,
                   std::string* leftover);
    bool BeginSetup(bool report);
    // The part of Stop that never waits: stop flags, cancellation, sockets.
    void BeginStop();
    // No message reaches the owner any more.
    void Detach();
    // The codec's LSP warning counts of this call, once, on standard error.
    void ReportLspWarnings();
    void RunSetup(std::function<int()> work);
    bool SetupReady();
    int StoreStream(std::atomic<int>& stream, int fd);
    void Post(int msg, int code);
    void ReportConnectionLost(const std::atomic<int>& stopFlag);
    void Alert(const char* text);
    void SoundLost(kestrona::WaveDeviceEvent event, int code);

    // Position on the engine's clock: samples at the call's rate since Init.
    int64_t ClockNow() const;
    int SamplesIn(std::chrono::microseconds t) const;
    void PreparePipeline(int sampleRate);
    void CaptureDone(kestrona::WaveHeader& h);
    void PlayoutDone(kestrona::WaveHeader& h);
    // True when captured block i is too old to be worth sending.
    bool CaptureIsStale(int i, int64_t now);

    std::shared_ptr<kestrona::AudioBackend> m_backend;
    std::shared_ptr<kestrona::SpeechCodec> m_codec;
    kestrona::CallRecorder m_recorder;
    int m_setupTimeoutMs = kSetupTimeoutMs;
    int m_frameMs = 0;
    std::string m_proxyUser;
    std::string m_proxyPassword;
    std::optional<kestrona::SecretKey32> m_sendKey;
    std::optional<kestrona::SecretKey32> m_receiveKey;

    kestrona::WaveFormat m_format;
    // A call in frames: the codec, and the playout buffer the receive thread
    // fills and the playout thread drains (both under m_playoutMutex).
    std::unique_ptr<kestrona::FrameCodec> m_frameCodec;
    std::unique_ptr<kestrona::CPlayoutBuffer> m_playoutBuffer;
    std::mutex m_playoutMutex;
    kestrona::CCallQualityMeter m_qualityMeter;  // playout thread only
    std::vector<uint8_t> m_turnFrame;            // playout thread's copy of a turn's frame
    int m_delayMs = 0;
    std::atomic<int> m_qualityRating{0};
    std::atomic<int> m_qualityMissing{0};
    std::atomic<int> m_qualityDelayMs{0};
    std::array<std::atomic<int64_t>, 5> m_qualityCounts{};
    std::chrono::steady_clock::time_point m_clockOrigin;
    EchoControl m_echoMode = EchoControl::kAuto;
    std::optional<std::pair<std::string, std::string>> m_devices;
    // Receive thread: the bound on queued playout and the block just decoded.
    std::unique_ptr<kestrona::PlayoutDelayBound> m_delayBound;
    std::vector<int16_t> m_decoded;
    // Echo control (null when off): the receive thread records what plays,
    // the send thread cancels it from each captured block.
    std::unique_ptr<kestrona::FarEndHistory> m_farEnd;
    std::unique_ptr<kestrona::EchoCanceller> m_echo;
    std::vector<int16_t> m_farBlock;
    // Playout buffers the device holds; when each capture buffer came back.
    std::atomic<int> m_playoutHeld{0};
    std::array<std::atomic<int64_t>, kRingSize> m_captureDoneAt{};
    std::atomic<int64_t> m_playoutDropped{0};
    std::atomic<int64_t> m_captureDropped{0};
    std::atomic<bool> m_muted{false};
    std::atomic<int> m_micLevel{100};
    std::atomic<int> m_speakerLevel{100};
    std::array<RingSlot, kRingSize> m_capture;
    std::array<RingSlot, kRingSize> m_playout;
    // Per position: capture-free, capture-filled, playout-filled, playout-free.
    std::array<std::unique_ptr<kestrona::ManualResetEvent>, kRingSize> m_captureFree;
    std::array<std::unique_ptr<kestrona::ManualResetEvent>, kRingSize> m_captureFilled;
    std::array<std::unique_ptr<kestrona::ManualResetEvent>, kRingSize> m_playoutFilled;
    std::array<std::unique_ptr<kestrona::ManualResetEvent>, kRingSize> m_playoutFree;

    // How the receiving stream was opened, so the receive thread knows what
    // the proxy puts ahead of the first frame.
    // Through a SOCKS5 proxy the receiving stream still owes the reply that
    // announces the peer; behind either proxy's answer the peer's first
    // bytes may already have arrived.
    std::optional<kestrona::ProxyHandshake> m_inBind;
    // The sending stream owes that reply too, and nothing may be sent on it
    // before: the proxy would take the bytes for a request and drop the
    // port the peer is about to connect to.
    std::optional<kestrona::ProxyHandshake> m_outBind;
    std::string m_inLeftover;
    size_t m_inLeftoverUsed = 0;

    // The set-up thread, cancelled and joined by Stop. The stream threads
    // wait for m_setupDone before they look at the sockets.
    std::thread m_setupThread;
    std::unique_ptr<kestrona::ManualResetEvent> m_setupDone;
    kestrona::CancelToken m_cancel;
    bool m_setupBegun = false;

    // Every thread is joined by Stop.
    // Set when the accept thread of each stream has ended (connected or not).
    std::unique_ptr<kestrona::ManualResetEvent> m_acceptedIn;
    std::unique_ptr<kestrona::ManualResetEvent> m_acceptedOut;
    std::thread m_acceptInThread;
    std::thread m_acceptOutThread;
    std::thread m_playoutThread;
    std::thread m_captureThread;
    std::thread m_sendThread;
    std::thread m_receiveThread;
    // Guards the listening sockets against the accept threads while Stop
    // shuts everything down.
    std::mutex m_socketMutex;
    bool m_closing = false;
    std::atomic<bool> m_lostReported{false};
    std::atomic<bool> m_soundLostReported{false};
    bool m_initialised = false;
    bool m_refused = false;  // Init was given a rate no call runs at
    std::atomic<bool> m_stopBegun{false};
    bool m_lspReported = false;
    bool m_stopped = false;
    std::mutex m_ownerMutex;
};
