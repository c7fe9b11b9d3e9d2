// What the directory server's benchmarks share: a kestrona-server started
// on a port of its choosing, and the CPU that processes used, from /proc.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace kestrona::bench {

using Bytes = std::vector<std::uint8_t>;

// A record of `size` zero bytes that begins with its command word.
inline Bytes Record(std::string_view word, std::size_t size) {
    Bytes r(size, 0);
    std::memcpy(r.data(), word.data(), word.size());
    return r;
}

inline bool StartsWith(const Bytes& reply, std::string_view word) {
    return reply.size() >= word.size() && std::memcmp(reply.data(), word.data(), word.size()) == 0;
}

// One whole exchange on loopback as a phone makes it (connect, the 6-byte
// greeting, the request, everything until the server closes); the reply,
// empty on failure. Each read waits 5 s at the most.
inline Bytes Exchange(std::uint16_t port, const Bytes& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bytes reply;
    std::uint8_t buffer[512];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        constexpr std::size_t kGreeting = 6;
        std::size_t got = 0;
        while (got < kGreeting) {
            ssize_t n = ::recv(fd, buffer + got, kGreeting - got, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (got == kGreeting && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                                    static_cast<ssize_t>(request.size())) {
            for (;;) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                reply.insert(reply.end(), buffer, buffer + n);
            }
        }
    }
    ::close(fd);
    return reply;
}

// The fields of /proc/PID/stat behind the command name (which may hold
// blanks and parentheses itself); empty when the process is gone.
inline std::string StatFields(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        return {};
    }
    char buffer[1024];
    std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    buffer[n] = 0;
    const char* p = std::strrchr(buffer, ')');
    return p && p[1] ? std::string(p + 2) : std::string();
}

// CPU seconds (user and system) a process has used so far; 0 when gone.
inline double CpuSeconds(pid_t pid) {
    unsigned long long utime = 0, stime = 0;
    // Fields 14 and 15 (utime, stime) of the whole line.
    std::sscanf(StatFields(pid).c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The parent of a process; 0 when gone.
inline pid_t ParentOf(pid_t pid) {
    int ppid = 0;
    return std::sscanf(StatFields(pid).c_str(), "%*c %d", &ppid) == 1 ? ppid : 0;
}

// CPU seconds of a PostgreSQL daemon and the processes it started.
inline double ClusterCpuSeconds(pid_t postmaster) {
    double sum = CpuSeconds(postmaster);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name[0] < '0' || name[0] > '9') {
            continue;
        }
        pid_t pid = static_cast<pid_t>(std::stol(name));
        if (ParentOf(pid) == postmaster) {
            sum += CpuSeconds(pid);
        }
    }
    return sum;
}

struct SpawnedServer {
    pid_t pid = 0;
    std::uint16_t port = 0;  // 0: it did not say where it listens
};

// Starts the server with these arguments (the program first, "--port 0"
// among them) and reads the port from the first line it writes.
inline SpawnedServer SpawnServer(std::vector<std::string> args) {
    SpawnedServer server;
    int err_pipe[2];
    if (::pipe(err_pipe) != 0) {
        return server;
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    if (posix_spawn(&server.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        server.pid = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(err_pipe[1]);
    std::FILE* err = ::fdopen(err_pipe[0], "r");
    char line[512];
    if (server.pid > 0 && std::fgets(line, sizeof line, err)) {
        std::cmatch m;
        if (std::regex_search(line, m,
                              std::regex("^kestrona-server: listening on .* port ([0-9]+),"))) {
            server.port = static_cast<std::uint16_t>(std::stoi(m[1]));
        } else {
            std::fprintf(stderr, "%s", line);
        }
    }
    std::fclose(err);
    return server;
}

// SIGTERM, then the wait for its end.
inline void StopSpawned(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = 0;
    }
}

}  // namespace kestrona::bench
