// POSIX TCP pieces of the relay client: an owned descriptor that can be
// moved, non-blocking connects and a loopback listener, a stream that is
// plain or TLS over such a socket, and the join of two streams that copies
// bytes both ways through fixed buffers.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

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

// The client side of TLS to a relay: the system's authorities plus those of
// an extra PEM file, TLS 1.2 at least, the peer's certificate required.
class TlsContext {
  public:
    // Null when OpenSSL cannot make one. An unreadable `extraAuthorities`
    // is warned about; the system's authorities still apply.
    static std::unique_ptr<TlsContext> Make(const std::string& extraAuthorities);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* Get() const { return m_ctx; }

  private:
    explicit TlsContext(ssl_ctx_st* ctx) : m_ctx(ctx) {}
    ssl_ctx_st* m_ctx;
};

// A connected (or connecting) non-blocking socket, plain or inside TLS. A
// TLS read may need the socket writable and a write readable, so Events()
// says what to poll for; and decrypted bytes may wait inside the stream
// where poll() cannot see them (Buffered()).
class Stream {
  public:
    enum class Io {
        kOk,          // `done` bytes moved (or the handshake is complete)
        kWouldBlock,  // try again after the poll events of Events()
        kEnded,       // the peer ended its sending
        kFailed,
    };

    Stream() = default;
    explicit Stream(Fd fd) : m_fd(std::move(fd)) {}
    // TLS client over `fd`, checked against `host` (a name or a dotted
    // address); invalid when it cannot be set up.
    static Stream Tls(Fd fd, const TlsContext& context, const std::string& host);
    ~Stream();  // best-effort close_notify, then closes
    Stream(Stream&& other) noexcept;
    Stream& operator=(Stream&& other) noexcept;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int Get() const { return m_fd.Get(); }
    bool Valid() const { return m_fd.Valid(); }
    bool Secure() const { return m_ssl != nullptr; }

    // One step of the TLS handshake once the socket is connected (plain:
    // done at once); on kFailed `why` says what went wrong.
    Io Handshake(std::string& why);
    Io Read(std::span<uint8_t> into, std::size_t& done);
    Io Write(std::span<const uint8_t> from, std::size_t& done);
    // Ends this side's sending (TLS: close_notify first), best effort.
    void ShutdownWrite();
    // The poll events to wait for before reading and/or writing again.
    short Events(bool read, bool write) const;
    // Bytes were read from the socket that no Read has taken yet.
    bool Buffered() const;

  private:
    Io Failed(int result, short& wants);
    void Close();

    Fd m_fd;
    ssl_st* m_ssl = nullptr;
    bool m_handshaken = false;
    bool m_broken = false;  // no close_notify may follow
    bool m_shut = false;
    short m_handshakeWants = 0;
    short m_readWants = POLLIN;
    short m_writeWants = POLLOUT;
};

// Joins two connected streams: what one side sends goes to the other. When a
// side ends its sending, the other side's sending half is shut after the
// buffered bytes are out; the join is over when both directions ended or
// either side failed.
class Splice {
  public:
    static constexpr std::size_t kBufferSize = 16384;
    // `earlyFromA`: bytes already read from `a` that belong to `b`; at most
    // kBufferSize.
    Splice(Stream a, Stream b, std::span<const uint8_t> earlyFromA);

    int FdA() const { return m_a.Get(); }
    int FdB() const { return m_b.Get(); }
    // The poll events each side waits for now (0: none).
    short EventsA() const;
    short EventsB() const;
    // A side has bytes to be read that poll() does not report.
    bool BufferedA() const { return WantsRead(m_ab) && m_a.Buffered(); }
    bool BufferedB() const { return WantsRead(m_ba) && m_b.Buffered(); }
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
    bool WantsRead(const Direction& outgoing) const {
        return !Finished() && !outgoing.ended && outgoing.end < kBufferSize;
    }
    static bool WantsWrite(const Direction& incoming) { return incoming.begin < incoming.end; }
    void OnReady(short revents, bool sideA);
    void Pull(Stream& from, Direction& direction);
    void Push(Stream& to, Direction& direction);
    void ShutWhenDrained(Stream& to, Direction& direction);

    Stream m_a;
    Stream m_b;
    Direction m_ab;
    Direction m_ba;
    bool m_failed = false;
};

}  // namespace kestrona::relay
