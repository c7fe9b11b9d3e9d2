// kestrona-server as a child process of a test, on a database of its own
// choosing.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrona::server::test {

// One server process on a database; port 0 picks a free port, which a
// restart can then ask for again.
class ServerProcess {
  public:
    ServerProcess(const std::string& db, std::uint16_t port = 0,
                  const std::vector<std::string>& extra = {})
        : ServerProcess(std::vector<std::string>{KESTRONA_SERVER_BINARY}, db, port, extra) {}
    // program: the server's path, or a command that runs it (another
    // release, another user).
    ServerProcess(const std::vector<std::string>& program, const std::string& db,
                  std::uint16_t port = 0, const std::vector<std::string>& extra = {}) {
        int err_pipe[2];
        if (::pipe(err_pipe) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
        posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
        std::vector<std::string> args = program;
        args.insert(args.end(), {"--db", db, "--listen", "127.0.0.1", "--port",
                                 std::to_string(port), "--minimum-hash-cost", "--quiet"});
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(err_pipe[1]);
        err_ = ::fdopen(err_pipe[0], "r");
        char line[512];
        if (pid_ > 0 && std::fgets(line, sizeof line, err_)) {
            std::cmatch m;
            if (std::regex_search(line, m,
                                  std::regex("^kestrona-server: listening on .* port ([0-9]+),"))) {
                port_ = static_cast<std::uint16_t>(std::stoi(m[1]));
            }
            first_line_ = line;
        }
        // The rest is read as it comes: a pipe left full would stop the
        // server at its next line of log, in the middle of whatever it does.
        if (err_) {
            drain_ = std::thread([this] { Drain(); });
        }
    }
    ~ServerProcess() { Stop(SIGTERM); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // SIGKILL: a crash, with no chance to tidy up.
    void Stop(int signal) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        draining_ = false;
        if (drain_.joinable()) {
            drain_.join();
        }
        if (err_) {
            std::fclose(err_);
            err_ = nullptr;
        }
    }

    // The last lines the server wrote after its first (at most 16 KiB).
    std::string LogTail() const {
        std::lock_guard lock(tail_mutex_);
        return tail_;
    }

    // The exit status of a server that stopped by itself (a refused
    // start), waiting up to seconds; -1 when it still runs (then it is
    // stopped) or was ended by a signal.
    int ExitStatus(int seconds = 10) {
        for (int i = 0; i < seconds * 10 && !Reaped(); ++i) {
            ::usleep(100'000);
        }
        if (!status_) {
            Stop(SIGKILL);
            return -1;
        }
        return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }

    // Whether the server still runs, and how it ended when not.
    std::string State() {
        if (!Reaped()) {
            return pid_ > 0 ? "running as process " + std::to_string(pid_) : "not started";
        }
        return WIFEXITED(*status_) ? "exited with status " + std::to_string(WEXITSTATUS(*status_))
                                   : "ended by signal " + std::to_string(WTERMSIG(*status_));
    }

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& first_line() const { return first_line_; }

  private:
    // True once the server has ended by itself; it is reaped then, and its
    // status kept.
    bool Reaped() {
        int status = 0;
        if (!status_ && pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            pid_ = -1;
        }
        return status_.has_value();
    }

    // Until the end of the pipe, or Stop; a process the server left behind
    // that holds the pipe open keeps nobody waiting.
    void Drain() {
        const int fd = ::fileno(err_);
        char buffer[4096];
        while (draining_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            std::lock_guard lock(tail_mutex_);
            tail_.append(buffer, static_cast<std::size_t>(n));
            if (tail_.size() > 16384) {
                tail_.erase(0, tail_.size() - 16384);
            }
        }
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::FILE* err_ = nullptr;
    std::thread drain_;
    std::atomic<bool> draining_{true};
    mutable std::mutex tail_mutex_;
    std::string tail_;
    std::uint16_t port_ = 0;
    std::string first_line_;
};

}  // namespace kestrona::server::test
