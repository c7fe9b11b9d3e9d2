// A tiny blocking TCP client for talking to the server byte by byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "server_test_util.h"

namespace kestrona::server::test {

class RawClient {
  public:
    // Connects to 127.0.0.1:port, from the loopback address source when one
    // is given (any of 127.0.0.0/8). Reads give up after guard_seconds so
    // that a broken server fails a test instead of hanging it.
    explicit RawClient(std::uint16_t port, int guard_seconds = 10, const char* source = nullptr) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{guard_seconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (source) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            if (::inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
                ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
                return;
            }
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }

    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // One read of at most max bytes, as the client's receive step does.
    Bytes ReadChunk(std::size_t max = 1024) {
        Bytes data(max);
        ssize_t n;
        // A signal meant for another thread (a child process ending) must
        // not look like the end of the connection.
        do {
            n = ::recv(fd_, data.data(), max, 0);
        } while (n < 0 && errno == EINTR);
        data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return data;
    }

    // Exactly n bytes unless the connection ends first.
    Bytes ReadExactly(std::size_t n) {
        Bytes data;
        while (data.size() < n) {
            Bytes chunk = ReadChunk(n - data.size());
            if (chunk.empty()) {
                break;
            }
            data.insert(data.end(), chunk.begin(), chunk.end());
        }
        return data;
    }

    // Everything until the server closes (or the guard time passes).
    Bytes ReadToEnd() {
        Bytes data;
        for (;;) {
            Bytes chunk = ReadChunk();
            if (chunk.empty()) {
                return data;
            }
            data.insert(data.end(), chunk.begin(), chunk.end());
        }
    }

    // True when the server has closed: a read sees the end, not the guard time-out.
    bool SeesEnd() {
        char byte;
        ssize_t n = ::recv(fd_, &byte, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    bool Send(const Bytes& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(data.size());
    }

    void ShutdownSend() { ::shutdown(fd_, SHUT_WR); }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// One HTTP GET on the metrics listener; the whole response.
inline std::string HttpGet(std::uint16_t port, const std::string& path) {
    RawClient client(port);
    client.Send(AsBytes("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    Bytes all = client.ReadToEnd();
    return std::string(all.begin(), all.end());
}

}  // namespace kestrona::server::test
