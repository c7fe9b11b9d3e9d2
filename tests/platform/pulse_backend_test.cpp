// The PulseAudio backend against a private daemon with pipe devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/audio_backend.h"
#include "platform/temp_dir.h"
#include "support/pulse_fixture.h"

using namespace kestrona;
using kestrona::testing::PulseFixture;
using Clock = std::chrono::steady_clock;

namespace {

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 15000) {
    const auto limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<int16_t> Tone(int rate, double hz, double seconds, double amplitude = 8000) {
    std::vector<int16_t> s(size_t(rate * seconds));
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = int16_t(amplitude * std::sin(2 * M_PI * hz * double(i) / rate));
    return s;
}

// Strength of one frequency in a stretch of samples (Goertzel, as RMS).
double Level(const int16_t* s, size_t n, int rate, double hz) {
    if (n == 0)
        return 0;
    const double w = 2 * M_PI * hz / rate, c = 2 * std::cos(w);
    double a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        const double v = s[i] + c * a - b;
        b = a;
        a = v;
    }
    return std::sqrt(a * a + b * b - c * a * b) * std::sqrt(2.0) / double(n);
}

// The newest `seconds` of what the loudspeaker played.
double RecentLevel(const PulseFixture& pa, double hz, double seconds = 0.3) {
    const auto heard = pa.Heard();
    const size_t n = std::min(heard.size(), size_t(PulseFixture::kRate * seconds));
    return Level(heard.data() + heard.size() - n, n, PulseFixture::kRate, hz);
}

// A wave-in device kept fed with buffers, as the engine does: counts the
// buffers that came back and keeps the last one.
class Recorder {
  public:
    Recorder(AudioBackend& backend, uint32_t rate, uint32_t samples, bool keepAll = false)
        : m_format(WaveFormat::Pcm16Mono(rate)), m_keepAll(keepAll) {
        for (int i = 0; i < 4; ++i) {
            m_buffers[i].assign(samples, 0);
            m_headers[i].data = reinterpret_cast<uint8_t*>(m_buffers[i].data());
            m_headers[i].bufferLength = samples * 2;
        }
        WaveResult result;
        m_device = backend.OpenWaveIn(
            m_format, [this](WaveHeader& h) { Done(h); }, &result);
        if (!m_device)
            return;
        m_device->SetEventCallback([this](WaveDeviceEvent e) {
            std::lock_guard lock(m_mutex);
            m_events.push_back(e);
        });
        for (auto& h : m_headers) {
            m_device->Prepare(h);
            m_device->AddBuffer(h);
        }
        m_device->Start();
        m_refill = std::thread([this] { Refill(); });
    }
    ~Recorder() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_refill.joinable())
            m_refill.join();
        if (m_device) {
            m_device->Reset();
            m_device->Close();
        }
    }
    bool Open() const { return m_device != nullptr; }
    int Blocks() {
        std::lock_guard lock(m_mutex);
        return m_blocks;
    }
    std::vector<int16_t> Last() {
        std::lock_guard lock(m_mutex);
        return m_last;
    }
    // Every buffer so far, in order (when made with keepAll).
    std::vector<int16_t> All() {
        std::lock_guard lock(m_mutex);
        return m_all;
    }
    std::vector<WaveDeviceEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

  private:
    void Done(WaveHeader& h) {
        std::lock_guard lock(m_mutex);
        if (m_stop)
            return;
        ++m_blocks;
        const auto* s = reinterpret_cast<const int16_t*>(h.data);
        m_last.assign(s, s + h.bytesRecorded / 2);
        if (m_keepAll)
            m_all.insert(m_all.end(), m_last.begin(), m_last.end());
        m_returned.push_back(&h);
        m_cv.notify_all();
    }
    // Gives returned buffers back to the device (never from its callback).
    void Refill() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || !m_returned.empty(); });
            if (m_stop)
                return;
            WaveHeader* h = m_returned.front();
            m_returned.pop_front();
            lock.unlock();
            m_device->Prepare(*h);
            m_device->AddBuffer(*h);
            lock.lock();
        }
    }

    WaveFormat m_format;
    const bool m_keepAll;
    std::array<std::vector<int16_t>, 4> m_buffers;
    std::array<WaveHeader, 4> m_headers{};
    std::unique_ptr<WaveInDevice> m_device;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<WaveHeader*> m_returned;
    std::vector<int16_t> m_last;
    std::vector<int16_t> m_all;
    std::vector<WaveDeviceEvent> m_events;
    int m_blocks = 0;
    bool m_stop = false;
    std::thread m_refill;
};

// Plays a tone over and over, one buffer after the other.
class Player {
  public:
    Player(AudioBackend& backend, uint32_t rate, double hz, const std::string& id = "",
           bool byId = false)
        : m_pcm(Tone(int(rate), hz, 0.2)) {
        WaveResult result;
        auto done = [this](WaveHeader&) {
            std::lock_guard lock(m_mutex);
            ++m_played;
            m_cv.notify_all();
        };
        const auto format = WaveFormat::Pcm16Mono(rate);
        m_device = byId ? backend.OpenWaveOutById(id, format, done, &result)
                        : backend.OpenWaveOut(format, done, &result);
        if (!m_device)
            return;
        m_device->SetEventCallback([this](WaveDeviceEvent e) {
            std::lock_guard lock(m_mutex);
            m_events.push_back(e);
        });
        for (auto& h : m_headers) {
            h.data = reinterpret_cast<uint8_t*>(m_pcm.data());
            h.bufferLength = uint32_t(m_pcm.size() * 2);
        }
        m_thread = std::thread([this] { Loop(); });
    }
    ~Player() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        if (m_device) {
            m_device->Reset();
            m_device->Close();
        }
    }
    bool Open() const { return m_device != nullptr; }
    std::vector<WaveDeviceEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

  private:
    void Loop() {
        int written = 0;
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            // Two buffers in flight.
            if (written - m_played < 2) {
                WaveHeader& h = m_headers[written % 2];
                lock.unlock();
                m_device->Prepare(h);
                m_device->Write(h);
                lock.lock();
                ++written;
                continue;
            }
            m_cv.wait(lock);
        }
    }

    std::vector<int16_t> m_pcm;
    std::array<WaveHeader, 2> m_headers{};
    std::unique_ptr<WaveOutDevice> m_device;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<WaveDeviceEvent> m_events;
    int m_played = 0;
    bool m_stop = false;
    std::thread m_thread;
};

size_t Count(const std::vector<WaveDeviceEvent>& events, WaveDeviceEvent e) {
    return size_t(std::count(events.begin(), events.end(), e));
}

struct Notices {
    std::mutex mutex;
    std::vector<std::pair<AudioNotice, AudioDirection>> seen;
    AudioNoticeCallback Callback() {
        return [this](AudioNotice n, AudioDirection d) {
            std::lock_guard lock(mutex);
            seen.emplace_back(n, d);
        };
    }
    size_t Count(AudioNotice n) {
        std::lock_guard lock(mutex);
        return size_t(
            std::count_if(seen.begin(), seen.end(), [n](const auto& p) { return p.first == n; }));
    }
};

class PulseBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pa.Start(&error)) << error;
        backend = MakePulseAudioBackend(pa.ServerAddress());
        backend->SetNoticeCallback(notices.Callback());
    }
    kestrona::testing::TempDir dir;
    PulseFixture pa{dir.path()};
    std::shared_ptr<AudioBackend> backend;
    Notices notices;
};

}  // namespace

// Sound goes both ways at call rates, and the devices are listed by name.
TEST_F(PulseBackendTest, PlaysAndCapturesAndListsDevices) {
    EXPECT_TRUE(PulseServerAnswers(pa.ServerAddress()));
    EXPECT_TRUE(backend->Probe());
    auto outputs = backend->ListDevices(AudioDirection::kOutput);
    ASSERT_FALSE(outputs.empty());
    EXPECT_EQ(outputs[0].id, "spk");
    EXPECT_TRUE(outputs[0].isDefault);
    auto inputs = backend->ListDevices(AudioDirection::kInput);
    // The sink's monitor is not offered as a microphone.
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].id, "mic");

    {
        Player player(*backend, 8000, 440);
        ASSERT_TRUE(player.Open());
        ASSERT_TRUE(WaitFor([&] { return RecentLevel(pa, 440) > 2000; })) << RecentLevel(pa, 440);
        EXPECT_LT(RecentLevel(pa, 1000), 500);
    }

    pa.Feed(Tone(PulseFixture::kRate, 600, 60));
    Recorder recorder(*backend, 16000, 1600);
    ASSERT_TRUE(recorder.Open());
    ASSERT_TRUE(WaitFor([&] {
        const auto last = recorder.Last();
        return last.size() == 1600 && Level(last.data(), last.size(), 16000, 600) > 4000;
    }));
    EXPECT_TRUE(recorder.Events().empty());
    EXPECT_EQ(notices.Count(AudioNotice::kServerUnavailable), 0u);
}

// Devices closed while the server is still answering their requests (as
// a ring that is cut short): nothing it says afterwards reaches a device
// that is gone, and the backend goes on working.
TEST_F(PulseBackendTest, DevicesClosedAtOnceLeaveNothingBehind) {
    for (int round = 0; round < 40; ++round) {
        Player player(*backend, 8000, 440);
        ASSERT_TRUE(player.Open());
        Recorder recorder(*backend, 8000, 160);
        ASSERT_TRUE(recorder.Open());
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4 * 10));
    }
    Player player(*backend, 8000, 440);
    ASSERT_TRUE(WaitFor([&] { return RecentLevel(pa, 440) > 2000; })) << RecentLevel(pa, 440);
}

// The server dies: each device says so once, capture goes on at the clock
// with silence, and both come back when a server is there again.
TEST_F(PulseBackendTest, ServerKilledAndRestarted) {
    constexpr uint32_t kBlock = 800;  // 100 ms at 8000 Hz
    Recorder recorder(*backend, 8000, kBlock);
    Player player(*backend, 8000, 440);
    ASSERT_TRUE(recorder.Open() && player.Open());
    ASSERT_TRUE(WaitFor([&] { return recorder.Blocks() >= 3 && RecentLevel(pa, 440) > 2000; }));

    pa.KillDaemon();
    ASSERT_TRUE(WaitFor([&] { return Count(recorder.Events(), WaveDeviceEvent::kLost) == 1; }));
    ASSERT_TRUE(WaitFor([&] { return Count(player.Events(), WaveDeviceEvent::kLost) == 1; }));
    // No burst of blocks: over a stretch of time, never more blocks than its
    // length in blocks (and the silence keeps coming).
    const int before = recorder.Blocks();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int blocks = recorder.Blocks() - before;
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_LE(blocks, int(elapsed / 0.1) + 2);
    EXPECT_GE(blocks, 3);
    const auto silent = recorder.Last();
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](int16_t v) { return v == 0; }));

    std::string error;
    ASSERT_TRUE(pa.Start(&error)) << error;
    pa.Feed(Tone(PulseFixture::kRate, 600, 60));
    ASSERT_TRUE(WaitFor([&] {
        const auto last = recorder.Last();
        return Level(last.data(), last.size(), 8000, 600) > 4000;
    }));
    const size_t heardAtRestart = pa.HeardCount();
    ASSERT_TRUE(WaitFor([&] {
        return pa.HeardCount() > heardAtRestart + PulseFixture::kRate / 2 &&
               RecentLevel(pa, 440) > 2000;
    }));
    EXPECT_EQ(Count(recorder.Events(), WaveDeviceEvent::kLost), 1u);
    EXPECT_EQ(Count(recorder.Events(), WaveDeviceEvent::kRestored), 1u);
    EXPECT_EQ(Count(player.Events(), WaveDeviceEvent::kRestored), 1u);
}

// A chosen loudspeaker is used; when it goes, the default takes over and
// the user hears of it once; when it is back, the sound goes back to it.
TEST_F(PulseBackendTest, ChosenSinkFollowedWhenRemovedAndReplugged) {
    const int module = pa.AddNullSink("headset", "Headset");
    ASSERT_GE(module, 0);
    auto outputs = backend->ListDevices(AudioDirection::kOutput);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].id, "spk");
    EXPECT_EQ(outputs[1].id, "headset");
    EXPECT_EQ(outputs[1].name, "Headset");

    backend->SelectDevice(AudioDirection::kOutput, "headset");
    auto sinkOfOurStream = [&] {
        std::string out;
        pa.Pactl({"list", "short", "sink-inputs"}, &out);
        std::string sinks;
        pa.Pactl({"list", "short", "sinks"}, &sinks);
        // "index sink-index ..." → the sink's name through the sinks table.
        std::istringstream in(out);
        std::string idx, sink;
        if (!(in >> idx >> sink))
            return std::string();
        std::istringstream table(sinks);
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream row(line);
            std::string i, name;
            row >> i >> name;
            if (i == sink)
                return name;
        }
        return std::string();
    };
    Player player(*backend, 8000, 440);
    ASSERT_TRUE(player.Open());
    ASSERT_TRUE(WaitFor([&] { return sinkOfOurStream() == "headset"; }));

    ASSERT_TRUE(pa.UnloadModule(module));
    ASSERT_TRUE(WaitFor([&] { return RecentLevel(pa, 440) > 2000; }));
    EXPECT_EQ(sinkOfOurStream(), "spk");
    EXPECT_EQ(notices.Count(AudioNotice::kChosenDeviceMissing), 1u);
    // Followed, not lost: the call is not told the sound went away.
    EXPECT_EQ(Count(player.Events(), WaveDeviceEvent::kLost), 0u);

    ASSERT_GE(pa.AddNullSink("headset", "Headset"), 0);
    ASSERT_TRUE(WaitFor([&] { return sinkOfOurStream() == "headset"; }));
    EXPECT_EQ(notices.Count(AudioNotice::kChosenDeviceMissing), 1u);

    // A test sound on a device that is not there fails plainly.
    WaveResult result;
    EXPECT_EQ(backend->OpenWaveOutById(
                  "no-such-sink", WaveFormat::Pcm16Mono(8000), [](WaveHeader&) {}, &result),
              nullptr);
    EXPECT_EQ(result, WaveResult::kNoDevice);
}

// No server at all: one notice, devices still open and keep time, nothing
// crashes; a server that appears later is used.
TEST(PulseBackendNoServer, OneNoticeDevicesKeepTimeAndAServerIsPickedUpLater) {
    kestrona::testing::TempDir dir;
    PulseFixture pa(dir.path());
    EXPECT_FALSE(PulseServerAnswers(pa.ServerAddress()));
    auto backend = MakePulseAudioBackend(pa.ServerAddress());
    Notices notices;
    backend->SetNoticeCallback(notices.Callback());
    EXPECT_FALSE(backend->Probe());
    EXPECT_FALSE(backend->Probe());
    EXPECT_EQ(notices.Count(AudioNotice::kServerUnavailable), 1u);
    EXPECT_TRUE(backend->ListDevices(AudioDirection::kOutput).empty());
    EXPECT_EQ(backend->WaveInDeviceCount(), 1);
    EXPECT_EQ(backend->QueryWaveOut(WaveFormat::Pcm16Mono(24000)), WaveResult::kOk);

    Recorder recorder(*backend, 8000, 800);
    ASSERT_TRUE(recorder.Open());
    ASSERT_TRUE(WaitFor([&] { return recorder.Blocks() >= 3; }));
    // Never heard of a server, so nothing was "lost" during the call.
    EXPECT_TRUE(recorder.Events().empty());

    std::string error;
    ASSERT_TRUE(pa.Start(&error)) << error;
    pa.Feed(Tone(PulseFixture::kRate, 600, 60));
    ASSERT_TRUE(WaitFor([&] {
        const auto last = recorder.Last();
        return Level(last.data(), last.size(), 8000, 600) > 4000;
    }));
}

// Buffers longer than the backend's own capture store (half a second is the
// recommended delay) come back whole and back to back: a steady tone runs on
// across each buffer and from one buffer into the next.
TEST_F(PulseBackendTest, LongBuffersLoseNoCapture) {
    constexpr int kRate = 8000;
    constexpr double kHz = 437;
    pa.Feed(Tone(PulseFixture::kRate, kHz, 60));
    Recorder recorder(*backend, kRate, 4000, true);
    ASSERT_TRUE(recorder.Open());
    // The first buffer may begin before the tone; the next four are compared.
    ASSERT_TRUE(WaitFor([&] { return recorder.Blocks() >= 5; }));
    const auto all = recorder.All();
    ASSERT_GE(all.size(), 5u * 4000);
    // A sine obeys x[n] = 2 cos(w) x[n-1] - x[n-2]; a gap breaks that.
    const double c = 2 * std::cos(2 * M_PI * kHz / kRate);
    double worst = 0;
    for (size_t i = 4000 + 2; i < 5 * 4000; ++i)
        worst = std::max(worst, std::abs(all[i] - (c * all[i - 1] - all[i - 2])));
    EXPECT_LT(worst, 300) << "capture has a gap";
    EXPECT_GT(Level(all.data() + 4000, 4 * 4000, kRate, kHz), 4000);
}
