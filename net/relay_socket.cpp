#include "net/relay_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDebug>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

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

std::unique_ptr<TlsContext> TlsContext::Make(const std::string& extraAuthorities) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        return nullptr;
    }
    std::unique_ptr<TlsContext> context(new TlsContext(ctx));
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
        qWarning("kestrona: relay: the system's certificate authorities cannot be read");
    }
    if (!extraAuthorities.empty() &&
        SSL_CTX_load_verify_locations(ctx, extraAuthorities.c_str(), nullptr) != 1) {
        qWarning("kestrona: relay: no certificate authorities in %s", extraAuthorities.c_str());
    }
    ERR_clear_error();
    // Writes are retried with the same bytes from a buffer that may have
    // moved (a vector grows) or grown behind them.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A relay that drops the connection without close_notify ends the
    // stream like a plain FIN: what is relayed is sealed end to end, so a
    // cut cannot pass off forged bytes.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    return context;
}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_ctx);
}

Stream Stream::Tls(Fd fd, const TlsContext& context, const std::string& host) {
    Stream stream(std::move(fd));
    if (!stream.Valid()) {
        return Stream();
    }
    stream.m_ssl = SSL_new(context.Get());
    if (!stream.m_ssl || SSL_set_fd(stream.m_ssl, stream.Get()) != 1) {
        ERR_clear_error();
        return Stream();
    }
    in_addr dotted{};
    bool named;
    if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(stream.m_ssl), host.c_str()) == 1;
    } else {
        named = SSL_set1_host(stream.m_ssl, host.c_str()) == 1 &&
                SSL_set_tlsext_host_name(stream.m_ssl, host.c_str()) == 1;
    }
    if (!named) {
        ERR_clear_error();
        return Stream();
    }
    SSL_set_connect_state(stream.m_ssl);
    stream.m_handshakeWants = POLLOUT;
    return stream;
}

Stream::~Stream() {
    Close();
}

Stream::Stream(Stream&& other) noexcept
    : m_fd(std::move(other.m_fd)),
      m_ssl(std::exchange(other.m_ssl, nullptr)),
      m_handshaken(other.m_handshaken),
      m_broken(other.m_broken),
      m_shut(other.m_shut),
      m_handshakeWants(other.m_handshakeWants),
      m_readWants(other.m_readWants),
      m_writeWants(other.m_writeWants) {}

Stream& Stream::operator=(Stream&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::move(other.m_fd);
        m_ssl = std::exchange(other.m_ssl, nullptr);
        m_handshaken = other.m_handshaken;
        m_broken = other.m_broken;
        m_shut = other.m_shut;
        m_handshakeWants = other.m_handshakeWants;
        m_readWants = other.m_readWants;
        m_writeWants = other.m_writeWants;
    }
    return *this;
}

void Stream::Close() {
    if (m_ssl) {
        if (m_handshaken && !m_broken && !m_shut) {
            // Once, without waiting: the relay closes its side anyway.
            SSL_shutdown(m_ssl);
        }
        SSL_free(m_ssl);
        m_ssl = nullptr;
        ERR_clear_error();
    }
    m_fd.Reset();
}

Stream::Io Stream::Failed(int result, short& wants) {
    switch (SSL_get_error(m_ssl, result)) {
        case SSL_ERROR_WANT_READ:
            wants = POLLIN;
            return Io::kWouldBlock;
        case SSL_ERROR_WANT_WRITE:
            wants = POLLOUT;
            return Io::kWouldBlock;
        case SSL_ERROR_ZERO_RETURN:
            return Io::kEnded;
        default:
            // OpenSSL forbids a shutdown after these.
            m_broken = true;
            return Io::kFailed;
    }
}

Stream::Io Stream::Handshake(std::string& why) {
    if (!m_ssl || m_handshaken) {
        return Io::kOk;
    }
    ERR_clear_error();
    const int result = SSL_connect(m_ssl);
    if (result == 1) {
        m_handshaken = true;
        return Io::kOk;
    }
    const Io io = Failed(result, m_handshakeWants);
    if (io == Io::kWouldBlock) {
        return io;
    }
    m_broken = true;
    const long verified = SSL_get_verify_result(m_ssl);
    if (verified != X509_V_OK) {
        why = X509_verify_cert_error_string(verified);
    } else if (const unsigned long error = ERR_peek_last_error(); error != 0) {
        char text[256];
        ERR_error_string_n(error, text, sizeof text);
        why = text;
    } else {
        why = "the relay closed the connection";
    }
    ERR_clear_error();
    return Io::kFailed;
}

Stream::Io Stream::Read(std::span<uint8_t> into, std::size_t& done) {
    done = 0;
    if (into.empty()) {
        return Io::kOk;
    }
    if (!m_ssl) {
        const ssize_t n = ::recv(m_fd.Get(), into.data(), into.size(), 0);
        if (n > 0) {
            done = static_cast<std::size_t>(n);
            return Io::kOk;
        }
        return n == 0 ? Io::kEnded : Retryable(errno) ? Io::kWouldBlock : Io::kFailed;
    }
    ERR_clear_error();
    if (SSL_read_ex(m_ssl, into.data(), into.size(), &done) == 1) {
        m_readWants = POLLIN;
        return Io::kOk;
    }
    const Io io = Failed(0, m_readWants);
    ERR_clear_error();
    return io;
}

Stream::Io Stream::Write(std::span<const uint8_t> from, std::size_t& done) {
    done = 0;
    if (from.empty()) {
        return Io::kOk;
    }
    if (!m_ssl) {
        const ssize_t n = ::send(m_fd.Get(), from.data(), from.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            done = static_cast<std::size_t>(n);
            return Io::kOk;
        }
        return Retryable(errno) ? Io::kWouldBlock : Io::kFailed;
    }
    ERR_clear_error();
    if (SSL_write_ex(m_ssl, from.data(), from.size(), &done) == 1) {
        m_writeWants = POLLOUT;
        return Io::kOk;
    }
    const Io io = Failed(0, m_writeWants);
    ERR_clear_error();
    // Sending after the peer's close_notify still fails the stream.
    return io == Io::kEnded ? Io::kFailed : io;
}

void Stream::ShutdownWrite() {
    if (m_ssl && m_handshaken && !m_broken && !m_shut) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
    m_shut = true;
    ::shutdown(m_fd.Get(), SHUT_WR);
}

short Stream::Events(bool read, bool write) const {
    if (m_ssl && !m_handshaken) {
        return m_handshakeWants;
    }
    if (!m_ssl) {
        return static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
    }
    return static_cast<short>((read ? m_readWants : 0) | (write ? m_writeWants : 0));
}

bool Stream::Buffered() const {
    // Only decrypted bytes: without read-ahead OpenSSL leaves whole records
    // it has not started in the socket, where poll() sees them.
    return m_ssl && m_handshaken && SSL_pending(m_ssl) > 0;
}

Splice::Splice(Stream a, Stream b, std::span<const uint8_t> earlyFromA)
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
    return m_a.Events(WantsRead(m_ab), WantsWrite(m_ba));
}

short Splice::EventsB() const {
    if (Finished()) {
        return 0;
    }
    return m_b.Events(WantsRead(m_ba), WantsWrite(m_ab));
}

void Splice::OnReady(short revents, bool sideA) {
    if (Finished() || revents == 0) {
        return;
    }
    Stream& self = sideA ? m_a : m_b;
    Stream& other = sideA ? m_b : m_a;
    Direction& outgoing = sideA ? m_ab : m_ba;  // read from self
    Direction& incoming = sideA ? m_ba : m_ab;  // written to self
    // Either event may serve either operation inside TLS; a try that is
    // not ready yet only says so.
    if (WantsRead(outgoing)) {
        Pull(self, outgoing);
        ShutWhenDrained(other, outgoing);
    }
    if (!m_failed && WantsWrite(incoming)) {
        Push(self, incoming);
        ShutWhenDrained(self, incoming);
    }
}

void Splice::Pull(Stream& from, Direction& direction) {
    std::size_t n = 0;
    switch (from.Read(
        std::span<uint8_t>(direction.buffer.get() + direction.end, kBufferSize - direction.end),
        n)) {
        case Stream::Io::kOk:
            direction.end += n;
            break;
        case Stream::Io::kEnded:
            direction.ended = true;
            break;
        case Stream::Io::kWouldBlock:
            break;
        case Stream::Io::kFailed:
            m_failed = true;
            break;
    }
}

void Splice::Push(Stream& to, Direction& direction) {
    std::size_t n = 0;
    const Stream::Io io =
        to.Write(std::span<const uint8_t>(direction.buffer.get() + direction.begin,
                                          direction.end - direction.begin),
                 n);
    if (io == Stream::Io::kFailed || io == Stream::Io::kEnded) {
        m_failed = true;
        return;
    }
    direction.begin += n;
    if (direction.begin == direction.end) {
        direction.begin = direction.end = 0;
    }
}

void Splice::ShutWhenDrained(Stream& to, Direction& direction) {
    if (!m_failed && direction.ended && !direction.shut && direction.begin == direction.end) {
        to.ShutdownWrite();
        direction.shut = true;
    }
}

}  // namespace kestrona::relay
