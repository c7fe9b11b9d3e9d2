// Reading and writing the audio streams: blocking sockets, chunked sends,
// whole-block receives, and the preambles a proxy puts on a stream. The send
// and receive steps take the system call as a parameter so their splitting
// and assembling can be checked without a network.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

namespace kestrona {

// A new blocking TCP socket (close-on-exec), or -1.
int NewTcpSocket();
// Connects to a dotted IPv4 address or host name. False on any failure.
bool ConnectTcp(int fd, const std::string& host, int port);
// Binds to any local address at port (0: the system picks), listens, and
// gives the bound port. False when bind or listen is refused.
bool BindAndListen(int fd, int port, int backlog, int& boundPort);
// Wakes every thread blocked on fd (send, recv, accept) without freeing it.
void ShutdownSocket(int fd);
void CloseSocket(int& fd);
ssize_t SendSome(int fd, const uint8_t* data, size_t n);  // never raises SIGPIPE
ssize_t RecvSome(int fd, uint8_t* data, size_t n);

// Writes n bytes in sends of at most chunk bytes while more than chunk bytes
// remain and stop is 0; the rest goes in one more send (repeated only if the
// system takes part of it, so a block never leaves half-written). A send that
// fails or takes nothing fails the write.
template <class SendFn>
bool WriteInChunks(const uint8_t* data, int n, int chunk, const std::atomic<int>& stop,
                   SendFn&& send) {
    int written = 0;
    auto once = [&](int len) -> int {
        for (;;) {
            ssize_t r = send(data + written, size_t(len));
            if (r < 0 && errno == EINTR)
                continue;
            return r > 0 ? int(r) : -1;
        }
    };
    while (n - written > chunk && stop.load(std::memory_order_relaxed) == 0) {
        int r = once(chunk);
        if (r < 0)
            return false;
        written += r;
    }
    while (n - written > 0) {
        int r = once(n - written);
        if (r < 0)
            return false;
        written += r;
    }
    return true;
}

enum class ReadResult { kComplete, kBroken, kStopped };

// Receives exactly n bytes, asking each time for the bytes still missing.
// kBroken: a receive failed or the stream ended; kStopped: stop became set
// before the block was complete (the partial block must not be used).
template <class RecvFn>
ReadResult ReadFully(uint8_t* data, int n, const std::atomic<int>& stop, RecvFn&& recv) {
    int got = 0;
    while (got < n) {
        if (stop.load(std::memory_order_relaxed) != 0)
            return ReadResult::kStopped;
        ssize_t r = recv(data + got, size_t(n - got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            return stop.load(std::memory_order_relaxed) != 0 ? ReadResult::kStopped
                                                             : ReadResult::kBroken;
        }
        got += int(r);
    }
    return ReadResult::kComplete;
}

// Reads an HTTP proxy's answer to CONNECT up to and including the empty line,
// never consuming a byte past it. kBroken also for a status other than 2xx
// or an answer longer than 16 KiB.
template <class RecvFn>
ReadResult SkipHttpConnectReply(const std::atomic<int>& stop, RecvFn&& recv) {
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (head.size() >= 16384)
            return ReadResult::kBroken;
        uint8_t c;
        ReadResult r = ReadFully(&c, 1, stop, recv);
        if (r != ReadResult::kComplete)
            return r;
        head.push_back(char(c));
    }
    // "HTTP/1.x 200 ..."
    size_t sp = head.find(' ');
    if (head.compare(0, 5, "HTTP/") != 0 || sp == std::string::npos || sp + 1 >= head.size() ||
        head[sp + 1] != '2')
        return ReadResult::kBroken;
    return ReadResult::kComplete;
}

// Reads the reply a SOCKS5 proxy sends on a bound socket when the peer has
// connected (version, reply code, reserved, address of any type, port).
// kBroken also when the proxy reports a failure.
template <class RecvFn>
ReadResult SkipSocksReply(const std::atomic<int>& stop, RecvFn&& recv) {
    uint8_t head[5];
    ReadResult r = ReadFully(head, 4, stop, recv);
    if (r != ReadResult::kComplete)
        return r;
    if (head[0] != 5 || head[1] != 0)
        return ReadResult::kBroken;
    int rest;
    switch (head[3]) {
        case 1:
            rest = 4 + 2;
            break;
        case 4:
            rest = 16 + 2;
            break;
        case 3:
            r = ReadFully(head + 4, 1, stop, recv);
            if (r != ReadResult::kComplete)
                return r;
            rest = head[4] + 2;
            break;
        default:
            return ReadResult::kBroken;
    }
    uint8_t skip[258];
    return ReadFully(skip, rest, stop, recv);
}

}  // namespace kestrona
