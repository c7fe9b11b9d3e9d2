// A phone's command port as a reachability check meets it: a loopback
// listener that answers one connection with a given greeting.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

namespace kestrona::server::test {

// A listener on the loopback that answers one connection as told, on a
// thread joined at the end.
class GreetingListener {
  public:
    // greeting empty: accept and stay silent until the server closes.
    explicit GreetingListener(std::string greeting) : greeting_(std::move(greeting)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), size), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~GreetingListener() {
        // Wakes an accept that never came.
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    std::int32_t port() const { return port_; }

  private:
    void Serve() {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) {
            return;
        }
        if (!greeting_.empty()) {
            EXPECT_EQ(::send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(greeting_.size()));
        }
        // Until the server closes, bounded all the same.
        timeval wait{3, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char b[16];
        while (::recv(c, b, sizeof b, 0) > 0) {
        }
        ::close(c);
    }

    std::string greeting_;
    int fd_ = -1;
    std::int32_t port_ = 0;
    std::thread thread_;
};

// A port on the loopback that nothing listens on.
inline std::int32_t ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace kestrona::server::test
