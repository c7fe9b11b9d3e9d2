// The client side of one directory-server exchange: connect (directly or through
// the HTTP proxy), wait for the greeting, send one request record, and for
// login, registration and look-up wait for the reply that ParseServerReply
// classifies. One object per exchange.
#pragma once

#include "net/cmd_socket.h"
#include "net/records.h"
#include "net/server_tls.h"

class CServerSocket : public CCmdSocket {
    Q_OBJECT

  public:
    explicit CServerSocket(kestrona::NetContext& context);
    ~CServerSocket() override;

    // Reads "Host", "HostPort" and the TLS settings from the store at every
    // call, then ConnectTo. With TLS on, the exchange goes inside TLS or not
    // at all: a failed check closes the connection before anything is sent,
    // and the user is told why.
    void ConnectServer();
    void SendLogin(const kestrona::LoginRecord& record);
    void SendRegisterNew(const kestrona::RegisterRecord& record);
    void SendQueryUser(int32_t wantedId);
    void SendLive();
    void SendLogout();
    void SendMsgReport(const kestrona::MsgReportRecord& record);
    void SendChangePort(const kestrona::ChangePortRecord& record);
    // ConnectServer, then any other whole request record.
    void SendRequest(const void* record, int length);

    // The keep-alive thread's read after SendLive: one blocking read of at
    // most 80 bytes; true when the server said "ALREADYTIMEOUT".
    bool ReadLiveTimedOut();

    // Classifies the chunk in the buffer: sets m_nReply and m_bReplied, and
    // takes the login texts and keep-alive period into the context.
    void ParseServerReply();

    // Why the last ConnectServer's TLS was given up (kNone: it was not).
    kestrona::TlsFailure TlsFailed() const { return m_tlsFailure; }

  protected:
    void OnReceive(int error) override;
    void OnClose(int error) override;
    bool SecureConnection(const QString& host) override;

  private:
    kestrona::ServerTlsSettings m_tls;
    kestrona::TlsFailure m_tlsFailure = kestrona::TlsFailure::kNone;
};
