#include "support/wire_peer.h"
#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestrona::test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void PutInt(std::string& record, std::size_t offset, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        record[offset + i] = static_cast<char>((v >> (8 * i)) & 0xff);
    }
}

}  // namespace

WireConnection::~WireConnection() {
    Close();
}

std::unique_ptr<WireConnection> WireConnection::Connect(int port, int timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return nullptr;
    }
    const sockaddr_in addr = LoopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return nullptr;
    }
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    if (::poll(&p, 1, timeoutMs) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<WireConnection>(fd);
}

bool WireConnection::Send(const std::string& bytes) {
    std::size_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n =
            ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, MsLeft(deadline)) == 1) {
                continue;
            }
        }
        return false;
    }
    return m_fd >= 0;
}

bool WireConnection::ReadSome(int timeoutMs) {
    if (m_fd < 0 || m_closed) {
        return false;
    }
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) {
        return false;
    }
    char buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        m_received.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    m_closed = true;  // orderly close or reset
    return false;
}

bool WireConnection::ReceiveUntil(const std::string& word, int timeoutMs) {
    return ReceiveUntilAny({word}, timeoutMs) == 0;
}

int WireConnection::ReceiveUntilAny(const std::vector<std::string>& words, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (m_received.find(words[i]) != std::string::npos) {
                return static_cast<int>(i);
            }
        }
        if (MsLeft(deadline) == 0 || m_closed) {
            return -1;
        }
        ReadSome(MsLeft(deadline));
    }
}

bool WireConnection::WaitClosed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_closed && MsLeft(deadline) > 0) {
        ReadSome(MsLeft(deadline));
    }
    return m_closed;
}

std::string WireConnection::Take() {
    std::string out;
    out.swap(m_received);
    return out;
}

void WireConnection::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

WireListener::~WireListener() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool WireListener::Listen(int port) {
    m_fd = ListenLoopback(port, 16);
    return m_fd >= 0;
}

std::unique_ptr<WireConnection> WireListener::Accept(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (m_fd < 0 || ::poll(&p, 1, timeoutMs) != 1) {
        return nullptr;
    }
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd >= 0 ? std::make_unique<WireConnection>(fd) : nullptr;
}

std::string RequestCallRecord(int32_t rate, int32_t caller, int32_t features, int32_t delayMs) {
    std::string record(48, '\0');
    record.replace(0, 11, "REQUESTCALL");
    PutInt(record, 20, rate);
    PutInt(record, 24, caller);
    PutInt(record, 28, features);
    PutInt(record, 32, delayMs);
    return record;
}

std::string ParamenterRecord(int32_t rate, int32_t portIn, int32_t portOut) {
    std::string record(52, '\0');
    record.replace(0, 10, "PARAMENTER");
    PutInt(record, 20, rate);
    PutInt(record, 24, portIn);
    PutInt(record, 28, portOut);
    return record;
}

int32_t RecordInt(const std::string& record, std::size_t offset) {
    if (offset + 4 > record.size()) {
        return 0;
    }
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(record[offset + i]);
    }
    return static_cast<int32_t>(v);
}

}  // namespace kestrona::test
