// Reading and writing the audio streams: blocking sockets, chunked sends and
// whole-block receives. The send
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

}  // namespace kestrona
