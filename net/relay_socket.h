// Plain POSIX TCP pieces of the relay client: an owned descriptor that can
// be moved, non-blocking connects and a loopback listener, and the join of
// two connections that copies bytes both ways through fixed buffers.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace kestrona::relay {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int m_fd = -1;
};

// An IPv4 address for `host` (dotted or a name looked up within `limit`).
std::optional<sockaddr_in> ResolveIpv4(const std::string& host, int port,
                                       std::chrono::milliseconds limit);
sockaddr_in LoopbackAddress(int port);
// Starts a non-blocking connect; invalid when the socket could not even be
// made or the connect failed at once.
Fd StartConnect(const sockaddr_in& to);
// The connect started by StartConnect ended well (call once writable).
bool ConnectSucceeded(int fd);
// A non-blocking listener on 127.0.0.1 at a port the system picks.
Fd ListenLoopback(int& port);
// A non-blocking accepted connection; invalid when none is waiting.
Fd AcceptConnection(int listenFd);
void SetNoDelay(int fd);

// Joins two connected sockets: what one side sends goes to the other. When a
// side ends its sending, the other side's sending half is shut after the
// buffered bytes are out; the join is over when both directions ended or
// either side failed.
class Splice {
  public:
    static constexpr std::size_t kBufferSize = 16384;
    // `earlyFromA`: bytes already read from `a` that belong to `b`; at most
    // kBufferSize.
    Splice(Fd a, Fd b, std::span<const uint8_t> earlyFromA);

    int FdA() const { return m_a.Get(); }
    int FdB() const { return m_b.Get(); }
    // The poll events each side waits for now (0: none).
    short EventsA() const;
    short EventsB() const;
    // Handles the poll result of one side.
    void OnReadyA(short revents) { OnReady(revents, true); }
    void OnReadyB(short revents) { OnReady(revents, false); }
    bool Finished() const { return m_failed || (m_ab.shut && m_ba.shut); }

  private:
    struct Direction {
        std::unique_ptr<uint8_t[]> buffer;
        std::size_t begin = 0;
        std::size_t end = 0;
        bool ended = false;  // the sending side has no more
        bool shut = false;   // and the receiving side was told
    };
    void OnReady(short revents, bool sideA);
    void Pull(int from, Direction& direction);
    void Push(int to, Direction& direction);
    void ShutWhenDrained(int to, Direction& direction);

    Fd m_a;
    Fd m_b;
    Direction m_ab;
    Direction m_ba;
    bool m_failed = false;
};

}  // namespace kestrona::relay
