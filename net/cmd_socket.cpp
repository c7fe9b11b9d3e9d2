#include "net/cmd_socket.h"

#include <QPointer>
#include <cstring>

#include "net/message_box.h"
#include "net/net_context.h"

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
        const QByteArray request = "CONNECT " + host.toLocal8Bit() + ':' +
                                   QByteArray::number(port) +
                                   " HTTP/1.1\r\nUser-Agent: KESTRONA1.1/0.1\r\n\r\n";
        SendRecord(request.constData(), static_cast<int>(request.size()));
    } else {
        const bool ok = Connect(host, port);
        if (!self || !ok)
            return;
    }
    m_bConnected = true;
    const int code = m_context.PumpUntilReply(*this);
    if (!self)
        return;
    if (code != REPLY_ACCEPT) {
        m_bConnected = false;
        Close();
    }
}

namespace {

// One reply of the SOCKS5 exchange, read into a zeroed 600-byte buffer.
struct SocksReply {
    unsigned char bytes[600] = {};
};

}  // namespace

void CCmdSocket::BindThroughSocks5(int port) {
    m_bConnected = false;
    QPointer<CCmdSocket> self(this);
    const kestrona::SettingsModel& model = m_context.settings;
    const std::string user(model.m_szProxyUser,
                           ::strnlen(model.m_szProxyUser, sizeof model.m_szProxyUser));
    const std::string password(model.m_szProxyPassword,
                               ::strnlen(model.m_szProxyPassword, sizeof model.m_szProxyPassword));
    const QString proxy = QString::fromLatin1(
        model.m_szProxyAddress,
        static_cast<int>(::strnlen(model.m_szProxyAddress, sizeof model.m_szProxyAddress)));
    // The outcome is left to the exchange below: an unreachable proxy fails there.
    Connect(proxy, model.m_nSock5Port);
    if (!self)
        return;

    auto failA = [&] {
        m_context.ShowMessage(kestrona::msg::kProxyFailed);
        if (self)
            Close();
    };
    auto receive = [&](SocksReply& reply) {
        std::memset(reply.bytes, 0, sizeof reply.bytes);
        ReceiveBlocking(reply.bytes, sizeof reply.bytes);
        return static_cast<bool>(self);
    };

    const unsigned char greeting[4] = {0x05, 0x02, 0x00, 0x02};
    Send(greeting, sizeof greeting);
    SocksReply reply;
    if (!receive(reply))
        return;
    if (reply.bytes[0] != 0x05)
        return failA();
    if (reply.bytes[1] == 0x02) {
        std::string auth;
        auth.push_back('\x01');
        auth.push_back(static_cast<char>(user.size()));
        auth += user;
        auth.push_back(static_cast<char>(password.size()));
        auth += password;
        Send(auth.data(), static_cast<int>(auth.size()));
        if (!receive(reply))
            return;
        if (reply.bytes[0] != 0x01 || reply.bytes[1] != 0x00)
            return failA();
    } else if (reply.bytes[1] != 0x00) {
        return failA();
    }

    // DST.ADDR names no peer: 0.0.0.0.
    const unsigned char bind[10] = {0x05,
                                    0x02,
                                    0x00,
                                    0x01,
                                    0,
                                    0,
                                    0,
                                    0,
                                    static_cast<unsigned char>((port >> 8) & 0xFF),
                                    static_cast<unsigned char>(port & 0xFF)};
    Send(bind, sizeof bind);
    if (!receive(reply))
        return;
    m_nPort = (reply.bytes[8] << 8) | reply.bytes[9];
    if (reply.bytes[0] != 0x05 || reply.bytes[1] != 0x00) {
        m_context.ShowMessage(kestrona::msg::kCannotListen);
        if (self)
            Close();
    }
}
