#include "net/relay_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace kestrona::relay {

void Fd::Reset(int fd) {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
}

namespace {

Fd TcpSocket() {
    return Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

bool Retryable(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

std::optional<sockaddr_in> ResolveIpv4(const std::string& host, int port,
                                       std::chrono::milliseconds limit) {
    if (port <= 0 || port > 65535 || host.empty()) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) {
        return address;
    }
    // A name: the system's resolver has no deadline of its own, so the
    // lookup runs asynchronously and is given up after `limit`.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    gaicb request{};
    request.ar_name = host.c_str();
    request.ar_request = &hints;
    gaicb* list[1] = {&request};
    if (::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int state = EAI_INPROGRESS;
    while ((state = ::gai_error(&request)) == EAI_INPROGRESS) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds(0)) {
            break;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const gaicb* waiting[1] = {&request};
        ::gai_suspend(waiting, 1, &wait);
    }
    if (state == EAI_INPROGRESS) {
        // The lookup cannot be left running with our stack's buffers in it.
        while (::gai_cancel(&request) == EAI_NOTCANCELED) {
            const gaicb* waiting[1] = {&request};
            timespec wait{0, 50000000};
            ::gai_suspend(waiting, 1, &wait);
        }
        if (request.ar_result) {
            ::freeaddrinfo(request.ar_result);
        }
        return std::nullopt;
    }
    std::optional<sockaddr_in> found;
    if (state == 0 && request.ar_result) {
        for (addrinfo* a = request.ar_result; a; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
                std::memcpy(&address, a->ai_addr, sizeof address);
                address.sin_port = htons(static_cast<uint16_t>(port));
                found = address;
                break;
            }
        }
    }
    if (request.ar_result) {
        ::freeaddrinfo(request.ar_result);
    }
    return found;
}

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void SetNoDelay(int fd) {
    // Speech goes out in small writes that must not wait for each other.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Fd StartConnect(const sockaddr_in& to) {
    Fd fd = TcpSocket();
    if (!fd.Valid()) {
        return fd;
    }
    SetNoDelay(fd.Get());
    int r;
    do {
        r = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS) {
        return Fd();
    }
    return fd;
}

bool ConnectSucceeded(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

Fd ListenLoopback(int& port) {
    port = 0;
    Fd fd = TcpSocket();
    if (!fd.Valid()) {
        return fd;
    }
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 4) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Fd();
    }
    port = ntohs(address.sin_port);
    return fd;
}

Fd AcceptConnection(int listenFd) {
    Fd fd(::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.Valid()) {
        SetNoDelay(fd.Get());
    }
    return fd;
}

Splice::Splice(Fd a, Fd b, std::span<const uint8_t> earlyFromA)
    : m_a(std::move(a)), m_b(std::move(b)) {
    m_ab.buffer = std::make_unique<uint8_t[]>(kBufferSize);
    m_ba.buffer = std::make_unique<uint8_t[]>(kBufferSize);
    const std::size_t early = std::min(earlyFromA.size(), kBufferSize);
    std::memcpy(m_ab.buffer.get(), earlyFromA.data(), early);
    m_ab.end = early;
}

short Splice::EventsA() const {
    if (Finished()) {
        return 0;
    }
    short events = 0;
    if (!m_ab.ended && m_ab.end < kBufferSize) {
        events |= POLLIN;
    }
    if (m_ba.begin < m_ba.end) {
        events |= POLLOUT;
    }
    return events;
}

short Splice::EventsB() const {
    if (Finished()) {
        return 0;
    }
    short events = 0;
    if (!m_ba.ended && m_ba.end < kBufferSize) {
        events |= POLLIN;
    }
    if (m_ab.begin < m_ab.end) {
        events |= POLLOUT;
    }
    return events;
}

void Splice::OnReady(short revents, bool sideA) {
    if (Finished()) {
        return;
    }
    const int self = sideA ? m_a.Get() : m_b.Get();
    const int other = sideA ? m_b.Get() : m_a.Get();
    Direction& outgoing = sideA ? m_ab : m_ba;  // read from self
    Direction& incoming = sideA ? m_ba : m_ab;  // written to self
    const short events = sideA ? EventsA() : EventsB();
    const short trouble = POLLERR | POLLHUP | POLLNVAL;
    if ((events & POLLIN) && (revents & (POLLIN | trouble))) {
        Pull(self, outgoing);
        ShutWhenDrained(other, outgoing);
    }
    if (!m_failed && (events & POLLOUT) && (revents & (POLLOUT | trouble))) {
        Push(self, incoming);
        ShutWhenDrained(self, incoming);
    }
}

void Splice::Pull(int from, Direction& direction) {
    const ssize_t n =
        ::recv(from, direction.buffer.get() + direction.end, kBufferSize - direction.end, 0);
    if (n > 0) {
        direction.end += static_cast<std::size_t>(n);
    } else if (n == 0) {
        direction.ended = true;
    } else if (!Retryable(errno)) {
        m_failed = true;
    }
}

void Splice::Push(int to, Direction& direction) {
    const ssize_t n = ::send(to, direction.buffer.get() + direction.begin,
                             direction.end - direction.begin, MSG_NOSIGNAL);
    if (n > 0) {
        direction.begin += static_cast<std::size_t>(n);
        if (direction.begin == direction.end) {
            direction.begin = direction.end = 0;
        }
    } else if (n < 0 && !Retryable(errno)) {
        m_failed = true;
    }
}

void Splice::ShutWhenDrained(int to, Direction& direction) {
    if (!m_failed && direction.ended && !direction.shut && direction.begin == direction.end) {
        ::shutdown(to, SHUT_WR);
        direction.shut = true;
    }
}

}  // namespace kestrona::relay
