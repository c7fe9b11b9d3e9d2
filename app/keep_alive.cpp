#include "app/keep_alive.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string_view>

#include <QSslSocket>

#include "platform/proxy_tunnel.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace kestrona {
namespace {

constexpr int kSliceMs = 200;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool SendAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd w{fd, POLLOUT, 0};
            ::poll(&w, 1, kSliceMs);
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::array<uint8_t, 12> MakeUserLive(int32_t number) {
    std::array<uint8_t, 12> r{};
    std::memcpy(r.data(), "USERLIVE", 8);
    const auto u = static_cast<uint32_t>(number);
    for (int i = 0; i < 4; ++i) {
        r[8 + i] = static_cast<uint8_t>(u >> (8 * i));
    }
    return r;
}

bool IsAlreadyTimeout(const char* data, std::size_t size) {
    return size >= 14 && std::memcmp(data, "ALREADYTIMEOUT", 14) == 0;
}

CKeepAlive::CKeepAlive(TargetFn target, std::function<int32_t()> number,
                       std::function<int()> periodSec, TimeoutFn onTimeout)
    : m_target(std::move(target)),
      m_number(std::move(number)),
      m_period(std::move(periodSec)),
      m_onTimeout(std::move(onTimeout)) {}

CKeepAlive::~CKeepAlive() {
    Stop();
}

void CKeepAlive::Start() {
    if (!m_thread.joinable()) {
        m_stop = false;
        m_cancel = std::make_unique<CancelToken>();
        m_thread = std::thread([this] { Run(); });
    }
}

void CKeepAlive::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        if (m_cancel)
            m_cancel->Cancel();
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CKeepAlive::Run() {
    while (!StopRequested()) {
        const LiveResult result = Exchange(m_target(), m_number());
        ++m_rounds;
        if (result == LiveResult::kAlreadyTimeout) {
            if (m_onTimeout) {
                m_onTimeout();
            }
            return;
        }
        std::unique_lock lock(m_mutex);
        const int period = std::max(0, m_period());
        m_wake.wait_for(lock, std::chrono::seconds(period), [this] { return StopRequested(); });
    }
}

LiveResult CKeepAlive::Exchange(const KeepAliveTarget& target, int32_t number) {
    const int connectMs = target.timeoutMs > 0 ? target.timeoutMs : 1;
    const CancelToken* cancel = m_cancel.get();
    UniqueFd fd(
        target.viaHttpProxy
            ? ConnectTcpWithin(target.proxyAddress, target.proxyPort, connectMs, cancel, nullptr)
            : ConnectTcpWithin(target.host, target.port, connectMs, cancel, nullptr));
    if (fd.get() < 0) {
        return StopRequested() ? LiveResult::kStopped : LiveResult::kNoSession;
    }
    // The greeting: "ACCEPT" at the start or at the end of a chunk. Through
    // the proxy, the first chunk may be what arrived behind its answer.
    const int64_t deadline = NowMs() + target.timeoutMs;
    std::string first;
    if (target.viaHttpProxy) {
        auto tunnel = ProxyHandshake::HttpConnect(target.host, target.port);
        if (!RunHandshake(fd.get(), tunnel, connectMs, cancel)) {
            return StopRequested() ? LiveResult::kStopped : LiveResult::kNoSession;
        }
        first = tunnel.TakeLeftover();
    }
    // The rest of the exchange reads and writes through TLS when it is on.
    std::unique_ptr<QSslSocket> tls;
    if (target.tls.enabled) {
        if (!first.empty()) {
            return LiveResult::kNoSession;  // bytes before the handshake
        }
        TlsFailure failure = TlsFailure::kNone;
        tls = OpenServerTlsBlocking(
            fd.release(), target.host, target.tls, connectMs, [this] { return StopRequested(); },
            &failure);
        if (!tls) {
            return StopRequested() ? LiveResult::kStopped : LiveResult::kNoSession;
        }
    }
    // One slice of waiting: >0 bytes read, 0 nothing yet, <0 the end.
    auto receive = [&](char* into, int size) -> int {
        if (tls) {
            if (tls->bytesAvailable() == 0 && !tls->waitForReadyRead(kSliceMs)) {
                return tls->state() == QAbstractSocket::ConnectedState ? 0 : -1;
            }
            const qint64 n = tls->read(into, size);
            return n > 0 ? static_cast<int>(n) : (n == 0 ? 0 : -1);
        }
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) != 1) {
            return 0;
        }
        const ssize_t n = ::recv(fd.get(), into, static_cast<std::size_t>(size), 0);
        return n > 0 ? static_cast<int>(n) : -1;
    };
    auto send = [&](const void* data, std::size_t size) {
        if (tls) {
            if (tls->write(static_cast<const char*>(data), static_cast<qint64>(size)) !=
                static_cast<qint64>(size)) {
                return false;
            }
            while (tls->bytesToWrite() > 0) {
                if (!tls->waitForBytesWritten(kSliceMs) &&
                    (tls->state() != QAbstractSocket::ConnectedState || StopRequested())) {
                    return false;
                }
            }
            return true;
        }
        return SendAll(fd.get(), data, size);
    };
    bool greeted = false;
    char chunk[1025];
    while (!greeted) {
        if (StopRequested()) {
            return LiveResult::kStopped;
        }
        std::string_view got;
        if (!first.empty()) {
            got = std::string_view(first).substr(0, 1024);
        } else {
            if (deadline - NowMs() <= 0) {
                return LiveResult::kNoSession;
            }
            const int n = receive(chunk, 1024);
            if (n < 0) {
                return LiveResult::kNoSession;
            }
            if (n == 0) {
                continue;
            }
            got = std::string_view(chunk, static_cast<std::size_t>(n));
        }
        greeted = got.substr(0, 6) == "ACCEPT" || EndsWith(got, "ACCEPT");
        first.clear();
    }
    const auto record = MakeUserLive(number);
    if (!send(record.data(), record.size())) {
        return LiveResult::kNoSession;
    }
    // One read of at most 80 bytes, with no time limit.
    char reply[80] = {};
    for (;;) {
        if (StopRequested()) {
            return LiveResult::kStopped;
        }
        const int n = receive(reply, sizeof reply);
        if (n < 0) {
            return LiveResult::kNoSession;
        }
        if (n == 0) {
            continue;
        }
        return IsAlreadyTimeout(reply, static_cast<std::size_t>(n)) ? LiveResult::kAlreadyTimeout
                                                                    : LiveResult::kAlive;
    }
}

void RelaunchAndTerminate(const std::string& program) {
    // Marks the relaunch for as long as this process lives (a moment).
    const std::string marker = "/tmp/KESTRONA_FIREREBOOT_MUTEX-" + std::to_string(getuid());
    const int lockFd = ::open(marker.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFd >= 0) {
        ::flock(lockFd, LOCK_EX | LOCK_NB);
    }
    std::string delay = "DELAY";
    char* argv[] = {const_cast<char*>(program.c_str()), delay.data(), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
    ::_exit(0);
}

}  // namespace kestrona
