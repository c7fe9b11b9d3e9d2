#include "platform/proxy_tunnel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/background_work.h"

namespace kestrona {
namespace {

// An answer to CONNECT longer than this is not taken for a proxy's answer.
constexpr std::size_t kMaxHttpHead = 16384;

bool EndsWith(const std::string& s, const char* tail) {
    const std::size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string Rfc1929Field(const std::string& s) {
    return s.substr(0, 255);
}

void PutPort(std::string& out, int port) {
    out.push_back(static_cast<char>((port >> 8) & 0xFF));
    out.push_back(static_cast<char>(port & 0xFF));
}

}  // namespace

const char* TunnelFailureText(TunnelFailure failure) {
    switch (failure) {
        case TunnelFailure::kNone:
            return "no failure";
        case TunnelFailure::kUnreachable:
            return "the proxy cannot be reached";
        case TunnelFailure::kTimedOut:
            return "the proxy did not answer in time";
        case TunnelFailure::kClosed:
            return "the proxy closed the connection";
        case TunnelFailure::kCancelled:
            return "cancelled";
        case TunnelFailure::kNotHttp:
            return "the proxy's answer is not HTTP";
        case TunnelFailure::kHttpRefused:
            return "the HTTP proxy refused the tunnel";
        case TunnelFailure::kSocksVersion:
            return "the proxy does not speak SOCKS5";
        case TunnelFailure::kNoMethod:
            return "the SOCKS5 proxy accepts no offered method";
        case TunnelFailure::kAuthRefused:
            return "the SOCKS5 proxy refused the user name or password";
        case TunnelFailure::kRequestRefused:
            return "the SOCKS5 proxy refused the request";
        case TunnelFailure::kPeerRefused:
            return "the SOCKS5 proxy refused the incoming connection";
        case TunnelFailure::kBadAddress:
            return "the SOCKS5 reply has an unknown address type";
    }
    return "unknown";
}

// --- The machine --------------------------------------------------------------

ProxyHandshake ProxyHandshake::HttpConnect(const std::string& host, int port) {
    ProxyHandshake h;
    h.m_kind = Kind::kHttp;
    h.m_phase = Phase::kHttpHead;
    h.m_output = "CONNECT " + host + ":" + std::to_string(port) +
                 " HTTP/1.1\r\nUser-Agent: KESTRONA1.1/0.1\r\n\r\n";
    return h;
}

ProxyHandshake ProxyHandshake::Socks5Connect(std::string user, std::string password,
                                             const std::string& host, int port) {
    ProxyHandshake h;
    h.m_kind = Kind::kSocksConnect;
    h.m_user = std::move(user);
    h.m_password = std::move(password);
    h.m_request = {0x05, 0x01, 0x00};
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        h.m_request.push_back(0x01);
        h.m_request.append(reinterpret_cast<const char*>(&v4), 4);
    } else {
        const std::string name = host.substr(0, 255);
        h.m_request.push_back(0x03);
        h.m_request.push_back(static_cast<char>(name.size()));
        h.m_request += name;
    }
    PutPort(h.m_request, port);
    h.m_phase = Phase::kMethod;
    h.m_need = 2;
    h.m_output = std::string("\x05\x02\x00\x02", 4);
    return h;
}

ProxyHandshake ProxyHandshake::Socks5Bind(std::string user, std::string password, int port,
                                          bool stopAtFirstReply) {
    ProxyHandshake h;
    h.m_kind = Kind::kSocksBind;
    h.m_user = std::move(user);
    h.m_password = std::move(password);
    h.m_stopAtFirstReply = stopAtFirstReply;
    // DST.ADDR names no peer: 0.0.0.0.
    h.m_request = std::string("\x05\x02\x00\x01\x00\x00\x00\x00", 8);
    PutPort(h.m_request, port);
    h.m_phase = Phase::kMethod;
    h.m_need = 2;
    h.m_output = std::string("\x05\x02\x00\x02", 4);
    return h;
}

std::string ProxyHandshake::TakeOutput() {
    std::string out;
    out.swap(m_output);
    return out;
}

std::string ProxyHandshake::TakeLeftover() {
    std::string out;
    out.swap(m_leftover);
    return out;
}

void ProxyHandshake::SetFailed(TunnelFailure why) {
    m_state = State::kFailed;
    m_failure = why;
    m_phase = Phase::kDone;
    m_output.clear();
}

void ProxyHandshake::Fail(TunnelFailure why) {
    if (!Finished())
        SetFailed(why);
}

void ProxyHandshake::Feed(const uint8_t* data, std::size_t size) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    while (p < end && !Finished()) {
        if (m_kind == Kind::kHttp)
            FeedHttp(p, end);
        else
            FeedSocks(p, end);
    }
    // Behind an open tunnel everything is the far end's; behind a failure
    // nothing is of use.
    if (m_state == State::kOpen && p < end)
        m_leftover.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
}

void ProxyHandshake::FeedHttp(const uint8_t*& p, const uint8_t* end) {
    static constexpr char kPrefix[] = "HTTP/";
    while (p < end) {
        const char c = static_cast<char>(*p++);
        m_answer.push_back(c);
        const std::size_t n = m_answer.size();
        if (n <= 5 && c != kPrefix[n - 1])
            return SetFailed(TunnelFailure::kNotHttp);
        if (m_httpStatus == 0 && c == '\n') {
            // "HTTP/1.x NNN reason": any version, the code right after one space.
            const std::size_t sp = m_answer.find(' ');
            const bool digits = sp != std::string::npos && sp + 4 <= m_answer.size() &&
                                std::isdigit(static_cast<unsigned char>(m_answer[sp + 1])) &&
                                std::isdigit(static_cast<unsigned char>(m_answer[sp + 2])) &&
                                std::isdigit(static_cast<unsigned char>(m_answer[sp + 3]));
            if (!digits)
                return SetFailed(TunnelFailure::kNotHttp);
            m_httpStatus = std::stoi(m_answer.substr(sp + 1, 3));
            if (m_httpStatus < 200 || m_httpStatus > 299)
                return SetFailed(TunnelFailure::kHttpRefused);
        }
        if (m_httpStatus != 0 && (EndsWith(m_answer, "\r\n\r\n") || EndsWith(m_answer, "\n\n"))) {
            m_state = State::kOpen;
            m_phase = Phase::kDone;
            return;
        }
        if (n >= kMaxHttpHead)
            return SetFailed(TunnelFailure::kNotHttp);
    }
}

void ProxyHandshake::FeedSocks(const uint8_t*& p, const uint8_t* end) {
    const std::size_t take = std::min<std::size_t>(m_need - m_answer.size(), end - p);
    m_answer.append(reinterpret_cast<const char*>(p), take);
    p += take;
    if (m_answer.size() == m_need)
        OnSocksAnswer();
}

void ProxyHandshake::QueueRequest() {
    m_output += m_request;
    m_requestSent = true;
    m_phase = Phase::kReplyHead;
    m_need = 4;
}

void ProxyHandshake::OnSocksAnswer() {
    const auto byte = [this](std::size_t i) { return static_cast<uint8_t>(m_answer[i]); };
    switch (m_phase) {
        case Phase::kMethod: {
            if (byte(0) != 0x05)
                return SetFailed(TunnelFailure::kSocksVersion);
            const uint8_t method = byte(1);
            m_answer.clear();
            if (method == 0x00)
                return QueueRequest();
            if (method != 0x02)
                return SetFailed(TunnelFailure::kNoMethod);
            const std::string user = Rfc1929Field(m_user), password = Rfc1929Field(m_password);
            m_output.push_back('\x01');
            m_output.push_back(static_cast<char>(user.size()));
            m_output += user;
            m_output.push_back(static_cast<char>(password.size()));
            m_output += password;
            m_phase = Phase::kAuth;
            m_need = 2;
            return;
        }
        case Phase::kAuth:
            if (byte(0) != 0x01 || byte(1) != 0x00)
                return SetFailed(TunnelFailure::kAuthRefused);
            m_answer.clear();
            return QueueRequest();
        case Phase::kReplyHead:
            if (byte(0) != 0x05)
                return SetFailed(TunnelFailure::kSocksVersion);
            switch (byte(3)) {
                case 0x01:
                    m_need = 4 + 4 + 2;
                    m_phase = Phase::kReplyTail;
                    return;
                case 0x04:
                    m_need = 4 + 16 + 2;
                    m_phase = Phase::kReplyTail;
                    return;
                case 0x03:
                    m_need = 5;
                    m_phase = Phase::kReplyName;
                    return;
                default:
                    // A refusal names the reason before an address that is of no use.
                    if (byte(1) != 0x00)
                        return SetFailed(m_replyCount == 0 ? TunnelFailure::kRequestRefused
                                                           : TunnelFailure::kPeerRefused);
                    return SetFailed(TunnelFailure::kBadAddress);
            }
        case Phase::kReplyName:
            m_need = 5 + byte(4) + 2;
            m_phase = Phase::kReplyTail;
            return;
        case Phase::kReplyTail:
            return OnReplyComplete();
        case Phase::kHttpHead:
        case Phase::kDone:
            return;
    }
}

void ProxyHandshake::OnReplyComplete() {
    const std::size_t n = m_answer.size();
    const int port =
        (static_cast<uint8_t>(m_answer[n - 2]) << 8) | static_cast<uint8_t>(m_answer[n - 1]);
    const bool ok = static_cast<uint8_t>(m_answer[1]) == 0x00;
    const bool first = m_replyCount++ == 0;
    m_answer.clear();
    if (first && m_kind == Kind::kSocksBind)
        m_boundPort = port;
    if (!ok)
        return SetFailed(first ? TunnelFailure::kRequestRefused : TunnelFailure::kPeerRefused);
    if (first && m_kind == Kind::kSocksBind && !m_stopAtFirstReply) {
        m_state = State::kBound;
        m_phase = Phase::kReplyHead;
        m_need = 4;
        return;
    }
    m_state = State::kOpen;
    m_phase = Phase::kDone;
}

// --- Cancelling -----------------------------------------------------------------

CancelToken::CancelToken() : m_event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CancelToken::Cancel() {
    m_cancelled.store(true, std::memory_order_release);
    if (m_event.get() >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_event.get(), &one, sizeof one);
    }
}

// --- The blocking driver -----------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on fd until the deadline or cancellation: 1 ready,
// 0 timed out, -1 cancelled.
int WaitFor(int fd, short events, Clock::time_point deadline, bool bounded,
            const CancelToken* cancel) {
    for (;;) {
        if (cancel && cancel->Cancelled())
            return -1;
        int waitMs = -1;
        if (bounded) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return 0;
            waitMs = static_cast<int>(std::min<int64_t>(left.count(), 60000));
        }
        pollfd p[2] = {{fd, events, 0}, {cancel ? cancel->WaitFd() : -1, POLLIN, 0}};
        const int r = ::poll(p, 2, waitMs);
        if (r < 0 && errno != EINTR)
            return 1;  // let the following system call report the error
        if (p[1].revents != 0)
            return -1;
        if (r > 0 && p[0].revents != 0)
            return 1;
    }
}

bool SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    return ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

std::mutex g_lookupMutex;
NameLookup g_lookup;

bool SystemLookup(const std::string& host, in_addr& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

// A name look-up can hang for as long as the name servers let it, and
// getaddrinfo() cannot be interrupted: it runs on a background thread and
// leaves its answer in a slot that outlives whoever gave up waiting for it.
struct LookupSlot {
    UniqueFd ready{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::mutex mutex;
    bool found = false;
    in_addr address{};
};

// 1 found, 0 not found or timed out, -1 cancelled; `why` tells the two
// failures apart.
int Resolve(const std::string& host, in_addr& out, Clock::time_point deadline, bool bounded,
            const CancelToken* cancel, TunnelFailure& why) {
    why = TunnelFailure::kUnreachable;
    if (::inet_pton(AF_INET, host.c_str(), &out) == 1)
        return 1;
    if (host.empty())
        return 0;
    auto slot = std::make_shared<LookupSlot>();
    if (slot->ready.get() < 0)
        return 0;
    NameLookup lookup;
    {
        std::lock_guard lock(g_lookupMutex);
        lookup = g_lookup;
    }
    BackgroundWork::Process().Run([slot, host, lookup = std::move(lookup)] {
        in_addr address{};
        const bool found = lookup ? lookup(host, address) : SystemLookup(host, address);
        {
            std::lock_guard lock(slot->mutex);
            slot->address = address;
            slot->found = found;
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(slot->ready.get(), &one, sizeof one);
    });
    const int ready = WaitFor(slot->ready.get(), POLLIN, deadline, bounded, cancel);
    if (ready <= 0) {
        why = ready < 0 ? TunnelFailure::kCancelled : TunnelFailure::kTimedOut;
        return ready < 0 ? -1 : 0;
    }
    std::lock_guard lock(slot->mutex);
    out = slot->address;
    return slot->found ? 1 : 0;
}

}  // namespace

void SetNameLookup(NameLookup lookup) {
    std::lock_guard lock(g_lookupMutex);
    g_lookup = std::move(lookup);
}

int ConnectTcpWithin(const std::string& host, int port, int timeoutMs, const CancelToken* cancel,
                     TunnelFailure* why) {
    TunnelFailure dummy;
    TunnelFailure& failure = why ? *why : dummy;
    failure = TunnelFailure::kUnreachable;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    // One deadline for the look-up and the connect together.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (port <= 0 || port > 65535 ||
        Resolve(host, addr.sin_addr, deadline, timeoutMs > 0, cancel, failure) != 1)
        return -1;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    auto give_up = [fd](TunnelFailure& f, TunnelFailure reason) {
        ::close(fd);
        f = reason;
        return -1;
    };
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return give_up(failure, TunnelFailure::kUnreachable);
        const int ready = WaitFor(fd, POLLOUT, deadline, timeoutMs > 0, cancel);
        if (ready <= 0)
            return give_up(failure,
                           ready < 0 ? TunnelFailure::kCancelled : TunnelFailure::kTimedOut);
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return give_up(failure, TunnelFailure::kUnreachable);
    }
    if (!SetBlocking(fd, true))
        return give_up(failure, TunnelFailure::kUnreachable);
    failure = TunnelFailure::kNone;
    return fd;
}

bool RunHandshake(int fd, ProxyHandshake& handshake, int timeoutMs, const CancelToken* cancel,
                  bool untilOpen) {
    const bool bounded = timeoutMs > 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
    auto done = [&] {
        return handshake.Finished() ||
               (!untilOpen && handshake.GetState() == ProxyHandshake::State::kBound);
    };
    auto waitOrFail = [&](short events) {
        const int ready = WaitFor(fd, events, deadline, bounded, cancel);
        if (ready > 0)
            return true;
        handshake.Fail(ready < 0 ? TunnelFailure::kCancelled : TunnelFailure::kTimedOut);
        return false;
    };
    while (!handshake.Finished()) {
        const std::string out = handshake.TakeOutput();
        for (std::size_t sent = 0; sent < out.size();) {
            if (!waitOrFail(POLLOUT))
                return false;
            const ssize_t n =
                ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                handshake.Fail(TunnelFailure::kClosed);
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        if (done())
            break;
        if (!waitOrFail(POLLIN))
            return false;
        uint8_t chunk[1024];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            handshake.Fail(cancel && cancel->Cancelled() ? TunnelFailure::kCancelled
                                                         : TunnelFailure::kClosed);
            return false;
        }
        handshake.Feed(chunk, static_cast<std::size_t>(n));
    }
    return handshake.GetState() != ProxyHandshake::State::kFailed;
}

}  // namespace kestrona
