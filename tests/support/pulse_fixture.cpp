#include "support/pulse_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

// libpulse is not built for ThreadSanitizer: the objects it recycles through
// its lock-free free lists, and the ring it shares with the daemon, look like
// races to it. Only reports inside those parts of libpulse are left out.
extern "C" const char* __tsan_default_suppressions() {
    return "race:pa_tagstruct_\n"
           "race:pa_packet_\n"
           "race:pa_srbchannel_\n"
           "race:pa_flist_\n"
           "race:pa_mempool_\n"
           "race:pa_memblock\n"
           "race:pa_memimport\n";
}

namespace kestrona::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

void PulseFixture::Reap(pid_t& pid, int signal) {
    if (pid <= 0)
        return;
    ::kill(pid, signal);
    ::kill(pid, SIGCONT);  // a frozen daemon takes its signal too
    // A daemon that ignores SIGTERM gets SIGKILL after two seconds.
    const auto limit = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            break;
        if (Clock::now() > limit) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
}

PulseFixture::PulseFixture(std::filesystem::path dir) : m_dir(std::move(dir)) {}

PulseFixture::~PulseFixture() {
    Stop();
}

pid_t PulseFixture::Spawn(const std::vector<std::string>& argv, const std::string& outFile) const {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    AdjustEnvironment(env);
    std::vector<std::string> flat;
    for (const auto& [k, v] : env) flat.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : flat) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (auto& s : args) cargv.push_back(s.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool PulseFixture::Pactl(const std::vector<std::string>& args, std::string* out) const {
    static std::atomic<int> serial{0};
    const auto file = m_dir / ("pactl." + std::to_string(serial++) + ".out");
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = Spawn(argv, file.string());
    if (pid <= 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (out)
        *out = ReadAll(file);
    std::filesystem::remove(file);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PulseFixture::AdjustEnvironment(std::map<std::string, std::string>& env) const {
    env["PULSE_SERVER"] = ServerAddress();
    env["PULSE_RUNTIME_PATH"] = (m_dir / "run").string();
    env["PULSE_STATE_PATH"] = (m_dir / "state").string();
    env["HOME"] = m_dir.string();
    env.erase("DBUS_SESSION_BUS_ADDRESS");
}

bool PulseFixture::WaitForServer(int timeoutMs, const std::string& mustShow) {
    const auto limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < limit) {
        if (m_daemon > 0 && ::waitpid(m_daemon, nullptr, WNOHANG) == m_daemon) {
            m_daemon = -1;
            return false;
        }
        std::string info;
        if (Pactl({"info"}, &info) && info.find(mustShow) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool PulseFixture::Start(std::string* error) {
    if (m_daemon > 0)
        return true;
    std::string why;
    if (!StartServer(&why)) {
        if (error)
            *error = why + "\n" + Log();
        Stop();
        return false;
    }
    ++m_generation;  // the feeder and the reader open the new FIFOs
    if (!m_feeder.joinable()) {
        m_stop = false;
        m_feeder = std::thread([this] { FeedLoop(); });
        m_reader = std::thread([this] { ReadLoop(); });
    }
    return true;
}

bool PulseFixture::StartServer(std::string* why) {
    std::filesystem::create_directories(m_dir / "run");
    std::filesystem::create_directories(m_dir / "state");
    // The pipe modules make their FIFOs themselves and refuse old ones (a
    // killed daemon leaves them behind).
    std::filesystem::remove(m_dir / "mic.fifo");
    std::filesystem::remove(m_dir / "spk.fifo");
    const std::string d = m_dir.string();
    const std::string rate = std::to_string(kRate);
    std::ofstream(m_dir / "default.pa")
        << "load-module module-native-protocol-unix socket=" << d << "/native auth-anonymous=1\n"
        << "load-module module-pipe-source source_name=mic file=" << d
        << "/mic.fifo format=s16le rate=" << rate << " channels=1\n"
        << "load-module module-pipe-sink sink_name=spk file=" << d
        << "/spk.fifo format=s16le rate=" << rate << " channels=1 use_system_clock_for_timing=yes\n"
        << "set-default-source mic\nset-default-sink spk\n";
    std::filesystem::remove(m_dir / "native");
    m_daemon = Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--system=false", "-n",
                      "-F", d + "/default.pa", "--log-target=file:" + d + "/pa.log"},
                     d + "/pa.out");
    if (m_daemon <= 0) {
        *why = "pulseaudio could not be started";
        return false;
    }
    if (!WaitForServer(15000)) {
        *why = "pulseaudio did not answer";
        return false;
    }
    // An idle pipe source stops reading its FIFO: something must record.
    m_drain = Spawn({"parec", "-d", "mic", "--raw"}, "/dev/null");
    return true;
}

void PulseFixture::StopServer(int signal) {
    Reap(m_drain, signal);
    Reap(m_daemon, signal);
}

void PulseFixture::KillDaemon() {
    StopServer(SIGKILL);
}

void PulseFixture::Freeze(bool frozen) {
    if (m_daemon > 0)
        ::kill(m_daemon, frozen ? SIGSTOP : SIGCONT);
}

void PulseFixture::Stop() {
    StopServer(SIGTERM);
    m_stop = true;
    if (m_feeder.joinable())
        m_feeder.join();
    if (m_reader.joinable())
        m_reader.join();
}

void PulseFixture::Export() const {
    setenv("PULSE_SERVER", ServerAddress().c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (m_dir / "run").c_str(), 1);
    setenv("PULSE_STATE_PATH", (m_dir / "state").c_str(), 1);
}

void PulseFixture::Feed(const std::vector<int16_t>& samples) {
    std::lock_guard lock(m_mutex);
    m_toSay.erase(m_toSay.begin(), m_toSay.begin() + std::ptrdiff_t(m_said));
    m_said = 0;
    m_fedAt.reset();
    m_toSay.insert(m_toSay.end(), samples.begin(), samples.end());
}

std::vector<int16_t> PulseFixture::Heard() const {
    std::lock_guard lock(m_mutex);
    return m_heard;
}

size_t PulseFixture::HeardCount() const {
    std::lock_guard lock(m_mutex);
    return m_heard.size();
}

std::optional<Clock::time_point> PulseFixture::FedAt() const {
    std::lock_guard lock(m_mutex);
    return m_fedAt;
}

std::optional<Clock::time_point> PulseFixture::HeardAt(size_t index) const {
    std::lock_guard lock(m_mutex);
    for (const auto& [count, at] : m_heardMarks) {
        if (count > index)
            return at - std::chrono::microseconds(int64_t(count - index) * 1000000 / kRate);
    }
    return std::nullopt;
}

std::string PulseFixture::Log() const {
    return ReadAll(m_dir / "pa.out") + ReadAll(m_dir / "pa.log");
}

int PulseFixture::AddNullSink(const std::string& name, const std::string& description) {
    std::string out;
    if (!Pactl({"load-module", "module-null-sink", "sink_name=" + name,
                "sink_properties=device.description=" + description},
               &out))
        return -1;
    try {
        return std::stoi(out);
    } catch (...) {
        return -1;
    }
}

bool PulseFixture::UnloadModule(int index) {
    return Pactl({"unload-module", std::to_string(index)});
}

// The microphone speaks in real time, 20 ms at a time: a sound card's
// period, and what a daemon's pipe source passes on as one piece. Opened read-write so
// that it never blocks and survives the daemon going away; what the pipe
// cannot take while nobody reads is dropped.
//
// The FIFO stands for the card's capture buffer, which holds a period or two,
// not the silence of seconds past. A pipe source that reads one quantum per
// cycle (PipeWire's) never catches up on what piled up there while its graph
// started or stalled, so new speech would wait behind a backlog of a length
// left to chance; it starts instead behind at most one period of it.
void PulseFixture::FeedLoop() {
    int fd = -1;
    int opened = 0;
    constexpr int kChunk = kRate / 50;
    std::vector<int16_t> chunk(kChunk);
    std::vector<char> spill(4096);
    auto next = Clock::now();
    pthread_setname_np(pthread_self(), "fixture-feed");
    while (!m_stop) {
        bool fresh = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_said == 0 && !m_toSay.empty() && !m_fedAt) {
                m_fedAt = Clock::now();
                fresh = true;
            }
            for (int k = 0; k < kChunk; ++k)
                chunk[k] = m_said < m_toSay.size() ? m_toSay[m_said++] : 0;
        }
        if (opened != m_generation) {
            if (fd >= 0)
                ::close(fd);
            opened = m_generation;
            fd = ::open((m_dir / "mic.fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd >= 0) {
            int held = 0;
            if (fresh && ::ioctl(fd, FIONREAD, &held) == 0 && held > 2 * kChunk) {
                size_t drop = size_t(held - 2 * kChunk) & ~size_t(1);
                while (drop > 0) {
                    const ssize_t n = ::read(fd, spill.data(), std::min(drop, spill.size()));
                    if (n <= 0)
                        break;
                    drop -= size_t(n);
                }
            }
            [[maybe_unused]] ssize_t w = ::write(fd, chunk.data(), chunk.size() * 2);
        }
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
    }
    if (fd >= 0)
        ::close(fd);
}

void PulseFixture::ReadLoop() {
    int fd = -1;
    int opened = 0;
    std::vector<char> buffer(65536);
    std::vector<char> odd;
    pthread_setname_np(pthread_self(), "fixture-read");
    while (!m_stop) {
        if (opened != m_generation) {
            if (fd >= 0)
                ::close(fd);
            opened = m_generation;
            odd.clear();
            fd = ::open((m_dir / "spk.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // Whatever the sink's own pace, the loudspeaker is emptied every
        // 20 ms (the pipe holds far more than that).
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            // No writer (the daemon is gone) or nothing yet.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        odd.insert(odd.end(), buffer.begin(), buffer.begin() + n);
        const size_t whole = odd.size() / 2;
        std::lock_guard lock(m_mutex);
        const size_t at = m_heard.size();
        m_heard.resize(at + whole);
        std::memcpy(m_heard.data() + at, odd.data(), whole * 2);
        m_heardMarks.emplace_back(m_heard.size(), Clock::now());
        odd.erase(odd.begin(), odd.begin() + std::ptrdiff_t(whole * 2));
    }
    if (fd >= 0)
        ::close(fd);
}

}  // namespace kestrona::testing
