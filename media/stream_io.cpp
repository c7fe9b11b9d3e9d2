#include "media/stream_io.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kestrona {

int NewTcpSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool ConnectTcp(int fd, const std::string& host, int port) {
    if (fd < 0 || port <= 0 || port > 65535)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
            return false;
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    for (;;) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool BindAndListen(int fd, int port, int backlog, int& boundPort) {
    if (fd < 0 || port < 0 || port > 65535)
        return false;
    // A fixed port whose previous call is in TIME_WAIT must be usable again;
    // a port another socket listens on still is refused.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(uint16_t(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return false;
    if (::listen(fd, backlog) != 0)
        return false;
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    boundPort = ntohs(addr.sin_port);
    return true;
}

void ShutdownSocket(int fd) {
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

void CloseSocket(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

ssize_t SendSome(int fd, const uint8_t* data, size_t n) {
    if (fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    return ::send(fd, data, n, MSG_NOSIGNAL);
}

ssize_t RecvSome(int fd, uint8_t* data, size_t n) {
    if (fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    return ::recv(fd, data, n, 0);
}

}  // namespace kestrona
