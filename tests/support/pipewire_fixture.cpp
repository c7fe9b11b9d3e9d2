#include "support/pipewire_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrona::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Until `path` exists or the process has ended or the time is up.
bool WaitForPath(const std::filesystem::path& path, pid_t pid, int timeoutMs) {
    const auto limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < limit) {
        if (std::filesystem::exists(path))
            return true;
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

PipeWireFixture::PipeWireFixture(std::filesystem::path dir) : PulseFixture(std::move(dir)) {}

PipeWireFixture::~PipeWireFixture() {
    Stop();
}

std::string PipeWireFixture::ServerAddress() const {
    return "unix:" + (RuntimeDir() / "pulse" / "native").string();
}

std::string PipeWireFixture::Log() const {
    std::string all;
    for (const char* name : {"dbus.log", "pipewire.log", "wireplumber.log", "pipewire-pulse.log"})
        all += std::string("--- ") + name + "\n" + ReadFile(m_dir / name);
    return all;
}

void PipeWireFixture::AdjustEnvironment(std::map<std::string, std::string>& env) const {
    // A session of its own: nothing of the user's desktop is reached.
    env["XDG_RUNTIME_DIR"] = RuntimeDir().string();
    env["XDG_CONFIG_HOME"] = (m_dir / "config").string();
    env["XDG_STATE_HOME"] = (m_dir / "state").string();
    env["XDG_DATA_HOME"] = (m_dir / "data").string();
    env["HOME"] = m_dir.string();
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (m_dir / "bus").string();
    env["PULSE_SERVER"] = ServerAddress();
    env.erase("PULSE_RUNTIME_PATH");
    env.erase("PULSE_STATE_PATH");
    env.erase("PIPEWIRE_RUNTIME_DIR");
    env.erase("PIPEWIRE_REMOTE");
    env.erase("DISPLAY");
    env.erase("WAYLAND_DISPLAY");
}

bool PipeWireFixture::StartStack(std::string* why) {
    const std::string d = m_dir.string();
    std::filesystem::create_directories(RuntimeDir());
    ::chmod(RuntimeDir().c_str(), 0700);
    const auto dropIn = m_dir / "config" / "pipewire" / "pipewire.conf.d";
    std::filesystem::create_directories(dropIn);
    std::filesystem::create_directories(m_dir / "state");
    const std::string format = " audio.format = S16LE audio.rate = " + std::to_string(kRate) +
                               " audio.channels = 1 audio.position = [ MONO ]";
    // The graph's step is a desktop's: 1024 frames, or less while a stream
    // asks for less (a call's 20 ms streams get 512), never more than 2048.
    std::ofstream(dropIn / "kestrona-test.conf")
        << "context.properties = {\n"
        << "  default.clock.quantum = 1024\n"
        << "  default.clock.min-quantum = 16\n"
        << "  default.clock.max-quantum = 2048\n"
        << "}\n"
        << "context.modules = [\n"
        << "  { name = libpipewire-module-pipe-tunnel\n"
        << "    args = { tunnel.mode = source pipe.filename = \"" << d << "/mic.fifo\"" << format
        << "\n      stream.props = { node.name = \"mic\" node.description = \"Test microphone\" }"
        << " } }\n"
        << "  { name = libpipewire-module-pipe-tunnel\n"
        << "    args = { tunnel.mode = sink pipe.filename = \"" << d << "/spk.fifo\"" << format
        << "\n      stream.props = { node.name = \"spk\" node.description = \"Test loudspeaker\" }"
        << " } }\n"
        << "]\n";

    std::filesystem::remove(m_dir / "bus");
    m_bus = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                   "--address=unix:path=" + d + "/bus"},
                  d + "/dbus.log");
    if (m_bus <= 0 || !WaitForPath(m_dir / "bus", m_bus, 10000)) {
        *why = "dbus-daemon did not start";
        return false;
    }
    std::filesystem::remove(RuntimeDir() / "pipewire-0");
    std::filesystem::remove(RuntimeDir() / "pipewire-0.lock");
    m_pipewire = Spawn({"pipewire"}, d + "/pipewire.log");
    if (m_pipewire <= 0 || !WaitForPath(RuntimeDir() / "pipewire-0", m_pipewire, 10000)) {
        *why = "pipewire did not start";
        return false;
    }
    m_session = Spawn({"wireplumber"}, d + "/wireplumber.log");
    if (m_session <= 0) {
        *why = "wireplumber could not be started";
        return false;
    }
    return true;
}

bool PipeWireFixture::StartServer(std::string* why) {
    if (m_pipewire <= 0 && !StartStack(why))
        return false;
    std::filesystem::remove(RuntimeDir() / "pulse" / "native");
    m_daemon = Spawn({"pipewire-pulse"}, m_dir.string() + "/pipewire-pulse.log");
    if (m_daemon <= 0) {
        *why = "pipewire-pulse could not be started";
        return false;
    }
    // Ready once the session manager has made the FIFO devices the defaults.
    if (!WaitForServer(20000, "Default Sink: spk") || !WaitForServer(5000, "Default Source: mic")) {
        *why = "pipewire-pulse did not answer with the test devices";
        return false;
    }
    // The recorder asks for the graph's default quantum: with pw-record's
    // own default (100 ms) the whole graph would run in the largest steps
    // it allows, which no desktop with a sound card does.
    if (m_drain <= 0)
        m_drain = Spawn({"pw-record", "--target", "mic", "--rate", std::to_string(kRate),
                         "--channels", "1", "--latency", "1024", "-"},
                        "/dev/null");
    return true;
}

void PipeWireFixture::KillDaemon() {
    Reap(m_daemon, SIGKILL);
}

void PipeWireFixture::StopServer(int signal) {
    Reap(m_drain, signal);
    Reap(m_daemon, signal);
    Reap(m_session, signal);
    Reap(m_pipewire, signal);
    Reap(m_bus, signal);
}

}  // namespace kestrona::testing
