#include "support/sway_fixture.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrona::test {
namespace {

constexpr const char* kSway = "/usr/bin/sway";
constexpr const char* kSwaymsg = "/usr/bin/swaymsg";
constexpr const char* kGrim = "/usr/bin/grim";
constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr const char* kTimeout = "/usr/bin/timeout";
constexpr const char* kAccount = "nobody";

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

}  // namespace

std::string SwaySession::Missing() {
    for (const char* binary : {kSway, kSwaymsg, kGrim, kSetpriv, kTimeout}) {
        if (::access(binary, X_OK) != 0) {
            return std::string(binary) + " is not installed";
        }
    }
    if (::geteuid() == 0 && !::getpwnam(kAccount)) {
        return std::string("no account named ") + kAccount;
    }
    return {};
}

SwaySession::~SwaySession() {
    Stop();
}

bool SwaySession::Start(int width, int height, double scale, unsigned colour) {
    if (m_dir.Path().empty()) {
        m_error = "no temporary folder";
        return false;
    }
    m_runtime = m_dir.Path() / "runtime";
    m_logicalWidth = static_cast<int>(width / scale);
    m_logicalHeight = static_cast<int>(height / scale);
    std::filesystem::create_directories(m_runtime);
    const passwd* account = ::geteuid() == 0 ? ::getpwnam(kAccount) : nullptr;
    // The compositor's account owns its runtime folder and nobody else may
    // enter it (libwayland checks); root's clients still reach the socket.
    ::chmod(m_runtime.c_str(), 0700);
    if (account && ::chown(m_runtime.c_str(), account->pw_uid, account->pw_gid) != 0) {
        m_error = "cannot hand the runtime folder to " + std::string(kAccount);
        return false;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06X", colour & 0xFFFFFF);
    std::ostringstream config;
    config << "output HEADLESS-1 resolution " << width << "x" << height << " position 0 0 scale "
           << scale << "\n"
           << "output * bg #" << hex << " solid_color\n"
           << "default_border none\n"
           << "default_floating_border none\n"
           << "for_window [title=\".*\"] floating enable\n"
           << "focus_follows_mouse no\n"
           << "xwayland disable\n";
    const auto configPath = m_dir.Path() / "config";
    std::ofstream(configPath) << config.str();
    ::chmod(configPath.c_str(), 0644);
    ::chmod(m_dir.Path().c_str(), 0755);

    std::vector<std::string> argv;
    if (account) {
        argv = {kSetpriv,
                std::string("--reuid=") + kAccount,
                "--regid=" + std::to_string(account->pw_gid),
                "--clear-groups",
                "--pdeathsig",
                "SIGTERM"};
    }
    const std::string home = m_runtime.string();
    argv.insert(argv.end(), {"/usr/bin/env", "-i", "XDG_RUNTIME_DIR=" + home, "HOME=" + home,
                             "PATH=/usr/bin:/bin", "WLR_BACKENDS=headless",
                             "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                             "WLR_HEADLESS_OUTPUTS=1", kSway, "-c", configPath.string()});
    if (!m_process.Start(argv, m_dir.Path() / "sway.log")) {
        m_error = "sway did not start";
        return false;
    }
    // Ready once its socket and its IPC answer.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (!Display().empty() &&
            Message({"-t", "get_outputs"}).find("HEADLESS-1") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    m_error = "sway did not come up:\n" + Log();
    Stop();
    return false;
}

void SwaySession::Stop() {
    m_process.Stop();
}

std::string SwaySession::Display() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_runtime, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) {
            return entry.path().string();
        }
    }
    return {};
}

std::string SwaySession::Run(std::vector<std::string> argv, int* status) const {
    // Every helper is bounded: a compositor that stopped answering fails
    // the test, it does not hang it.
    std::string command = std::string(kTimeout) +
                          " 10 /usr/bin/env WAYLAND_DISPLAY=" + Quote(Display()) +
                          " XDG_RUNTIME_DIR=" + Quote(m_runtime.string());
    for (const std::string& a : argv) {
        command += " " + Quote(a);
    }
    command += " 2>&1";
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
            out.append(buffer, n);
        }
        const int s = ::pclose(p);
        if (status) {
            *status = s;
        }
    }
    return out;
}

std::string SwaySession::Message(const std::vector<std::string>& args) const {
    std::error_code ec;
    std::string socket;
    for (const auto& entry : std::filesystem::directory_iterator(m_runtime, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("sway-ipc.", 0) == 0) {
            socket = entry.path().string();
        }
    }
    if (socket.empty()) {
        return {};
    }
    std::vector<std::string> argv{kSwaymsg, "-s", socket};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

bool SwaySession::Screenshot(const std::filesystem::path& png) const {
    int status = -1;
    Run({kGrim, "-o", "HEADLESS-1", png.string()}, &status);
    return status == 0 && std::filesystem::exists(png);
}

bool SwaySession::Press(const std::string& program, int x, int y) const {
    int status = -1;
    Run({program, std::to_string(x), std::to_string(y), std::to_string(m_logicalWidth),
         std::to_string(m_logicalHeight)},
        &status);
    return status == 0;
}

std::unique_ptr<ChildProcess> SwaySession::Hover(const std::string& program, int x, int y,
                                                 int ms) const {
    auto process = std::make_unique<ChildProcess>();
    if (!process->Start({"/usr/bin/env", "WAYLAND_DISPLAY=" + Display(), program, std::to_string(x),
                         std::to_string(y), std::to_string(m_logicalWidth),
                         std::to_string(m_logicalHeight), std::to_string(ms)},
                        m_dir.Path() / "pointer.log")) {
        return nullptr;
    }
    return process;
}

std::string SwaySession::Log() const {
    std::ifstream in(m_dir.Path() / "sway.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace kestrona::test
