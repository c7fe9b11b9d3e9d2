// Mouth-to-ear delay across a stall: one side of a call runs in a process of
// its own and is stopped for a second mid-call. Both directions must come
// back to the delay they had before within three seconds: the stopped side
// finds a second of the other's audio waiting in its socket, and its own
// microphone hands over what was recorded before the stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "call_rig.h"
#include "media_test_util.h"
#include "support/proxy_fixtures.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 8000;
constexpr int kDelay = 250;

// The answering side as a child process, talking through pipes.
class CallSideProcess {
  public:
    CallSideProcess(const fs::path& mic, const fs::path& speaker) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const std::string rate = std::to_string(kRate), delay = std::to_string(kDelay);
        const std::string micArg = mic.string(), speakerArg = speaker.string();
        char* argv[] = {const_cast<char*>(CALL_SIDE_PROGRAM),  const_cast<char*>(rate.c_str()),
                        const_cast<char*>(delay.c_str()),      const_cast<char*>(micArg.c_str()),
                        const_cast<char*>(speakerArg.c_str()), nullptr};
        if (::posix_spawn(&m_pid, CALL_SIDE_PROGRAM, &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = ::fdopen(out[0], "r");
    }
    ~CallSideProcess() {
        if (m_stdin >= 0)
            ::close(m_stdin);
        if (m_pid > 0) {
            ::kill(m_pid, SIGCONT);
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_stdout)
            std::fclose(m_stdout);
    }
    bool ReadPorts(int& in, int& out) {
        return m_stdout && std::fscanf(m_stdout, " ports %d %d", &in, &out) == 2;
    }
    void Signal(int sig) { ::kill(m_pid, sig); }
    // Hangs up; the child reports its clocks and ends.
    bool Finish(Clock::time_point& micStart, Clock::time_point& speakerOrigin) {
        ::close(m_stdin);
        m_stdin = -1;
        long long spoken = 0, played = 0;
        const bool ok = std::fscanf(m_stdout, " clock %lld %lld", &spoken, &played) == 2;
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        micStart = Clock::time_point(std::chrono::nanoseconds(spoken));
        speakerOrigin = Clock::time_point(std::chrono::nanoseconds(played));
        return ok && spoken != 0 && played != 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    FILE* m_stdout = nullptr;
};

struct Heard {
    Clock::time_point at;
    double delay;  // seconds from the microphone to the loudspeaker
};

// Every whole marker frame on a loudspeaker: frame k of the other side's
// microphone (value k + 1) was spoken at micStart + 80k samples.
std::vector<Heard> DelaysOf(const std::vector<int16_t>& speaker, Clock::time_point speakerOrigin,
                            Clock::time_point micStart) {
    std::vector<Heard> out;
    auto at = [&](double seconds) {
        return speakerOrigin +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    for (size_t i = 0; i < speaker.size();) {
        size_t j = i;
        while (j < speaker.size() && speaker[j] == speaker[i]) ++j;
        if (speaker[i] > 0 && j - i == 80) {
            const Clock::time_point heard = at(double(i) / kRate);
            const Clock::time_point spoken =
                micStart + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(double(speaker[i] - 1) * 80 / kRate));
            out.push_back({heard, std::chrono::duration<double>(heard - spoken).count()});
        }
        i = j;
    }
    return out;
}

// The median delay of what was heard in [from, to), and the worst.
std::pair<double, double> DelayIn(const std::vector<Heard>& heard, Clock::time_point from,
                                  Clock::time_point to) {
    std::vector<double> d;
    for (const Heard& h : heard) {
        if (h.at >= from && h.at < to)
            d.push_back(h.delay);
    }
    if (d.empty())
        return {-1, -1};
    std::sort(d.begin(), d.end());
    return {d[d.size() / 2], d.back()};
}

TEST(DelayBound, AStoppedPhoneReturnsToItsNormalDelayInBothDirections) {
    test::TempDir dir;
    const int frames = 12 * kRate / 80;
    Side caller(dir.Path(), "caller", std::make_shared<MarkerCodec>());
    const fs::path childMic = dir.Path() / "answerer-mic.raw";
    const fs::path childSpeaker = dir.Path() / "answerer-speaker.wav";
    ASSERT_TRUE(WriteRaw(caller.mic, Staircase(frames)));
    ASSERT_TRUE(WriteRaw(childMic, Staircase(frames)));

    CallSideProcess answerer(childMic, childSpeaker);
    int portIn = 0, portOut = 0;
    ASSERT_TRUE(answerer.ReadPorts(portIn, portOut));
    caller.engine->Init(&caller.owner, kRate, kDelay, true, "", 0, 0);
    ASSERT_TRUE(caller.engine->Connect("127.0.0.1", portIn, portOut));
    caller.engine->StartReceive();
    caller.engine->StartSend();
    const auto start = Clock::now();

    // A second of the answerer heard, the answerer stopped for one, then
    // four more seconds.
    ASSERT_TRUE(WaitUntil([&] {
        const auto heard = caller.Heard();
        return std::count_if(heard.begin(), heard.end(), [](int16_t v) { return v != 0; }) >= kRate;
    }));
    const auto stopAt = Clock::now();
    answerer.Signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the stall itself
    answerer.Signal(SIGCONT);
    const auto resumedAt = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return Clock::now() >= resumedAt + std::chrono::seconds(4); }));
    caller.engine->Stop();
    Clock::time_point childMicStart, childSpeakerOrigin;
    ASSERT_TRUE(answerer.Finish(childMicStart, childSpeakerOrigin));
    EXPECT_EQ(caller.owner.Count(kMsgConnectionLost), 0);

    auto callerMicStart = caller.backend->LastWaveInStart();
    auto callerSpeakerOrigin = caller.backend->SpeakerTimeOfSample(0);
    ASSERT_TRUE(callerMicStart && callerSpeakerOrigin);
    const std::vector<Heard> byAnswerer =
        DelaysOf(ReadSpeaker(childSpeaker), childSpeakerOrigin, *callerMicStart);
    const std::vector<Heard> byCaller =
        DelaysOf(caller.Heard(), *callerSpeakerOrigin, childMicStart);

    const auto settled = resumedAt + std::chrono::seconds(3);
    for (const auto* heard : {&byAnswerer, &byCaller}) {
        const char* who = heard == &byAnswerer ? "answerer" : "caller";
        const auto [before, worstBefore] = DelayIn(*heard, start, stopAt);
        const auto [after, worstAfter] =
            DelayIn(*heard, settled, settled + std::chrono::seconds(1));
        std::printf("%s hears: delay %.3f s before the stall, %.3f s (worst %.3f s) after it\n",
                    who, before, after, worstAfter);
        ASSERT_GT(before, 0) << who;
        ASSERT_GT(after, 0) << who;
        // Scheduling on a loaded machine moves single frames by a few
        // milliseconds; a lost catch-up would show as a whole block or more.
        EXPECT_LT(worstAfter, before + 0.06) << who;
    }
}

}  // namespace
