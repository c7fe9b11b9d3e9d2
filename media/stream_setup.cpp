// Opening the call's two audio streams: listening (directly, or bound at a
// SOCKS5 proxy) on the answering side, connecting (directly, or tunnelled
// through an HTTP proxy) on the calling side; on the engine's set-up thread,
// every wait bounded and cancelled by Stop.
#include <sys/socket.h>

#include "media/audio_engine.h"
#include "media/stream_io.h"

using kestrona::ManualResetEvent;

namespace {

int SetupCodeFor(kestrona::TunnelFailure failure) {
    using kestrona::TunnelFailure;
    switch (failure) {
        case TunnelFailure::kNone:
            return kestrona::kSetupOk;
        case TunnelFailure::kUnreachable:
            return kestrona::kSetupProxyUnreachable;
        case TunnelFailure::kTimedOut:
        case TunnelFailure::kCancelled:
            return kestrona::kSetupTimedOut;
        case TunnelFailure::kNoMethod:
        case TunnelFailure::kAuthRefused:
            return kestrona::kSetupProxyAuthFailed;
        case TunnelFailure::kHttpRefused:
        case TunnelFailure::kRequestRefused:
        case TunnelFailure::kPeerRefused:
            return kestrona::kSetupProxyRefused;
        case TunnelFailure::kClosed:
        case TunnelFailure::kNotHttp:
        case TunnelFailure::kSocksVersion:
        case TunnelFailure::kBadAddress:
            return kestrona::kSetupProxyBadAnswer;
    }
    return kestrona::kSetupProxyBadAnswer;
}

}  // namespace

bool CAudioEngine::BeginSetup(bool report) {
    if (m_refused && !m_stopped && !m_setupBegun) {
        m_setupBegun = true;
        if (report)
            Post(kestrona::kMsgEngineSetup, kestrona::kSetupBadParameters);
        return false;
    }
    if (!m_initialised || m_stopped || m_setupBegun)
        return false;
    m_setupBegun = true;
    m_setupDone->Reset();
    return true;
}

void CAudioEngine::RunSetup(std::function<int()> work) {
    m_setupThread = std::thread([this, work = std::move(work)] {
        const int code = work();
        m_setupDone->Set();
        // A set-up that Stop cut short is no news.
        if (!m_cancel.Cancelled())
            Post(kestrona::kMsgEngineSetup, code);
    });
}

void CAudioEngine::BeginListen(int portIn, int portOut) {
    if (BeginSetup(true))
        RunSetup([this, portIn, portOut] { return SetupListen(portIn, portOut); });
}

void CAudioEngine::BeginConnect(const std::string& host, int peerPortIn, int peerPortOut) {
    if (BeginSetup(true))
        RunSetup([this, host, peerPortIn, peerPortOut] {
            return SetupConnect(host, peerPortIn, peerPortOut);
        });
}

bool CAudioEngine::Listen(int portIn, int portOut) {
    if (!BeginSetup(false))
        return false;
    const int code = SetupListen(portIn, portOut);
    m_setupDone->Set();
    if (code != kestrona::kSetupOk && !m_direct)
        Stop();
    return code == kestrona::kSetupOk;
}

bool CAudioEngine::Connect(const std::string& host, int peerPortIn, int peerPortOut) {
    if (!BeginSetup(false))
        return false;
    const int code = SetupConnect(host, peerPortIn, peerPortOut);
    m_setupDone->Set();
    return code == kestrona::kSetupOk;
}

int CAudioEngine::StoreStream(std::atomic<int>& stream, int fd) {
    // Stop may have shut the streams down already; this one too, so it
    // cannot block a thread that uses it.
    std::lock_guard lock(m_socketMutex);
    stream.store(fd);
    if (m_closing)
        kestrona::ShutdownSocket(fd);
    return fd;
}

int CAudioEngine::SetupListen(int portIn, int portOut) {
    if (!m_direct) {
        const int in = SocksBind(m_sockIn, portIn, m_inBind);
        if (in != kestrona::kSetupOk)
            return in;
        return SocksBind(m_sockOut, portOut, m_outBind);
    }
    // A port that the set-up does not reach is announced as 0.
    m_portIn = 0;
    m_portOut = 0;
    {
        std::lock_guard lock(m_socketMutex);
        if (m_closing)
            return kestrona::kSetupTimedOut;
        m_listenIn = kestrona::NewTcpSocket();
        m_listenOut = kestrona::NewTcpSocket();
    }
    int bound = 0;
    if (!kestrona::BindAndListen(m_listenIn, portIn, 5, bound))
        return kestrona::kSetupListenFailed;
    m_portIn = bound;
    if (!kestrona::BindAndListen(m_listenOut, portOut, 5, bound))
        return kestrona::kSetupListenFailed;
    m_portOut = bound;
    m_acceptedIn = std::make_unique<ManualResetEvent>(false);
    m_acceptedOut = std::make_unique<ManualResetEvent>(false);
    m_acceptInThread =
        std::thread(&CAudioEngine::AcceptThread, this, &m_listenIn, &m_sockIn, m_acceptedIn.get());
    m_acceptOutThread = std::thread(&CAudioEngine::AcceptThread, this, &m_listenOut, &m_sockOut,
                                    m_acceptedOut.get());
    return kestrona::kSetupOk;
}

int CAudioEngine::AwaitStream(const std::atomic<int>& stream,
                              const std::unique_ptr<ManualResetEvent>& accepted) {
    // The set-up thread creates the sockets and the accept events.
    m_setupDone->Wait();
    // The caller connects both streams as soon as it has the ports, so a
    // thread started at the same moment only has to wait for the accept; a
    // peer that has not connected within the bound counts as a broken stream.
    if (accepted)
        accepted->WaitFor(std::chrono::milliseconds(kAcceptWaitMs));
    return stream.load();
}

void CAudioEngine::AcceptThread(int* listenSocket, std::atomic<int>* stream,
                                ManualResetEvent* accepted) {
    struct Done {
        ManualResetEvent* event;
        ~Done() { event->Set(); }
    } done{accepted};
    int fd;
    {
        std::lock_guard lock(m_socketMutex);
        fd = *listenSocket;
    }
    int conn;
    do {
        conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (conn < 0 && errno == EINTR);
    std::lock_guard lock(m_socketMutex);
    if (conn >= 0) {
        stream->store(conn);
        // Stop may already have shut the streams down; this one too.
        if (m_closing)
            kestrona::ShutdownSocket(conn);
    }
    if (!m_closing)
        kestrona::CloseSocket(*listenSocket);
}

int CAudioEngine::SocksBind(std::atomic<int>& stream, int port,
                            std::optional<kestrona::ProxyHandshake>& bind) {
    using kestrona::TunnelFailure;
    TunnelFailure why = TunnelFailure::kNone;
    const int fd = kestrona::ConnectTcpWithin(m_proxyAddress, m_socksProxyPort, m_setupTimeoutMs,
                                              &m_cancel, &why);
    std::atomic<int>& announced = &stream == &m_sockIn ? m_portIn : m_portOut;
    if (fd < 0) {
        // An unreachable proxy is announced as port 0.
        announced = 0;
        if (why == TunnelFailure::kUnreachable)
            Post(kestrona::kMsgEngineFailure, kestrona::kProxyUnreachable);
        return SetupCodeFor(why);
    }
    StoreStream(stream, fd);
    bind.emplace(kestrona::ProxyHandshake::Socks5Bind(m_proxyUser, m_proxyPassword, port, false));
    if (!kestrona::RunHandshake(fd, *bind, m_setupTimeoutMs, &m_cancel)) {
        // A proxy that refuses is announced as -1.
        announced = -1;
        return SetupCodeFor(bind->Failure());
    }
    // The bound address is of no use: the peer reaches the proxy at the
    // address under which it knows this side.
    announced = bind->BoundPort();
    return kestrona::kSetupOk;
}

int CAudioEngine::HttpTunnel(std::atomic<int>& stream, const std::string& host, int port,
                             std::string* leftover) {
    using kestrona::TunnelFailure;
    TunnelFailure why = TunnelFailure::kNone;
    const int fd = kestrona::ConnectTcpWithin(m_proxyAddress, m_httpProxyPort, m_setupTimeoutMs,
                                              &m_cancel, &why);
    if (fd < 0)
        return SetupCodeFor(why);
    StoreStream(stream, fd);
    auto tunnel = kestrona::ProxyHandshake::HttpConnect(host, port);
    if (!kestrona::RunHandshake(fd, tunnel, m_setupTimeoutMs, &m_cancel))
        return SetupCodeFor(tunnel.Failure());
    if (leftover)
        *leftover = tunnel.TakeLeftover();
    return kestrona::kSetupOk;
}

int CAudioEngine::SetupConnect(const std::string& host, int peerPortIn, int peerPortOut) {
    // The receiving stream ends at the answering side's sending port and the
    // other way round.
    if (m_direct) {
        for (auto [stream, port] : {std::pair{&m_sockIn, peerPortOut}, {&m_sockOut, peerPortIn}}) {
            kestrona::TunnelFailure why = kestrona::TunnelFailure::kNone;
            const int fd =
                kestrona::ConnectTcpWithin(host, port, m_setupTimeoutMs, &m_cancel, &why);
            if (fd < 0)
                return why == kestrona::TunnelFailure::kUnreachable
                           ? kestrona::kSetupPeerUnreachable
                           : SetupCodeFor(why);
            StoreStream(*stream, fd);
        }
        return kestrona::kSetupOk;
    }
    const int in = HttpTunnel(m_sockIn, host, peerPortOut, &m_inLeftover);
    if (in != kestrona::kSetupOk)
        return in;
    // Nothing is ever read from the sending stream.
    return HttpTunnel(m_sockOut, host, peerPortIn, nullptr);
}
