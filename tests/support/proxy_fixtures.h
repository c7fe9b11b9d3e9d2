// Proxies on loopback for tests: real tinyproxy and squid (HTTP CONNECT) and
// dante (SOCKS5 with BIND) started on free ports with their configuration in
// a temporary folder, small scripted SOCKS5 and HTTP proxies whose answers a
// test chooses, and a proxy that never answers. Plain C++ and POSIX, no Qt. Every object stops what
// it started when it goes out of scope.
#pragma once

#include <sys/types.h>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrona::test {

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();
// Tries to connect to 127.0.0.1:port until it works or timeoutMs pass.
bool WaitForPort(int port, int timeoutMs);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// A child process whose output goes to a log file; ended with SIGTERM (and
// SIGKILL when it lingers) by Stop or the destructor, and by the kernel when
// the test process dies.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Start(const std::vector<std::string>& argv, const std::filesystem::path& log);
    void Stop();
    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

  private:
    pid_t m_pid = -1;
};

class TinyproxyProcess {
  public:
    static constexpr const char* kBinary = "/usr/bin/tinyproxy";
    static bool Available();
    // Allows CONNECT to any port from 127.0.0.1.
    bool Start();
    // A started proxy for a whole test suite (the caller deletes it), or null
    // when tinyproxy is not installed or does not start.
    static TinyproxyProcess* StartForSuite();
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    std::string Log() const;

  private:
    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
};

// squid answers CONNECT with an HTTP/1.1 status line in a chunk of its own.
class SquidProcess {
  public:
    static constexpr const char* kBinary = "/usr/sbin/squid";
    static bool Available();
    // Allows CONNECT to any port from loopback; caches nothing.
    bool Start();
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    std::string Log() const;

  private:
    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
};

class DantedProcess {
  public:
    static constexpr const char* kBinary = "/usr/sbin/danted";
    static bool Available();
    // userMethod: RFC 1929 user name and password checked against the
    // system's accounts; else no authentication. BIND, CONNECT and the bind
    // reply are allowed from and to loopback.
    bool Start(bool userMethod = false);
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    std::string Log() const;

  private:
    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
};

// A throwaway system account (root only), removed again by the destructor.
class SystemAccount {
  public:
    SystemAccount() = default;
    ~SystemAccount();
    SystemAccount(const SystemAccount&) = delete;
    SystemAccount& operator=(const SystemAccount&) = delete;
    static bool CanCreate();  // running as root with useradd present
    bool Create(const std::string& name, const std::string& password);
    const std::string& Name() const { return m_name; }

  private:
    std::string m_name;
};

// A SOCKS5 proxy that follows a script, for the method selection and the
// failure paths. It serves one client connection after another on its own
// thread and records what each client sent.
class ScriptedSocks5Proxy {
  public:
    struct Script {
        uint8_t replyVersion = 5;
        uint8_t method = 0x00;      // answer to the greeting: 00, 02 or FF
        uint8_t authStatus = 0x00;  // answer to the RFC 1929 request
        uint8_t bindStatus = 0x00;  // REP of the first BIND reply
        uint16_t bindPort = 40000;  // BND.PORT of the first BIND reply
        // When set, a second BIND reply (05 00 00 01 ...) follows after this
        // many milliseconds, as if a peer had connected.
        int secondReplyAfterMs = -1;
        // When set (and no second reply is due), the proxy ends the session
        // this many milliseconds after the BIND reply.
        int closeAfterBindMs = -1;
    };
    struct Session {
        std::vector<uint8_t> greeting;
        std::vector<uint8_t> auth;
        std::vector<uint8_t> bind;
        std::vector<uint8_t> beforePeer;  // sent before the second reply
        std::vector<uint8_t> afterBind;   // whatever the client sent later
    };

    ScriptedSocks5Proxy() = default;
    ~ScriptedSocks5Proxy();
    ScriptedSocks5Proxy(const ScriptedSocks5Proxy&) = delete;
    ScriptedSocks5Proxy& operator=(const ScriptedSocks5Proxy&) = delete;

    bool Start(const Script& script);
    void Stop();
    int Port() const { return m_port; }
    std::vector<Session> Sessions() const;

  private:
    void Serve();
    void ServeClient(int fd);

    Script m_script;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Session> m_sessions;
};

// An HTTP proxy that answers every CONNECT request with the same bytes and
// then keeps the connection open without relaying anything.
class ScriptedHttpProxy {
  public:
    explicit ScriptedHttpProxy(std::string answer);
    ~ScriptedHttpProxy();
    ScriptedHttpProxy(const ScriptedHttpProxy&) = delete;
    ScriptedHttpProxy& operator=(const ScriptedHttpProxy&) = delete;
    int Port() const { return m_port; }
    // The requests received so far, one per connection, in arrival order.
    std::vector<std::string> Requests() const;

  private:
    void Serve();

    std::string m_answer;
    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

// Takes connections and never sends a byte: a proxy that stopped answering.
class SilentProxy {
  public:
    SilentProxy();
    ~SilentProxy();
    SilentProxy(const SilentProxy&) = delete;
    SilentProxy& operator=(const SilentProxy&) = delete;
    int Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }

  private:
    void Serve();

    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

}  // namespace kestrona::test
