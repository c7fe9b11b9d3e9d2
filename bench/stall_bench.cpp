// How long the user-interface thread's event loop stops turning while the
// media engine is set up and while a call runs.
//
// A 1 ms timer on the loop notes the longest gap between two of its ticks;
// the engine is driven from that loop the way the phone window drives it.
// STALL_TRACE=1 prints every gap over 20 ms and when it ended.
//
// BM_SetupStallSilentSocks: the answering side's set-up through a SOCKS5
// proxy that takes the connection and never answers, abandoned (Stop) after
// a second. The proxy gives up after kProxyGiveUpMs, which would cap the
// figure if the set-up blocked the loop.
//
// BM_CallStall: a direct call on loopback with the file devices: set-up on
// both sides, both directions running, then the hang-up.
//
// BM_HungSoundServerStall: the answering side rings on a private PulseAudio
// daemon that is stopped (SIGSTOP) while it rings; the ring repeats, the
// sound page is opened and its test sound pressed, the call is answered and
// hung up. Each of these asks the frozen server something.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/ring_player.h"
#include "media/audio_engine.h"
#include "platform/audio_backend_file.h"
#include "platform/background_work.h"
#include "platform/wav_file.h"
#include "tests/media/media_test_util.h"
#include "tests/support/pulse_fixture.h"
#include "ui/pages.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

constexpr int kProxyGiveUpMs = 5000;

QApplication& App() {
    static int argc = 1;
    static char name[] = "stall_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Hands engine messages to the loop's thread, as the window's owner does.
class LoopOwner : public IEngineOwner {
  public:
    void PostEngineMessage(int msg, int code) override {
        QMetaObject::invokeMethod(
            &App(),
            [this, msg, code] {
                m_last = {msg, code};
                ++m_count;
            },
            Qt::QueuedConnection);
    }
    std::pair<int, int> m_last{0, 0};
    int m_count = 0;
};

// Runs the loop while `script` steps are taken from it; returns the longest
// gap between two ticks of a 1 ms timer, in milliseconds.
double LongestStall(const std::function<void(std::function<void()> done)>& script) {
    QApplication& app = App();
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.elapsed(), worst = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        worst = std::max(worst, now - last);
        if (now - last > 20 && qEnvironmentVariableIsSet("STALL_TRACE"))
            fprintf(stderr, "stall %lld ms ending at %lld ms\n", now - last, now);
        last = now;
    });
    tick.start(1);
    bool finished = false;
    QTimer::singleShot(0, [&] { script([&] { finished = true; }); });
    while (!finished) app.processEvents(QEventLoop::WaitForMoreEvents);
    // One more tick so a stall at the very end counts.
    const qint64 end = clock.elapsed() + 5;
    while (clock.elapsed() < end) app.processEvents(QEventLoop::WaitForMoreEvents);
    return double(worst);
}

// Accepts connections and never answers; closes them after kProxyGiveUpMs.
class SilentProxy {
  public:
    SilentProxy() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_fd, 8);
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~SilentProxy() {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    int Port() const { return m_port; }

  private:
    void Serve() {
        std::vector<std::pair<int, std::chrono::steady_clock::time_point>> held;
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 10) == 1 && !m_stop) {
                const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0)
                    held.emplace_back(c, std::chrono::steady_clock::now());
            }
            const auto now = std::chrono::steady_clock::now();
            for (auto& [fd, since] : held) {
                if (fd >= 0 && now - since > std::chrono::milliseconds(kProxyGiveUpMs)) {
                    ::close(fd);
                    fd = -1;
                }
            }
        }
        for (auto& h : held) {
            if (h.first >= 0)
                ::close(h.first);
        }
    }
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The longest time one scripted step (a ring, a page, a key, a hang-up)
// held the loop: what the steps themselves cost, apart from the time the
// loop's thread waits for a core on a busy machine.
double g_longestStepMs = 0;

void Timed(const std::function<void()>& step) {
    QElapsedTimer clock;
    clock.start();
    step();
    g_longestStepMs = std::max(g_longestStepMs, double(clock.nsecsElapsed()) / 1e6);
}

void Step(int atMs, std::function<void()> step) {
    QTimer::singleShot(atMs, [step = std::move(step)] { Timed(step); });
}

// Steps on the loop until pred holds, without blocking it.
void When(std::function<bool()> pred, std::function<void()> then) {
    if (pred())
        return then();
    QTimer::singleShot(2, [pred = std::move(pred), then = std::move(then)]() mutable {
        When(std::move(pred), std::move(then));
    });
}

void BM_SetupStallSilentSocks(benchmark::State& state) {
    double stall = 0;
    for (auto _ : state) {
        SilentProxy proxy;
        LoopOwner owner;
        auto engine = std::make_unique<CAudioEngine>();
        engine->SetAudioBackend(MakeNullAudioBackend());
        engine->SetCodec(std::make_shared<MarkerCodec>());
        stall = LongestStall([&](std::function<void()> done) {
            engine->Init(&owner, 8000, 250, false, "127.0.0.1", 0, proxy.Port());
            engine->BeginListen(0, 0);
            // The window gives up as a user would, while the set-up still waits.
            QTimer::singleShot(1000, [&, done] {
                engine->Stop();
                done();
            });
        });
    }
    state.counters["longest_stall_ms"] = stall;
}
BENCHMARK(BM_SetupStallSilentSocks)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_CallStall(benchmark::State& state) {
    double stall = 0;
    for (auto _ : state) {
        fs::path dir = fs::temp_directory_path() / ("kestrona-stall-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        WriteRaw(dir / "a.raw", std::vector<int16_t>(8000 * 4, 1000));
        WriteRaw(dir / "b.raw", std::vector<int16_t>(8000 * 4, -1000));
        LoopOwner ownerA, ownerB;
        CAudioEngine a, b;
        a.SetAudioBackend(
            std::make_shared<FileAudioBackend>((dir / "a.raw").string(), (dir / "a.wav").string()));
        b.SetAudioBackend(
            std::make_shared<FileAudioBackend>((dir / "b.raw").string(), (dir / "b.wav").string()));
        a.SetCodec(MakePrivateSpeechCodec());
        b.SetCodec(MakePrivateSpeechCodec());
        stall = LongestStall([&](std::function<void()> done) {
            b.Init(&ownerB, 8000, 250, true, "", 0, 0);
            b.BeginListen(0, 0);
            When([&] { return ownerB.m_count > 0; },
                 [&] {
                     a.Init(&ownerA, 8000, 250, true, "", 0, 0);
                     a.BeginConnect("127.0.0.1", b.PortIn(), b.PortOut());
                 });
            When([&] { return ownerA.m_count > 0; },
                 [&] {
                     b.StartReceive();
                     b.StartSend();
                     a.StartReceive();
                     a.StartSend();
                 });
            QTimer::singleShot(3000, [&, done] {
                a.Stop();
                b.Stop();
                done();
            });
        });
        fs::remove_all(dir);
    }
    state.counters["longest_stall_ms"] = stall;
}
BENCHMARK(BM_CallStall)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HungSoundServerStall(benchmark::State& state) {
    double stall = 0;
    for (auto _ : state) {
        const fs::path dir =
            fs::temp_directory_path() / ("kestrona-stall-pa-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "pulse");
        fs::create_directories(dir / "config");
        qputenv("KESTRONA_CONFIG_HOME", QByteArray::fromStdString((dir / "config").string()));
        PcmAudio ring;
        ring.rate = 8000;
        ring.samples.assign(8000 / 2, 3000);
        std::string error;
        WriteWavFile(dir / "in.wav", ring, error);
        kestrona::testing::PulseFixture pulse(dir / "pulse");
        if (!pulse.Start(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        auto backend = MakePulseAudioBackend(pulse.ServerAddress());
        {
            // The first widget of a process loads the fonts: not the sound
            // server's doing, so it happens before the clock runs.
            App();
            CPage6 warm(nullptr, MakeNullAudioBackend());
            warm.EnsureCreated();
        }
        {
            LoopOwner ownerA, ownerB;
            CRingPlayer ringer(backend);
            auto a = std::make_unique<CAudioEngine>();
            auto b = std::make_unique<CAudioEngine>();
            a->SetAudioBackend(MakeNullAudioBackend());
            b->SetAudioBackend(backend);
            a->SetCodec(MakePrivateSpeechCodec());
            b->SetCodec(MakePrivateSpeechCodec());
            std::unique_ptr<CPage6> page;
            QTimer ringAgain;
            QObject::connect(&ringAgain, &QTimer::timeout,
                             [&] { Timed([&] { ringer.PlayAsync(dir / "in.wav"); }); });
            g_longestStepMs = 0;
            stall = LongestStall([&](std::function<void()> done) {
                // A call comes in: the engine listens, the phone rings.
                Timed([&] {
                    b->Init(&ownerB, 8000, 250, true, "", 0, 0);
                    b->BeginListen(0, 0);
                    ringer.PlayAsync(dir / "in.wav");
                });
                ringAgain.start(600);
                When([&] { return ownerB.m_count > 0; },
                     [&] {
                         a->Init(&ownerA, 8000, 250, true, "", 0, 0);
                         a->BeginConnect("127.0.0.1", b->PortIn(), b->PortOut());
                     });
                Step(800, [&] { pulse.Freeze(true); });
                Step(1500, [&] {
                    page = std::make_unique<CPage6>(nullptr, backend);
                    page->EnsureCreated();
                    page->show();
                });
                Step(1900, [&] { page->m_test->click(); });
                Step(2600, [&] { page.reset(); });
                // Answered: the ring stops, both directions start.
                Step(2800, [&] {
                    ringAgain.stop();
                    ringer.Stop();
                    b->StartReceive();
                    b->StartSend();
                    a->StartReceive();
                    a->StartSend();
                });
                // Hung up, as the window does.
                Step(4000, [&] {
                    CAudioEngine::Retire(std::move(b));
                    CAudioEngine::Retire(std::move(a));
                });
                QTimer::singleShot(4500, [&, done] { done(); });
            });
        }
        pulse.Freeze(false);
        BackgroundWork::Process().Drain();
        pulse.Stop();
        fs::remove_all(dir);
    }
    state.counters["longest_stall_ms"] = stall;
    state.counters["longest_step_ms"] = g_longestStepMs;
}
BENCHMARK(BM_HungSoundServerStall)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
