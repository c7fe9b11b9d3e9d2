#include "support/proxy_fixtures.h"
#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kestrona::test {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Reads what one packet-sized recv gives, waiting at most timeoutMs.
std::vector<uint8_t> RecvSome(int fd, int timeoutMs, const std::atomic<bool>& stop) {
    std::vector<uint8_t> data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stop && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t buffer[600];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            data.assign(buffer, buffer + n);
        break;
    }
    return data;
}

}  // namespace

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a = LoopbackAddress(0);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t len = sizeof a;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

bool WaitForPort(int port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(port);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok)
            return true;
        ::usleep(20000);
    }
    return false;
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrona-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()))
        m_path = pattern;
    // Daemons that drop privileges must still reach their log files.
    if (!m_path.empty())
        ::chmod(m_path.c_str(), 0777);
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    if (m_pid > 0 || argv.empty())
        return false;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    m_pid = pid;
    return true;
}

void ChildProcess::Stop() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        ::usleep(10000);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

bool TinyproxyProcess::Available() {
    return ::access(kBinary, X_OK) == 0;
}

bool TinyproxyProcess::Start() {
    if (m_dir.Path().empty())
        return false;
    m_port = FreeLoopbackPort();
    const auto dir = m_dir.Path();
    std::ostringstream conf;
    conf << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n"
         << "LogFile \"" << (dir / "tinyproxy.log").string() << "\"\n"
         << "PidFile \"" << (dir / "tinyproxy.pid").string() << "\"\n";
    WriteFile(dir / "tinyproxy.conf", conf.str());
    if (!m_process.Start({kBinary, "-d", "-c", (dir / "tinyproxy.conf").string()},
                         dir / "tinyproxy.out"))
        return false;
    return WaitForPort(m_port, 10000);
}

TinyproxyProcess* TinyproxyProcess::StartForSuite() {
    if (!Available())
        return nullptr;
    auto* proxy = new TinyproxyProcess;
    if (!proxy->Start()) {
        delete proxy;
        return nullptr;
    }
    return proxy;
}

std::string TinyproxyProcess::Log() const {
    return ReadFile(m_dir.Path() / "tinyproxy.log") + ReadFile(m_dir.Path() / "tinyproxy.out");
}

bool SquidProcess::Available() {
    return ::access(kBinary, X_OK) == 0;
}

bool SquidProcess::Start() {
    if (m_dir.Path().empty())
        return false;
    m_port = FreeLoopbackPort();
    const auto dir = m_dir.Path().string();
    std::ostringstream conf;
    conf << "http_port 127.0.0.1:" << m_port << "\n"
         << "acl lo src 127.0.0.0/8\nhttp_access allow lo\nhttp_access deny all\n"
         << "cache deny all\n"
         << "access_log stdio:" << dir << "/squid-access.log\n"
         << "cache_log " << dir << "/squid-cache.log\n"
         << "pid_filename " << dir << "/squid.pid\n"
         << "coredump_dir " << dir << "\nshutdown_lifetime 1 seconds\n";
    WriteFile(m_dir.Path() / "squid.conf", conf.str());
    if (!m_process.Start({kBinary, "-N", "-f", (m_dir.Path() / "squid.conf").string()},
                         m_dir.Path() / "squid.out"))
        return false;
    return WaitForPort(m_port, 20000);
}

std::string SquidProcess::Log() const {
    return ReadFile(m_dir.Path() / "squid-cache.log") + ReadFile(m_dir.Path() / "squid.out");
}

bool DantedProcess::Available() {
    return ::access(kBinary, X_OK) == 0;
}

bool DantedProcess::Start(bool userMethod) {
    if (m_dir.Path().empty())
        return false;
    m_port = FreeLoopbackPort();
    const auto dir = m_dir.Path();
    std::ostringstream conf;
    conf << "logoutput: " << (dir / "danted.log").string() << "\n"
         << "internal: 127.0.0.1 port = " << m_port << "\n"
         << "external: 127.0.0.1\n"
         << "socksmethod: " << (userMethod ? "username" : "none") << "\n"
         << "clientmethod: none\n";
    // Switching users is only possible (and only needed to read the password
    // database) when the tests run as root.
    if (::geteuid() == 0)
        conf << "user.privileged: root\nuser.unprivileged: nobody\n";
    conf << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0\n    log: connect disconnect error\n}\n"
         << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: bind connect bindreply\n    "
            "log: connect disconnect error\n}\n";
    WriteFile(dir / "danted.conf", conf.str());
    if (!m_process.Start(
            {kBinary, "-f", (dir / "danted.conf").string(), "-p", (dir / "danted.pid").string()},
            dir / "danted.out"))
        return false;
    return WaitForPort(m_port, 10000);
}

std::string DantedProcess::Log() const {
    return ReadFile(m_dir.Path() / "danted.log") + ReadFile(m_dir.Path() / "danted.out");
}

bool SystemAccount::CanCreate() {
    return ::geteuid() == 0 && ::access("/usr/sbin/useradd", X_OK) == 0 &&
           ::access("/usr/sbin/chpasswd", X_OK) == 0;
}

bool SystemAccount::Create(const std::string& name, const std::string& password) {
    if (!m_name.empty() || !CanCreate())
        return false;
    const std::string add =
        "/usr/sbin/useradd -M -s /usr/sbin/nologin " + name + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0)
        return false;
    m_name = name;
    const std::string set =
        "echo '" + name + ":" + password + "' | /usr/sbin/chpasswd >/dev/null 2>&1";
    return std::system(set.c_str()) == 0;
}

SystemAccount::~SystemAccount() {
    if (m_name.empty())
        return;
    const std::string del = "/usr/sbin/userdel " + m_name + " >/dev/null 2>&1";
    [[maybe_unused]] const int rc = std::system(del.c_str());
}

ScriptedSocks5Proxy::~ScriptedSocks5Proxy() {
    Stop();
}

bool ScriptedSocks5Proxy::Start(const Script& script) {
    m_script = script;
    m_port = 0;
    m_listenFd = ListenLoopback(m_port, 8);
    if (m_listenFd < 0)
        return false;
    m_stop = false;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void ScriptedSocks5Proxy::Stop() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

std::vector<ScriptedSocks5Proxy::Session> ScriptedSocks5Proxy::Sessions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions;
}

void ScriptedSocks5Proxy::Serve() {
    std::vector<std::thread> clients;
    while (!m_stop) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept(m_listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        clients.emplace_back([this, fd] { ServeClient(fd); });
    }
    for (std::thread& t : clients) t.join();
}

void ScriptedSocks5Proxy::ServeClient(int fd) {
    size_t index;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        index = m_sessions.size();
        m_sessions.emplace_back();
    }
    auto record = [&](auto member, const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& field = m_sessions[index].*member;
        field.insert(field.end(), bytes.begin(), bytes.end());
    };
    const Script& s = m_script;
    auto greeting = RecvSome(fd, 5000, m_stop);
    record(&Session::greeting, greeting);
    const uint8_t choice[2] = {s.replyVersion, s.method};
    if (greeting.empty() || !SendAll(fd, choice, 2) || s.method == 0xFF || s.replyVersion != 5) {
        // Give the client time to read the refusal before the close.
        RecvSome(fd, 300, m_stop);
        ::close(fd);
        return;
    }
    if (s.method == 0x02) {
        auto auth = RecvSome(fd, 5000, m_stop);
        record(&Session::auth, auth);
        const uint8_t status[2] = {0x01, s.authStatus};
        SendAll(fd, status, 2);
        if (s.authStatus != 0) {
            RecvSome(fd, 300, m_stop);
            ::close(fd);
            return;
        }
    }
    auto bind = RecvSome(fd, 5000, m_stop);
    record(&Session::bind, bind);
    const uint8_t reply[10] = {0x05,
                               s.bindStatus,
                               0x00,
                               0x01,
                               127,
                               0,
                               0,
                               1,
                               static_cast<uint8_t>(s.bindPort >> 8),
                               static_cast<uint8_t>(s.bindPort & 0xFF)};
    SendAll(fd, reply, sizeof reply);
    if (s.secondReplyAfterMs >= 0) {
        record(&Session::beforePeer, RecvSome(fd, s.secondReplyAfterMs, m_stop));
        const uint8_t second[10] = {0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x9C, 0x41};
        SendAll(fd, second, sizeof second);
    } else if (s.closeAfterBindMs >= 0) {
        RecvSome(fd, s.closeAfterBindMs, m_stop);
        ::close(fd);
        return;
    }
    while (!m_stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t buffer[1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        record(&Session::afterBind, std::vector<uint8_t>(buffer, buffer + n));
    }
    ::close(fd);
}

ScriptedHttpProxy::ScriptedHttpProxy(std::string answer) : m_answer(std::move(answer)) {
    m_listenFd = ListenLoopback(m_port, 8);
    m_thread = std::thread([this] { Serve(); });
}

ScriptedHttpProxy::~ScriptedHttpProxy() {
    m_stop = true;
    m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

std::vector<std::string> ScriptedHttpProxy::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void ScriptedHttpProxy::Serve() {
    std::vector<int> open;
    std::vector<std::string> partial;
    while (!m_stop && m_listenFd >= 0) {
        std::vector<pollfd> fds{{m_listenFd, POLLIN, 0}};
        for (int fd : open) fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                open.push_back(fd);
                partial.emplace_back();
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[1024];
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            std::string& request = partial[i - 1];
            if (n <= 0 || request.size() > 65536)
                continue;
            const bool complete = request.find("\r\n\r\n") != std::string::npos;
            request.append(buffer, size_t(n));
            if (!complete && request.find("\r\n\r\n") != std::string::npos) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_requests.push_back(request);
                }
                SendAll(fds[i].fd, m_answer.data(), m_answer.size());
            }
        }
    }
    for (int fd : open) ::close(fd);
}

SilentProxy::SilentProxy() {
    m_listenFd = ListenLoopback(m_port, 8);
    m_thread = std::thread([this] { Serve(); });
}

SilentProxy::~SilentProxy() {
    m_stop = true;
    m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void SilentProxy::Serve() {
    std::vector<int> held;
    while (!m_stop && m_listenFd >= 0) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            held.push_back(fd);
            ++m_accepted;
        }
    }
    for (int fd : held) ::close(fd);
}

}  // namespace kestrona::test
