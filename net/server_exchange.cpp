#include "net/server_exchange.h"

#include <poll.h>
#include <sys/socket.h>

#include <QSslSocket>
#include <cerrno>
#include <chrono>
#include <string_view>

#include "platform/proxy_tunnel.h"

namespace kestrona {
namespace {

constexpr int kSliceMs = 200;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

CServerExchange::CServerExchange(std::function<bool()> stop, const CancelToken* cancel)
    : m_stop(std::move(stop)), m_cancel(cancel) {}

CServerExchange::~CServerExchange() = default;

ExchangeStatus CServerExchange::Open(const ServerTarget& target) {
    auto failed = [this] {
        return Stopped() ? ExchangeStatus::kStopped : ExchangeStatus::kNoConnection;
    };
    const int connectMs = target.timeoutMs > 0 ? target.timeoutMs : 1;
    m_fd.emplace(
        target.viaHttpProxy
            ? ConnectTcpWithin(target.proxyAddress, target.proxyPort, connectMs, m_cancel, nullptr)
            : ConnectTcpWithin(target.host, target.port, connectMs, m_cancel, nullptr));
    if (m_fd->get() < 0)
        return failed();
    const int64_t deadline = NowMs() + target.timeoutMs;
    // Through the proxy, the first chunk may be what arrived behind its answer.
    std::string first;
    if (target.viaHttpProxy) {
        auto tunnel = ProxyHandshake::HttpConnect(target.host, target.port);
        if (!RunHandshake(m_fd->get(), tunnel, connectMs, m_cancel))
            return failed();
        first = tunnel.TakeLeftover();
    }
    // The rest of the exchange reads and writes through TLS when it is on.
    if (target.tls.enabled) {
        if (!first.empty())
            return ExchangeStatus::kNoConnection;  // bytes before the handshake
        TlsFailure failure = TlsFailure::kNone;
        m_tls = OpenServerTlsBlocking(
            m_fd->release(), target.host, target.tls, connectMs, [this] { return Stopped(); },
            &failure);
        if (!m_tls)
            return failed();
    }
    char chunk[1024];
    for (;;) {
        if (Stopped())
            return ExchangeStatus::kStopped;
        std::string_view got;
        if (!first.empty()) {
            got = std::string_view(first).substr(0, sizeof chunk);
        } else {
            if (deadline - NowMs() <= 0)
                return ExchangeStatus::kNoConnection;
            const int n = Receive(chunk, sizeof chunk);
            if (n < 0)
                return ExchangeStatus::kNoConnection;
            if (n == 0)
                continue;
            got = std::string_view(chunk, static_cast<std::size_t>(n));
        }
        if (got.substr(0, 6) == "ACCEPT" || EndsWith(got, "ACCEPT"))
            return ExchangeStatus::kDone;
        first.clear();
    }
}

int CServerExchange::Receive(char* into, std::size_t size) {
    if (m_tls) {
        if (m_tls->bytesAvailable() == 0 && !m_tls->waitForReadyRead(kSliceMs))
            return m_tls->state() == QAbstractSocket::ConnectedState ? 0 : -1;
        const qint64 n = m_tls->read(into, static_cast<qint64>(size));
        return n > 0 ? static_cast<int>(n) : (n == 0 ? 0 : -1);
    }
    if (!m_fd || m_fd->get() < 0)
        return -1;
    pollfd p{m_fd->get(), POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) != 1)
        return 0;
    const ssize_t n = ::recv(m_fd->get(), into, size, 0);
    return n > 0 ? static_cast<int>(n) : -1;
}

bool CServerExchange::Send(const void* data, std::size_t size) {
    if (m_tls) {
        if (m_tls->write(static_cast<const char*>(data), static_cast<qint64>(size)) !=
            static_cast<qint64>(size))
            return false;
        while (m_tls->bytesToWrite() > 0) {
            if (!m_tls->waitForBytesWritten(kSliceMs) &&
                (m_tls->state() != QAbstractSocket::ConnectedState || Stopped()))
                return false;
        }
        return true;
    }
    if (!m_fd || m_fd->get() < 0)
        return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(m_fd->get(), p, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (Stopped())
                return false;
            pollfd w{m_fd->get(), POLLOUT, 0};
            ::poll(&w, 1, kSliceMs);
            continue;
        }
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ExchangeStatus CServerExchange::Read(char* into, std::size_t capacity, int limitMs,
                                     const std::function<bool(const char*, std::size_t)>& complete,
                                     std::size_t* got) {
    const int64_t deadline = NowMs() + limitMs;
    std::size_t have = 0;
    *got = 0;
    while (have < capacity) {
        if (Stopped())
            return ExchangeStatus::kStopped;
        if (limitMs > 0 && deadline - NowMs() <= 0)
            return ExchangeStatus::kTimedOut;
        const int n = Receive(into + have, capacity - have);
        if (n < 0)
            return ExchangeStatus::kNoConnection;
        have += static_cast<std::size_t>(n);
        *got = have;
        if (n > 0 && complete(into, have))
            return ExchangeStatus::kDone;
    }
    return ExchangeStatus::kDone;
}

}  // namespace kestrona
