// The engine against raw peers and scripted proxies, with a codec whose
// frames can be traced: device failure codes, listening, the stream format in
// both directions, broken streams, Stop, and the recording files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "call_rig.h"
#include "media/audio_engine.h"
#include "media/stream_io.h"
#include "media_test_util.h"
#include "platform/audio_backend_file.h"
#include "platform/background_work.h"
#include "support/hung_lookup.h"
#include "support/proxy_fixtures.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

constexpr int kRate = 8000;
constexpr int kDelay = 250;                 // 1920 samples, 24 frames, 240 coded bytes
constexpr int kFramesPerBlock = 1920 / 80;  // 24
constexpr int kCodedBlock = kFramesPerBlock * 10;
constexpr const char* kStem = "20030517091503";

int ConnectLoopback(int port) {
    int fd = NewTcpSocket();
    if (!ConnectTcp(fd, "127.0.0.1", port)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// --- Devices -------------------------------------------------------------------

TEST(EngineDevices, MachineWithoutSoundReportsCodes1And3ThenOpenFailures) {
    RecordingOwner owner;
    const int threadsBefore = ThreadCount();
    {
        CAudioEngine engine;
        engine.SetAudioBackend(MakeNullAudioBackend());
        engine.SetCodec(std::make_shared<MarkerCodec>());
        engine.Init(&owner, kRate, kDelay, true, "", 0, 0);
        EXPECT_EQ(owner.Messages(),
                  (std::vector<std::pair<int, int>>{{kMsgEngineFailure, kNoWaveIn},
                                                    {kMsgEngineFailure, kNoWaveOut}}));
        engine.StartReceive();
        engine.StartSend();
        ASSERT_TRUE(owner.WaitFor(kMsgEngineFailure, 4));
        engine.Stop();
        auto msgs = owner.Messages();
        EXPECT_NE(std::find(msgs.begin(), msgs.end(), std::pair{kMsgEngineFailure, 6}), msgs.end());
        EXPECT_NE(std::find(msgs.begin(), msgs.end(), std::pair{kMsgEngineFailure, 7}), msgs.end());
        auto alerts = owner.Alerts();
        EXPECT_NE(std::find(alerts.begin(), alerts.end(), "Wave In Device Open Failed"),
                  alerts.end());
        EXPECT_NE(std::find(alerts.begin(), alerts.end(), "Wave Out Device Open Failed"),
                  alerts.end());
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST(EngineDevices, FormatRefusalGivesCodes2And4AndAWorkingMachineNothing) {
    RecordingOwner refused, fine;
    CAudioEngine a, b;
    for (auto* e : {&a, &b}) {
        e->SetAudioBackend(MakeFileAudioBackend("", ""));
        e->SetCodec(std::make_shared<MarkerCodec>());
    }
    a.Init(&refused, 4000, kDelay, true, "", 0, 0);  // below what a device takes
    EXPECT_EQ(refused.Messages(),
              (std::vector<std::pair<int, int>>{{kMsgEngineFailure, kWaveInFormat},
                                                {kMsgEngineFailure, kWaveOutFormat}}));
    b.Init(&fine, 24000, 5000, true, "", 0, 0);
    EXPECT_TRUE(fine.Messages().empty());
    EXPECT_EQ(b.m_blockBytes, 240000);
}

// A rate or a delay from the peer sizes nothing unchecked: a rate no call
// runs at is refused (the devices' format codes, then a set-up that fails at
// once) and a delay outside the options page's range is clamped into it.
TEST(EngineDevices, PeerRatesAndDelaysOutsideTheirRangesSizeNothing) {
    for (int rate : {1000000000, 2147483647, 4000, 0, -8000}) {
        RecordingOwner owner;
        CAudioEngine engine;
        engine.SetAudioBackend(MakeFileAudioBackend("", ""));
        engine.SetCodec(std::make_shared<MarkerCodec>());
        engine.SetEchoControl(CAudioEngine::EchoControl::kOn);
        engine.Init(&owner, rate, 5000, true, "", 0, 0);
        EXPECT_EQ(engine.m_blockBytes, 0) << rate;
        EXPECT_FALSE(engine.EchoControlActive());
        engine.BeginListen(0, 0);
        engine.StartReceive();
        engine.StartSend();
        EXPECT_EQ(owner.Messages(),
                  (std::vector<std::pair<int, int>>{{kMsgEngineFailure, kWaveInFormat},
                                                    {kMsgEngineFailure, kWaveOutFormat},
                                                    {kMsgEngineSetup, kSetupBadParameters}}))
            << rate;
        EXPECT_FALSE(engine.Listen(0, 0));
    }
    for (auto [delay, bytes] : {std::pair{-1, 3840}, {0, 3840}, {2147483647, 240000}}) {
        RecordingOwner owner;
        CAudioEngine engine;
        engine.SetAudioBackend(MakeFileAudioBackend("", ""));
        engine.SetCodec(std::make_shared<MarkerCodec>());
        engine.SetEchoControl(CAudioEngine::EchoControl::kOn);
        engine.Init(&owner, delay > 0 ? 24000 : kRate, delay, true, "", 0, 0);
        EXPECT_EQ(engine.m_blockBytes, bytes) << delay;
        EXPECT_TRUE(owner.Messages().empty());
    }
}

// --- Listening -----------------------------------------------------------------

TEST(EngineListen, SystemChosenPortsAreAnnouncedAndATakenFixedPortFails) {
    test::TempDir dir;
    RecordingOwner owner;
    CAudioEngine first;
    first.SetAudioBackend(MakeNullAudioBackend());
    first.Init(&owner, kRate, kDelay, true, "", 0, 0);
    ASSERT_EQ(ListenAndWait(first, owner, 0, 0), kSetupOk);
    EXPECT_GT(first.PortIn(), 0);
    EXPECT_GT(first.PortOut(), 0);
    EXPECT_NE(first.PortIn(), first.PortOut());

    CAudioEngine second;
    second.SetAudioBackend(MakeNullAudioBackend());
    second.Init(&owner, kRate, kDelay, true, "", 0, 0);
    EXPECT_EQ(ListenAndWait(second, owner, first.PortIn(), 0), kSetupListenFailed);  // in use
    second.Stop();

    // A fixed port that is free again (after Stop) can be listened on at once.
    const int fixedIn = first.PortIn();
    first.Stop();
    CAudioEngine third;
    third.SetAudioBackend(MakeNullAudioBackend());
    third.Init(&owner, kRate, kDelay, true, "", 0, 0);
    EXPECT_EQ(ListenAndWait(third, owner, fixedIn, 0), kSetupOk);
    EXPECT_EQ(third.PortIn(), fixedIn);
}

TEST(EngineListen, StopWithNobodyConnectedEndsEveryThread) {
    const int threadsBefore = ThreadCount();
    RecordingOwner owner;
    {
        test::TempDir dir;
        CAudioEngine engine;
        engine.SetAudioBackend(MakeFileAudioBackend("", (dir.Path() / "spk.wav").string()));
        engine.SetCodec(std::make_shared<MarkerCodec>());
        engine.Init(&owner, kRate, kDelay, true, "", 0, 0);
        ASSERT_EQ(ListenAndWait(engine, owner, 0, 0), kSetupOk);
        engine.Stop();  // accept threads still waiting
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(owner.Messages(), (std::vector<std::pair<int, int>>{{kMsgEngineSetup, kSetupOk}}));
}

TEST(EngineListen, ThreadsStartedJustBeforeThePeerConnectsStillCarryTheCall) {
    test::TempDir dir;
    RecordingOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(MakeFileAudioBackend("", (dir.Path() / "spk.wav").string()));
    engine.SetCodec(std::make_shared<MarkerCodec>());
    engine.Init(&owner, kRate, kDelay, true, "", 0, 0);
    ASSERT_EQ(ListenAndWait(engine, owner, 0, 0), kSetupOk);
    // Answered (or auto-answered) the moment the ports went out.
    engine.StartReceive();
    engine.StartSend();
    int fromEngine = ConnectLoopback(engine.PortOut());
    int toEngine = ConnectLoopback(engine.PortIn());
    std::vector<uint8_t> block(kCodedBlock);
    std::atomic<int> noStop{0};
    EXPECT_EQ(ReadFully(block.data(), kCodedBlock, noStop,
                        [&](uint8_t* d, size_t n) { return RecvSome(fromEngine, d, n); }),
              ReadResult::kComplete);
    EXPECT_EQ(owner.Count(kMsgConnectionLost), 0);
    engine.Stop();
    ::close(fromEngine);
    ::close(toEngine);
}

TEST(EngineListen, APeerThatNeverConnectsIsReportedOnceAsALostConnection) {
    const int threadsBefore = ThreadCount();
    RecordingOwner owner;
    {
        test::TempDir dir;
        CAudioEngine engine;
        engine.SetAudioBackend(MakeFileAudioBackend("", (dir.Path() / "spk.wav").string()));
        engine.SetCodec(std::make_shared<MarkerCodec>());
        engine.Init(&owner, kRate, kDelay, true, "", 0, 0);
        ASSERT_EQ(ListenAndWait(engine, owner, 0, 0), kSetupOk);
        engine.StartReceive();
        engine.StartSend();
        ASSERT_TRUE(owner.WaitFor(kMsgConnectionLost, 1));
        engine.Stop();
        EXPECT_EQ(owner.Count(kMsgConnectionLost), 1);
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

// --- Streams against a raw peer -------------------------------------------------

struct RawPeerCall {
    test::TempDir dir;
    RecordingOwner owner;
    std::shared_ptr<MarkerCodec> codec = std::make_shared<MarkerCodec>();
    std::unique_ptr<CAudioEngine> engine = std::make_unique<CAudioEngine>();
    fs::path speaker = dir.Path() / "spk.wav";
    int fromEngine = -1;  // the peer reads the engine's sending stream here
    int toEngine = -1;    // and writes the engine's receiving stream here

    explicit RawPeerCall(int micFrames) {
        fs::path mic = dir.Path() / "mic.raw";
        EXPECT_TRUE(WriteRaw(mic, Staircase(micFrames)));
        engine->SetAudioBackend(MakeFileAudioBackend(mic.string(), speaker.string()));
        engine->SetCodec(codec);
        engine->SetRecordRoot(dir.Path());
        engine->Init(&owner, kRate, kDelay, true, "", 0, 0);
        EXPECT_EQ(ListenAndWait(*engine, owner, 0, 0), kSetupOk);
        fromEngine = ConnectLoopback(engine->PortOut());
        toEngine = ConnectLoopback(engine->PortIn());
        EXPECT_TRUE(WaitUntil(
            [&] { return engine->m_sockIn.load() >= 0 && engine->m_sockOut.load() >= 0; }));
    }
    ~RawPeerCall() {
        engine.reset();
        if (fromEngine >= 0)
            ::close(fromEngine);
        if (toEngine >= 0)
            ::close(toEngine);
    }
};

TEST(EngineStreams, SendingStreamIsBareConcatenatedFramesInCaptureOrder) {
    RawPeerCall call(3 * kFramesPerBlock);
    call.engine->StartSend();
    // Three blocks, read in one piece: no header, length or gap anywhere.
    std::vector<uint8_t> got(3 * kCodedBlock);
    std::atomic<int> noStop{0};
    ASSERT_EQ(ReadFully(got.data(), int(got.size()), noStop,
                        [&](uint8_t* d, size_t n) { return RecvSome(call.fromEngine, d, n); }),
              ReadResult::kComplete);
    call.engine->Stop();
    for (int k = 0; k < 3 * kFramesPerBlock; ++k) {
        const uint8_t* f = got.data() + 10 * k;
        uint32_t counter = f[2] | f[3] << 8 | f[4] << 16 | uint32_t(f[5]) << 24;
        int16_t value = int16_t(f[0] | f[1] << 8);
        ASSERT_EQ(counter, uint32_t(k)) << "frame " << k;
        // Capture starts with microphone sample 0 (no audio lost while the
        // device had buffers).
        ASSERT_EQ(value, k + 1) << "frame " << k;
    }
    EXPECT_EQ(call.owner.Count(kMsgConnectionLost), 0);
}

TEST(EngineStreams, ReceivedBlocksAreAssembledFromDribbledSegmentsAndPlayedInOrder) {
    RawPeerCall call(0);
    call.engine->StartReceive();
    // Three and a half blocks, in segments of 1 to 37 bytes.
    std::vector<uint8_t> stream;
    const int frames = 3 * kFramesPerBlock + kFramesPerBlock / 2;
    for (int k = 0; k < frames; ++k) {
        uint8_t f[10];
        MarkerCodec::MakeFrame(uint32_t(k), int16_t(1000 + k), f);
        stream.insert(stream.end(), f, f + 10);
    }
    // A real peer sends a block per block period; a burst would be a
    // backlog, which the loudspeaker does not wait for.
    const auto start = std::chrono::steady_clock::now();
    for (size_t pos = 0, len = 1; pos < stream.size(); pos += len, len = len % 37 + 1) {
        len = std::min(len, stream.size() - pos);
        const size_t block = pos / kCodedBlock;
        if ((pos + len - 1) / kCodedBlock != block || pos % kCodedBlock == 0)
            std::this_thread::sleep_until(start + std::chrono::milliseconds(kDelay) * block);
        ASSERT_EQ(SendSome(call.toEngine, stream.data() + pos, len), ssize_t(len));
        if (pos % 97 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Three whole blocks reach the loudspeaker.
    ASSERT_TRUE(WaitUntil([&] {
        auto heard = ReadSpeaker(call.speaker);
        return std::count(heard.begin(), heard.end(), int16_t(1000 + 3 * kFramesPerBlock - 1)) ==
               80;
    }));
    // The peer hangs up its sending side mid-block.
    ::shutdown(call.toEngine, SHUT_WR);
    ASSERT_TRUE(call.owner.WaitFor(kMsgConnectionLost, 1));
    call.engine->Stop();

    // Exactly the whole blocks were decoded, in order; the half block never was.
    const auto& decoded = call.codec->DecodedFrames();
    ASSERT_EQ(decoded.size(), size_t(3 * kFramesPerBlock));
    for (size_t k = 0; k < decoded.size(); ++k) {
        EXPECT_EQ(decoded[k].counter, k);
        EXPECT_TRUE(decoded[k].intact);
    }
    // The loudspeaker played them in order (with silence wherever the
    // dribbling peer left the device without a block).
    auto heard = ReadSpeaker(call.speaker);
    heard.erase(std::remove(heard.begin(), heard.end(), 0), heard.end());
    ASSERT_EQ(heard.size(), size_t(3 * 1920));
    for (int i = 0; i < 3 * 1920; ++i) ASSERT_EQ(heard[size_t(i)], 1000 + i / 80) << i;
    EXPECT_EQ(call.owner.Count(kMsgConnectionLost), 1);
}

TEST(EngineStreams, PeerClosingBothStreamsIsReportedOnceAndStopLeavesNothingRunning) {
    const int threadsBefore = ThreadCount();
    {
        RawPeerCall call(1000);
        call.engine->StartReceive();
        call.engine->StartSend();
        std::vector<uint8_t> block(kCodedBlock);
        std::atomic<int> noStop{0};
        ASSERT_EQ(ReadFully(block.data(), kCodedBlock, noStop,
                            [&](uint8_t* d, size_t n) { return RecvSome(call.fromEngine, d, n); }),
                  ReadResult::kComplete);
        ::close(call.fromEngine);
        ::close(call.toEngine);
        call.fromEngine = call.toEngine = -1;
        ASSERT_TRUE(call.owner.WaitFor(kMsgConnectionLost, 1));
        // Give the other direction the time to notice too: it must stay quiet.
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        call.engine->Stop();
        EXPECT_EQ(call.owner.Count(kMsgConnectionLost), 1);
        call.engine.reset();  // destroyed right after Stop: nothing may touch it
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST(EngineStreams, StopDuringATalkingCallIsSilentAndJoinsEverything) {
    const int threadsBefore = ThreadCount();
    {
        test::TempDir dir;
        Side a(dir.Path(), "a", std::make_shared<MarkerCodec>());
        Side b(dir.Path(), "b", std::make_shared<MarkerCodec>());
        ASSERT_TRUE(WriteRaw(a.mic, Staircase(200)));
        ASSERT_TRUE(WriteRaw(b.mic, Staircase(200)));
        ConnectCall(a, b, kRate, kDelay);
        StartTalking(a, b);
        ASSERT_TRUE(
            WaitUntil([&] { return SpeakerSamples(a) > 1920 && SpeakerSamples(b) > 1920; }));
        a.engine->Stop();
        a.engine.reset();
        // b may well see a's streams end before its own Stop; a must not
        // report the streams that its own Stop closed.
        b.engine->Stop();
        b.engine.reset();
        EXPECT_EQ(a.owner.Count(kMsgConnectionLost), 0);
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

// --- SOCKS5 BIND against a scripted proxy ----------------------------------------

TEST(EngineSocks, MethodZeroBindsWithoutCredentialsAndAnnouncesTheBoundPorts) {
    test::ScriptedSocks5Proxy proxy;
    test::ScriptedSocks5Proxy::Script script;
    script.bindPort = 40123;
    ASSERT_TRUE(proxy.Start(script));
    RecordingOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(MakeNullAudioBackend());
    engine.SetProxyCredentials("user", "secret");
    engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", 0, proxy.Port());
    ASSERT_EQ(ListenAndWait(engine, owner, 0, 0), kSetupOk);
    EXPECT_EQ(engine.PortIn(), 40123);
    EXPECT_EQ(engine.PortOut(), 40123);
    engine.Stop();
    auto sessions = proxy.Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    for (auto& s : sessions) {
        EXPECT_EQ(s.greeting, (std::vector<uint8_t>{5, 2, 0, 2}));
        EXPECT_TRUE(s.auth.empty());
        EXPECT_EQ(s.bind, (std::vector<uint8_t>{5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    }
}

TEST(EngineSocks, MethodTwoSendsUserAndPasswordAndFixedPortsAreRequested) {
    test::ScriptedSocks5Proxy proxy;
    test::ScriptedSocks5Proxy::Script script;
    script.method = 2;
    ASSERT_TRUE(proxy.Start(script));
    RecordingOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(MakeNullAudioBackend());
    engine.SetProxyCredentials("user", "secret");
    engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", 0, proxy.Port());
    ASSERT_EQ(ListenAndWait(engine, owner, 5004, 5005), kSetupOk);
    engine.Stop();
    auto sessions = proxy.Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    std::vector<uint8_t> auth = {1, 4, 'u', 's', 'e', 'r', 6, 's', 'e', 'c', 'r', 'e', 't'};
    EXPECT_EQ(sessions[0].auth, auth);
    EXPECT_EQ(sessions[0].bind, (std::vector<uint8_t>{5, 2, 0, 1, 0, 0, 0, 0, 0x13, 0x8c}));
    EXPECT_EQ(sessions[1].bind, (std::vector<uint8_t>{5, 2, 0, 1, 0, 0, 0, 0, 0x13, 0x8d}));
}

// A sender answered at once, before the caller reached the port bound for it,
// holds every byte (here an encrypted stream's header, which goes out first)
// until the proxy's second reply: the proxy would take earlier bytes for a
// request and drop the bound port.
TEST(EngineSocks, NothingIsSentOnABoundStreamBeforeThePeerArrives) {
    test::ScriptedSocks5Proxy proxy;
    test::ScriptedSocks5Proxy::Script script;
    script.secondReplyAfterMs = 600;
    ASSERT_TRUE(proxy.Start(script));
    test::TempDir dir;
    RecordingOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(MakeFileAudioBackend("", (dir.Path() / "spk.wav").string()));
    engine.SetCodec(std::make_shared<MarkerCodec>());
    engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", 0, proxy.Port());
    SecretKey32 send{}, receive{};
    send.bytes.fill(1);
    receive.bytes.fill(2);
    engine.SetStreamKeys(send, receive);
    ASSERT_EQ(ListenAndWait(engine, owner, 0, 0), kSetupOk);
    engine.StartSend();
    ASSERT_TRUE(WaitUntil([&] {
        auto sessions = proxy.Sessions();
        return sessions.size() == 2 && sessions[1].afterBind.size() >= 24;
    }));
    engine.Stop();
    EXPECT_TRUE(proxy.Sessions()[1].beforePeer.empty());
    EXPECT_EQ(owner.Count(kMsgConnectionLost), 0);
}

// Every refusal is reported once, with a code that says who refused what.
TEST(EngineSocks, RefusalsAreReportedWithTheirCodeAndAnnounceMinusOne) {
    struct Case {
        const char* what;
        uint8_t method, authStatus, bindStatus;
        int code;
    } cases[] = {
        {"no acceptable method", 0xFF, 0, 0, kSetupProxyAuthFailed},
        {"wrong password", 2, 1, 0, kSetupProxyAuthFailed},
        {"bind refused", 0, 0, 1, kSetupProxyRefused},
    };
    for (const Case& c : cases) {
        test::ScriptedSocks5Proxy proxy;
        test::ScriptedSocks5Proxy::Script script;
        script.method = c.method;
        script.authStatus = c.authStatus;
        script.bindStatus = c.bindStatus;
        ASSERT_TRUE(proxy.Start(script));
        RecordingOwner owner;
        CAudioEngine engine;
        engine.SetAudioBackend(MakeNullAudioBackend());
        engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", 0, proxy.Port());
        EXPECT_EQ(ListenAndWait(engine, owner, 0, 0), c.code) << c.what;
        EXPECT_EQ(engine.PortIn(), -1) << c.what;
        engine.Stop();
        EXPECT_EQ(owner.Count(kMsgEngineSetup), 1) << c.what;
        EXPECT_EQ(owner.Count(kMsgEngineFailure), 2) << c.what;  // only the Init codes 1 and 3
    }
}

TEST(EngineSocks, UnreachableProxyFailsTheSetUpPostsCode5OnceAndAnnouncesPortZero) {
    const int deadPort = test::FreeLoopbackPort();
    RecordingOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(MakeFileAudioBackend("", ""));
    engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", 0, deadPort);
    EXPECT_EQ(ListenAndWait(engine, owner, 0, 0), kSetupProxyUnreachable);
    EXPECT_EQ(engine.PortIn(), 0);
    EXPECT_EQ(engine.PortOut(), 0);
    EXPECT_EQ(owner.Messages(),
              (std::vector<std::pair<int, int>>{{kMsgEngineFailure, kProxyUnreachable},
                                                {kMsgEngineSetup, kSetupProxyUnreachable}}));
}

// A proxy that takes the connection and never says a word: Stop cuts the
// set-up short (with a bound far beyond the test's own time limit) and
// nothing is reported for it.
TEST(EngineSetup, StopCancelsASetUpWaitingForASilentProxy) {
    const int threadsBefore = ThreadCount();
    for (bool listening : {true, false}) {
        test::SilentProxy proxy;
        RecordingOwner owner;
        {
            CAudioEngine engine;
            engine.SetAudioBackend(MakeNullAudioBackend());
            engine.SetSetupTimeoutMs(3600 * 1000);
            engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", proxy.Port(), proxy.Port());
            if (listening)
                engine.BeginListen(0, 0);
            else
                engine.BeginConnect("10.0.0.5", 2000, 2001);
            ASSERT_TRUE(WaitUntil([&] { return proxy.Accepted() >= 1; }));
            engine.Stop();
        }
        EXPECT_EQ(owner.Count(kMsgEngineSetup), 0);
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

// A proxy given by a name whose name server never answers: Stop ends the
// set-up while the look-up still hangs, and nothing is reported for it.
TEST(EngineSetup, StopDuringAHungProxyNameLookUpReturnsAtOnce) {
    for (bool listening : {true, false}) {
        test::HungLookup lookup;
        RecordingOwner owner;
        {
            CAudioEngine engine;
            engine.SetAudioBackend(MakeNullAudioBackend());
            engine.SetSetupTimeoutMs(3600 * 1000);
            engine.Init(&owner, kRate, kDelay, false, "proxy.invalid", 8080, 1080);
            if (listening)
                engine.BeginListen(0, 0);
            else
                engine.BeginConnect("10.0.0.5", 2000, 2001);
            ASSERT_TRUE(lookup.WaitEntered(1));
            engine.Stop();
            EXPECT_EQ(lookup.Left(), 0);
        }
        EXPECT_EQ(owner.Count(kMsgEngineSetup), 0);
    }
}

// A loudspeaker whose sound server stopped answering: Reset hangs until the
// test lets it go.
class HungSpeakerBackend : public AudioBackend {
  public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        bool resetEntered = false;
        bool destroyed = false;
    };
    class Speaker : public WaveOutDevice {
      public:
        Speaker(std::shared_ptr<State> state, WaveDoneCallback done)
            : m_state(std::move(state)), m_done(std::move(done)) {}
        ~Speaker() override {
            std::lock_guard lock(m_state->mutex);
            m_state->destroyed = true;
        }
        WaveResult Write(WaveHeader& h) override {
            std::lock_guard lock(m_mutex);
            m_held.push_back(&h);
            return WaveResult::kOk;
        }
        WaveResult Reset() override {
            {
                std::unique_lock lock(m_state->mutex);
                m_state->resetEntered = true;
                m_state->changed.notify_all();
                m_state->changed.wait(lock, [this] { return m_state->released; });
            }
            std::vector<WaveHeader*> held;
            {
                std::lock_guard lock(m_mutex);
                held.swap(m_held);
            }
            for (WaveHeader* h : held) m_done(*h);
            return WaveResult::kOk;
        }
        WaveResult Close() override { return WaveResult::kOk; }
        const WaveFormat& Format() const override { return m_format; }

      private:
        std::shared_ptr<State> m_state;
        WaveDoneCallback m_done;
        std::mutex m_mutex;
        std::vector<WaveHeader*> m_held;
        WaveFormat m_format;
    };

    int WaveInDeviceCount() override { return 0; }
    int WaveOutDeviceCount() override { return 1; }
    WaveResult QueryWaveIn(const WaveFormat&) override { return WaveResult::kNoDevice; }
    WaveResult QueryWaveOut(const WaveFormat&) override { return WaveResult::kOk; }
    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat&, WaveDoneCallback, WaveResult* r,
                                             std::string*) override {
        *r = WaveResult::kNoDevice;
        return nullptr;
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat&, WaveDoneCallback done,
                                               WaveResult* r, std::string*) override {
        *r = WaveResult::kOk;
        opened = true;
        return std::make_unique<Speaker>(state, std::move(done));
    }
    std::string Name() const override { return "hung"; }

    std::shared_ptr<State> state = std::make_shared<State>();
    std::atomic<bool> opened{false};
};

// Hanging up retires the engine: it returns while the device's close still
// hangs, the owner hears nothing more, and the engine goes once the device
// lets go.
TEST(EngineStop, RetiringWaitsNeitherForTheThreadsNorForAHungDevice) {
    auto backend = std::make_shared<HungSpeakerBackend>();
    RecordingOwner owner;
    auto engine = std::make_unique<CAudioEngine>();
    engine->SetAudioBackend(backend);
    engine->SetCodec(std::make_shared<MarkerCodec>());
    engine->Init(&owner, kRate, kDelay, true, "", 0, 0);
    engine->StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return backend->opened.load(); }));
    ASSERT_TRUE(owner.WaitFor(kMsgConnectionLost, 1));  // no stream was ever set up
    const auto heard = owner.Messages();
    CAudioEngine::Retire(std::move(engine));
    {
        std::unique_lock lock(backend->state->mutex);
        backend->state->changed.wait(lock, [&] { return backend->state->resetEntered; });
        EXPECT_FALSE(backend->state->destroyed);
        backend->state->released = true;
        backend->state->changed.notify_all();
    }
    BackgroundWork::Process().Drain();
    std::lock_guard lock(backend->state->mutex);
    EXPECT_TRUE(backend->state->destroyed);
    EXPECT_EQ(owner.Messages(), heard);
}

// The HTTP proxy's answer is read by the set-up: a refusal fails it at once,
// and the peer's bytes glued behind a 2xx answer are the first audio.
TEST(EngineHttp, RefusalFailsTheSetUpAndGluedBytesAreTheFirstFrames) {
    std::vector<uint8_t> frames;
    for (int k = 0; k < 2 * kFramesPerBlock; ++k) {
        uint8_t f[10];
        MarkerCodec::MakeFrame(uint32_t(k), int16_t(k + 1), f);
        frames.insert(frames.end(), f, f + 10);
    }
    {
        test::ScriptedHttpProxy proxy("HTTP/1.1 407 Proxy Authentication Required\r\n");
        RecordingOwner owner;
        CAudioEngine engine;
        engine.SetAudioBackend(MakeNullAudioBackend());
        engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", proxy.Port(), 0);
        EXPECT_EQ(ConnectAndWait(engine, owner, "10.0.0.5", 2000, 2001), kSetupProxyRefused);
        EXPECT_EQ(proxy.Requests(),
                  (std::vector<std::string>{"CONNECT 10.0.0.5:2001 HTTP/1.1\r\nUser-Agent: "
                                            "KESTRONA1.1/0.1\r\n\r\n"}));
    }
    test::TempDir dir;
    auto codec = std::make_shared<MarkerCodec>();
    test::ScriptedHttpProxy proxy("HTTP/1.1 200 Connection established\r\n\r\n" +
                                  std::string(frames.begin(), frames.end()));
    RecordingOwner owner;
    CAudioEngine engine;
    engine.SetAudioBackend(MakeFileAudioBackend("", (dir.Path() / "spk.wav").string()));
    engine.SetCodec(codec);
    engine.Init(&owner, kRate, kDelay, false, "127.0.0.1", proxy.Port(), 0);
    ASSERT_EQ(ConnectAndWait(engine, owner, "10.0.0.5", 2000, 2001), kSetupOk);
    // Every decoded block is recorded, whether the loudspeaker takes it or not.
    fs::create_directories(dir.Path() / "record");
    engine.SetRecordRoot(dir.Path());
    engine.Record(kStem);
    engine.StartReceive();
    const auto recorded = dir.Path() / "record" / (std::string(kStem) + "in");
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code ec;
        return fs::file_size(recorded, ec) >= 2 * 2 * 1920 && !ec;
    }));
    engine.Stop();
    const auto& decoded = codec->DecodedFrames();
    for (size_t k = 0; k < frames.size() / 10; ++k) {
        ASSERT_TRUE(decoded[k].intact) << k;
        EXPECT_EQ(decoded[k].counter, k);
    }
}

// --- Recordings ----------------------------------------------------------------

bool IsStaircaseRun(const std::vector<int16_t>& s) {
    // Whole frames of one value each, every frame one more than the last.
    for (size_t i = 0; i < s.size(); ++i) {
        int16_t expected = int16_t(s[0] + int16_t(i / 80));
        if (s[i] != expected && !(s[i] == 0 && i > 0))
            return false;
    }
    return true;
}

TEST(EngineRecording, AnsweredMessageWritesOnlyTheInFileInWholeBlocks) {
    test::TempDir dir;
    Side caller(dir.Path(), "caller", std::make_shared<MarkerCodec>());
    Side machine(dir.Path(), "machine", std::make_shared<MarkerCodec>());
    fs::create_directories(dir.Path() / "machine" / "record");
    ASSERT_TRUE(WriteRaw(caller.mic, Staircase(400)));
    ASSERT_TRUE(WriteRaw(machine.mic, Staircase(400)));
    ConnectCall(caller, machine, kRate, kDelay);
    machine.engine->Record(kStem);
    machine.engine->StartReceive();
    caller.engine->StartSend();
    const fs::path in = dir.Path() / "machine" / "record" / (std::string(kStem) + "in");
    const fs::path out = dir.Path() / "machine" / "record" / (std::string(kStem) + "out");
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code ec;
        return fs::file_size(in, ec) >= 3u * 3840 && !ec;
    }));
    caller.engine->Stop();
    machine.engine->Stop();
    EXPECT_FALSE(fs::exists(out));
    ASSERT_EQ(fs::file_size(in) % 3840, 0u);
    std::vector<int16_t> pcm;
    std::string error;
    ASSERT_TRUE(ReadRawPcmFile(in, pcm, error));
    // The caller's words from the start, exactly as decoded.
    ASSERT_EQ(pcm[0], 1);
    EXPECT_TRUE(IsStaircaseRun(pcm));
}

TEST(EngineRecording, RecordKeyRecordsBothDirectionsFromTheNextBlock) {
    test::TempDir dir;
    Side a(dir.Path(), "a", std::make_shared<MarkerCodec>());
    Side b(dir.Path(), "b", std::make_shared<MarkerCodec>());
    fs::create_directories(dir.Path() / "b" / "record");
    ASSERT_TRUE(WriteRaw(a.mic, Staircase(400)));
    ASSERT_TRUE(WriteRaw(b.mic, Staircase(400)));
    ConnectCall(a, b, kRate, kDelay);
    StartTalking(a, b);
    // Both sides finish their first block at the same moment; wait past it
    // (the speaker file starts with the silence before it) so the key is
    // pressed while a later block is on its way.
    ASSERT_TRUE(WaitUntil([&] {
        auto heard = b.Heard();
        return std::count_if(heard.begin(), heard.end(), [](int16_t v) { return v != 0; }) >=
               2 * 1920;
    }));
    b.engine->Record(kStem);  // pressed while both directions run
    const fs::path in = dir.Path() / "b" / "record" / (std::string(kStem) + "in");
    const fs::path out = dir.Path() / "b" / "record" / (std::string(kStem) + "out");
    ASSERT_TRUE(WaitUntil([&] {
        std::error_code e1, e2;
        return fs::file_size(in, e1) >= 2u * 3840 && fs::file_size(out, e2) >= 2u * 3840 && !e1 &&
               !e2;
    }));
    a.engine->Stop();
    b.engine->Stop();
    for (const fs::path& p : {in, out}) {
        EXPECT_EQ(fs::file_size(p) % 3840, 0u) << p;
        std::vector<int16_t> pcm;
        std::string error;
        ASSERT_TRUE(ReadRawPcmFile(p, pcm, error));
        EXPECT_TRUE(IsStaircaseRun(pcm)) << p;
        EXPECT_GT(pcm[0], 1) << "recording began mid-call: " << p;
    }
}

TEST(EngineRecording, MissingRecordDirectoryLeavesTheCallUnaffected) {
    test::TempDir dir;
    Side a(dir.Path(), "a", std::make_shared<MarkerCodec>());
    Side b(dir.Path(), "b", std::make_shared<MarkerCodec>());
    ASSERT_TRUE(WriteRaw(a.mic, Staircase(400)));
    ASSERT_TRUE(WriteRaw(b.mic, Staircase(400)));
    ConnectCall(a, b, kRate, kDelay);
    b.engine->Record(kStem);
    StartTalking(a, b);
    ASSERT_TRUE(
        WaitUntil([&] { return SpeakerSamples(a) >= 5 * 1920 && SpeakerSamples(b) >= 5 * 1920; }));
    EXPECT_EQ(b.owner.Messages(), (std::vector<std::pair<int, int>>{{kMsgEngineSetup, kSetupOk}}));
    b.engine->Stop();
    a.engine->Stop();
    EXPECT_FALSE(fs::exists(dir.Path() / "b" / "record"));
    auto heard = b.Heard();
    auto first = std::find(heard.begin(), heard.end(), int16_t(1));
    ASSERT_NE(first, heard.end());
    ASSERT_GE(heard.end() - first, 3 * 1920);
    EXPECT_TRUE(IsStaircaseRun(std::vector<int16_t>(first, first + 3 * 1920)));
}

TEST(EngineRecording, SameStemAppendsToTheEarlierCallsFiles) {
    test::TempDir dir;
    fs::create_directories(dir.Path() / "b" / "record");
    const fs::path in = dir.Path() / "b" / "record" / (std::string(kStem) + "in");
    uintmax_t sizeAfterFirst = 0;
    for (int call = 0; call < 2; ++call) {
        Side a(dir.Path(), "a", std::make_shared<MarkerCodec>());
        Side b(dir.Path(), "b", std::make_shared<MarkerCodec>());
        ASSERT_TRUE(WriteRaw(a.mic, Staircase(400)));
        ConnectCall(a, b, kRate, kDelay);
        b.engine->Record(kStem);
        b.engine->StartReceive();
        a.engine->StartSend();
        ASSERT_TRUE(WaitUntil([&] {
            std::error_code ec;
            return fs::file_size(in, ec) >= sizeAfterFirst + 3840 && !ec;
        }));
        a.engine->Stop();
        b.engine->Stop();
        if (call == 0)
            sizeAfterFirst = fs::file_size(in);
    }
    EXPECT_GT(fs::file_size(in), sizeAfterFirst);
    EXPECT_EQ(fs::file_size(in) % 3840, 0u);
}

}  // namespace
