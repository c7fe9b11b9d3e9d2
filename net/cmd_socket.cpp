#include "net/cmd_socket.h"

#include <QPointer>
#include <cstring>

#include "net/message_box.h"
#include "net/net_context.h"
#include "net/socket_tunnel.h"

using kestrona::NetContext;

CCmdSocket::CCmdSocket(NetContext& context)
    : m_pBuffer(new char[kBufferSize]()), m_context(context) {
    const int seconds = context.settings.m_nTimeout;
    m_nTimeoutMs = seconds > 0 ? static_cast<uint32_t>(seconds) * 1000u : 0u;
}

CCmdSocket::~CCmdSocket() = default;

void CCmdSocket::Abort() {
    m_bAborted = true;
    emit waitStateChanged();
}

void CCmdSocket::SendRecord(const void* data, int length) {
    Send(data, length);
}

void CCmdSocket::ReceiveChunk() {
    int n = Receive(m_pBuffer.get(), kMaxChunk);
    if (n < 0)
        n = 0;
    m_nReceived = n;
    std::memset(m_pBuffer.get() + n, 0, kBufferSize - n);
}

int CCmdSocket::ProxyLimitMs() const {
    return m_nTimeoutMs > 0 ? static_cast<int>(m_nTimeoutMs) : BlockLimitMs();
}

void CCmdSocket::ConnectTo(const QString& host, int port) {
    m_bConnected = false;
    QPointer<CCmdSocket> self(this);
    const kestrona::SettingsModel& model = m_context.settings;
    if (model.m_nProxy == 1) {
        const QString proxy = QString::fromLatin1(
            model.m_szProxyAddress,
            static_cast<int>(::strnlen(model.m_szProxyAddress, sizeof model.m_szProxyAddress)));
        const bool ok = Connect(proxy, model.m_nHttpPort);
        if (!self)
            return;
        if (!ok) {
            m_context.ShowMessage(kestrona::msg::kProxyFailed);
            if (self)
                Close();
            return;
        }
        // The far end's greeting may ride behind the proxy's answer; the
        // tunnel hands it back to the receive step.
        auto tunnel = kestrona::ProxyHandshake::HttpConnect(host.toLocal8Bit().toStdString(), port);
        if (!kestrona::RunSocketTunnel(*this, tunnel, ProxyLimitMs()))
            return;
        if (tunnel.GetState() != kestrona::ProxyHandshake::State::kOpen) {
            // Refused, or no answer in time: the far end cannot be reached,
            // as with a direct connection that fails.
            Close();
            return;
        }
    } else {
        const bool ok = Connect(host, port);
        if (!self || !ok)
            return;
    }
    if (!SecureConnection(host))
        return;
    m_bConnected = true;
    const int code = m_context.PumpUntilReply(*this);
    if (!self)
        return;
    if (code != REPLY_ACCEPT) {
        m_bConnected = false;
        Close();
    }
}

bool CCmdSocket::SecureConnection(const QString&) {
    return true;
}

void CCmdSocket::BindThroughSocks5(int port) {
    m_bConnected = false;
    QPointer<CCmdSocket> self(this);
    const kestrona::SettingsModel& model = m_context.settings;
    std::string user(model.m_szProxyUser,
                     ::strnlen(model.m_szProxyUser, sizeof model.m_szProxyUser));
    std::string password(model.m_szProxyPassword,
                         ::strnlen(model.m_szProxyPassword, sizeof model.m_szProxyPassword));
    const QString proxy = QString::fromLatin1(
        model.m_szProxyAddress,
        static_cast<int>(::strnlen(model.m_szProxyAddress, sizeof model.m_szProxyAddress)));
    // The outcome is left to the exchange below: an unreachable proxy fails there.
    Connect(proxy, model.m_nSock5Port);
    if (!self)
        return;

    // The reply that announces a peer arrives later and is the receive
    // step's, as an incoming call.
    auto bind =
        kestrona::ProxyHandshake::Socks5Bind(std::move(user), std::move(password), port, true);
    if (IsConnected() && !kestrona::RunSocketTunnel(*this, bind, ProxyLimitMs()))
        return;
    if (!IsConnected())
        bind.Fail(kestrona::TunnelFailure::kUnreachable);
    m_nPort = bind.BoundPort();
    if (bind.GetState() == kestrona::ProxyHandshake::State::kOpen) {
        m_bBoundOnProxy = true;
        return;
    }
    // Failures up to the method and password exchange are the proxy's;
    // a BIND that does not succeed means the port cannot be had.
    m_context.ShowMessage(bind.RequestSent() ? kestrona::msg::kCannotListen
                                             : kestrona::msg::kProxyFailed);
    if (self)
        Close();
}
