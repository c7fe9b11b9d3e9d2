#include "net/server_socket.h"

#include <QPointer>
#include <QSslSocket>
#include <cstring>

#include "net/net_context.h"
#include "platform/gbk.h"
#include "settings/setting_names.h"

using kestrona::NetContext;

namespace {

bool StartsWith(const char* data, const char* word) {
    return std::memcmp(data, word, std::strlen(word)) == 0;
}

}  // namespace

CServerSocket::CServerSocket(NetContext& context) : CCmdSocket(context) {}

CServerSocket::~CServerSocket() = default;

void CServerSocket::ConnectServer() {
    const std::string host = m_context.StoreText(kestrona::reg::kHost);
    const int port = m_context.StoreInt(kestrona::reg::kHostPort);
    m_tls = kestrona::ReadServerTlsSettings(m_context.regSection);
    m_tlsFailure = kestrona::TlsFailure::kNone;
    if (m_tls.enabled && !kestrona::ParseCertificatePin(m_tls.pin)) {
        // Settings that cannot be checked against: not even a connection.
        m_bConnected = false;
        m_tlsFailure = kestrona::TlsFailure::kBadPin;
        m_context.ShowMessage(kestrona::TlsFailureMessage(m_tlsFailure));
        return;
    }
    SetTlsCapable(m_tls.enabled);
    ConnectTo(QString::fromLocal8Bit(host.data(), static_cast<int>(host.size())), port);
}

bool CServerSocket::SecureConnection(const QString& host) {
    if (!m_tls.enabled)
        return true;
    QPointer<CServerSocket> self(this);
    kestrona::ServerTlsCheck check(m_tls, host);
    QSslSocket* socket = TlsSocket();
    kestrona::TlsFailure failure =
        socket ? check.Prepare(*socket) : kestrona::TlsFailure::kHandshake;
    if (failure == kestrona::TlsFailure::kNone) {
        // The handshake shares the greeting's bound.
        const int saved = BlockLimitMs();
        if (m_nTimeoutMs > 0)
            SetBlockLimitMs(static_cast<int>(m_nTimeoutMs));
        const bool encrypted = StartClientTls();
        if (!self)
            return false;
        SetBlockLimitMs(saved);
        socket = TlsSocket();
        failure = socket ? check.Result(*socket, encrypted) : kestrona::TlsFailure::kHandshake;
    }
    if (failure == kestrona::TlsFailure::kNone)
        return true;
    m_tlsFailure = failure;
    Close();
    m_context.ShowMessage(kestrona::TlsFailureMessage(failure));
    return false;
}

void CServerSocket::SendLogin(const kestrona::LoginRecord& record) {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (self && m_bConnected)
        SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendRegisterNew(const kestrona::RegisterRecord& record) {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (self && m_bConnected)
        SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendQueryUser(int32_t wantedId) {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (!self || !m_bConnected)
        return;
    const auto record = kestrona::BuildQueryUserRecord(m_context.settings.m_nID, wantedId);
    SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendLive() {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (!self || !m_bConnected)
        return;
    const auto record = kestrona::BuildUserLiveRecord(m_context.settings.m_nID);
    SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendLogout() {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (!self || !m_bConnected)
        return;
    const auto record = kestrona::BuildLogoutRecord(m_context.settings.m_nID);
    SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendMsgReport(const kestrona::MsgReportRecord& record) {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (self && m_bConnected)
        SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendChangePort(const kestrona::ChangePortRecord& record) {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (self && m_bConnected)
        SendRecord(record.data(), static_cast<int>(record.size()));
}

void CServerSocket::SendRequest(const void* record, int length) {
    QPointer<CServerSocket> self(this);
    ConnectServer();
    if (self && m_bConnected)
        SendRecord(record, length);
}

bool CServerSocket::ReadLiveTimedOut() {
    char reply[81] = {};
    if (!m_bConnected)
        return false;
    const int saved = BlockLimitMs();
    if (m_nTimeoutMs > 0)
        SetBlockLimitMs(static_cast<int>(m_nTimeoutMs));
    QPointer<CServerSocket> self(this);
    const int n = ReceiveBlocking(reply, 80);
    if (self)
        SetBlockLimitMs(saved);
    return n >= 14 && std::memcmp(reply, "ALREADYTIMEOUT", 14) == 0;
}

void CServerSocket::OnReceive(int error) {
    ReceiveChunk();
    ParseServerReply();
    CCmdSocket::OnReceive(error);
    NotifyWaiters();
}

void CServerSocket::OnClose(int error) {
    CCmdSocket::OnClose(error);
}

void CServerSocket::ParseServerReply() {
    const char* b = m_pBuffer.get();
    // Every test runs; a later match overwrites an earlier one's code.
    if (StartsWith(b, "GENERALERROR")) {
        m_nReply = REPLY_ERROR;
        m_bReplied = true;
    }
    if (StartsWith(b, "ACCEPT")) {
        m_nReply = REPLY_ACCEPT;
        m_bReplied = true;
    }
    if (m_nReceived >= 6 && std::memcmp(b + m_nReceived - 6, "ACCEPT", 6) == 0) {
        m_nReply = REPLY_ACCEPT;
        m_bReplied = true;
    }
    if (StartsWith(b, "REGISTERNEW")) {
        if (StartsWith(b, "REGISTERNEWFAILEMAIL"))
            m_nReply = REPLY_EMAIL_TAKEN;
        else if (StartsWith(b, "REGISTERNEWSUCCESS"))
            m_nReply = REPLY_SUCCESS;
        m_bReplied = true;
    }
    if (StartsWith(b, "LOGINRESULT")) {
        // The fields lie inside the first 252 bytes; the buffer is zero behind
        // the received data, and each text is bounded by its own field.
        const int32_t result = kestrona::GetInt32(b + 20);
        if (result == 0) {
            m_context.m_strLoginText = kestrona::GetGbkField(b + 52, 50);
            m_context.m_strLoginNotice =
                kestrona::GetGbkField(b + 102, kestrona::kLoginReplySize - 102);
            m_context.m_nLivePeriod = kestrona::GetInt32(b + 36);
            m_nReply = REPLY_SUCCESS;
        } else if (result == 1) {
            m_nReply = REPLY_REFUSED;
        } else if (result == 2) {
            m_nReply = REPLY_BAD_PASSWORD;
        }
        m_bReplied = true;
    }
    if (StartsWith(b, "QUERYUSERRESULT")) {
        m_nReply = std::memcmp(b, "QUERYUSERRESULTNOTFOND", 20) == 0 ? REPLY_ERROR : REPLY_SUCCESS;
        m_bReplied = true;
    }
    // The answers to the requests of calls into any home (phones of ours
    // only); each is read whole by its own parser afterwards.
    if (StartsWith(b, "RELAYCREDSRESULT") || StartsWith(b, "REACHRESULT") ||
        StartsWith(b, "QUERYPEERRESULT")) {
        m_nReply = REPLY_SUCCESS;
        m_bReplied = true;
    }
    if (StartsWith(b, "GENERALCMDSUCCESS")) {
        m_nReply = REPLY_SUCCESS;
        m_bReplied = true;
    }
    if (StartsWith(b, "GENERALCMDFAIL")) {
        m_nReply = REPLY_ERROR;
        m_bReplied = true;
    }
}
