#include "support/delay_relay.h"
#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <list>
#include <vector>

namespace kestrona::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Held {
    Clock::time_point release;
    std::string bytes;
};

struct Pair {
    int client = -1;
    int target = -1;
    std::deque<Held> toClient;
    bool targetEnded = false;
    bool held = false;  // this connection's reply has been held back
    bool dead = false;

    ~Pair() {
        if (client >= 0) {
            ::close(client);
        }
        if (target >= 0) {
            ::close(target);
        }
    }
};

}  // namespace

DelayRelay::~DelayRelay() {
    Stop();
}

bool DelayRelay::Start(int targetPort, std::string delayedPrefix, int delayMs) {
    m_targetPort = targetPort;
    m_prefix = std::move(delayedPrefix);
    m_delayMs = delayMs;
    m_port = 0;
    m_listenFd = ListenLoopback(m_port, 64);
    if (m_listenFd < 0 || ::pipe2(m_wakeFds, O_CLOEXEC) != 0) {
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void DelayRelay::Stop() {
    if (m_thread.joinable()) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
        m_thread.join();
    }
    for (int* fd : {&m_listenFd, &m_wakeFds[0], &m_wakeFds[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void DelayRelay::Run() {
    std::list<Pair> pairs;
    for (;;) {
        // Hand on what is due; the next due chunk bounds the wait.
        const auto now = Clock::now();
        int waitMs = 200;
        for (Pair& p : pairs) {
            while (!p.toClient.empty() && p.toClient.front().release <= now) {
                if (!SendAll(p.client, p.toClient.front().bytes)) {
                    p.dead = true;
                }
                p.toClient.pop_front();
            }
            if (p.targetEnded && p.toClient.empty()) {
                p.dead = true;
            }
            if (!p.toClient.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      p.toClient.front().release - now)
                                      .count();
                waitMs = std::min<int>(waitMs, static_cast<int>(std::max<long long>(left, 1)));
            }
        }
        pairs.remove_if([](const Pair& p) { return p.dead; });

        std::vector<pollfd> fds{{m_wakeFds[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        std::vector<Pair*> owners{nullptr, nullptr};
        for (Pair& p : pairs) {
            fds.push_back({p.client, POLLIN, 0});
            owners.push_back(&p);
            if (!p.targetEnded) {
                fds.push_back({p.target, POLLIN, 0});
                owners.push_back(&p);
            }
        }
        if (::poll(fds.data(), fds.size(), waitMs) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                Pair& p = pairs.emplace_back();
                p.client = client;
                p.target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in addr = LoopbackAddress(m_targetPort);
                if (p.target < 0 || ::connect(p.target, reinterpret_cast<const sockaddr*>(&addr),
                                              sizeof addr) != 0) {
                    p.dead = true;
                }
            }
        }
        char buffer[8192];
        for (std::size_t i = 2; i < fds.size(); ++i) {
            Pair& p = *owners[i];
            if (fds[i].revents == 0 || p.dead) {
                continue;
            }
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (fds[i].fd == p.client) {
                // The client's bytes go on at once; its close ends the pair.
                if (n <= 0 ||
                    !SendAll(p.target, std::string(buffer, static_cast<std::size_t>(n)))) {
                    p.dead = true;
                }
                continue;
            }
            if (n <= 0) {
                p.targetEnded = true;
                continue;
            }
            std::string chunk(buffer, static_cast<std::size_t>(n));
            auto release = Clock::now();
            if (!p.held && chunk.compare(0, m_prefix.size(), m_prefix) == 0) {
                p.held = true;
                release += std::chrono::milliseconds(m_delayMs);
                ++m_delayed;
            }
            if (!p.toClient.empty()) {
                release = std::max(release, p.toClient.back().release);
            }
            p.toClient.push_back({release, std::move(chunk)});
        }
    }
}

}  // namespace kestrona::test
