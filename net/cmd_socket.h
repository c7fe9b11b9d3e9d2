// The command socket family: the state every command connection shares (the
// receive buffer, the reply code and the flags that end a wait), the opening of
// an outgoing command connection (directly or through an HTTP proxy's CONNECT
// tunnel) and the listening point on a SOCKS5 proxy (BIND). The proxy
// exchanges themselves are the proxy tunnel's.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "net/msg_socket.h"

namespace kestrona {
struct NetContext;
}

// Reply codes held in m_nReply.
inline constexpr int REPLY_SUCCESS = 10;
inline constexpr int REPLY_ERROR = 20;
inline constexpr int REPLY_ACCEPT = 30;
inline constexpr int REPLY_NONE = 50;
inline constexpr int REPLY_EMAIL_TAKEN = 100;
inline constexpr int REPLY_BAD_PASSWORD = 110;
inline constexpr int REPLY_REFUSED = 115;

class CCmdSocket : public kestrona::MsgSocket {
    Q_OBJECT

  public:
    static constexpr int kBufferSize = 1025;  // 1024 received bytes and a zero
    static constexpr int kMaxChunk = 1024;

    explicit CCmdSocket(kestrona::NetContext& context);
    ~CCmdSocket() override;

    // Opens a command connection and waits for the far end's "ACCEPT"; the
    // result is m_bConnected. With the proxy setting 1 it goes through the
    // HTTP proxy's CONNECT tunnel.
    void ConnectTo(const QString& host, int port);
    // Sends exactly `length` bytes; the result is not examined.
    void SendRecord(const void* data, int length);
    // Makes this socket a listening point on the SOCKS5 proxy; the port the
    // proxy bound ends up in m_nPort.
    void BindThroughSocks5(int port);

    // The SOCKS5 proxy listens for this socket (its BIND succeeded).
    bool BoundOnProxy() const { return m_bBoundOnProxy; }

    // Sets the abort flag, which ends a running wait at once.
    void Abort();
    // Tells the waits on this socket that a flag may have changed.
    void NotifyWaiters() { emit waitStateChanged(); }

    kestrona::NetContext& Context() const { return m_context; }
    // The received chunk (m_nReceived bytes, zero behind them).
    const char* Buffer() const { return m_pBuffer.get(); }

    uint32_t m_nTimeoutMs = 0;
    int32_t m_nPort = 0;
    std::unique_ptr<char[]> m_pBuffer;
    int32_t m_nReceived = 0;
    bool m_bConnected = false;
    int32_t m_nReply = REPLY_NONE;
    bool m_bReplied = false;
    bool m_bAborted = false;

  protected:
    // The receive step: one read of at most 1024 bytes is one message. Bytes
    // behind the terminating zero are cleared too, so a short record reads
    // as zero-padded and never shows an older chunk's bytes.
    void ReceiveChunk();
    // The bound of a proxy exchange: the reply time-out, else the socket's.
    int ProxyLimitMs() const;
    // Called by ConnectTo once the connection (or the proxy's tunnel) to
    // host is open, before the far end's greeting is awaited: a connection
    // that needs more (TLS) sets it up here. False: the connection was given
    // up and closed, or this object was destroyed (check with a QPointer).
    virtual bool SecureConnection(const QString& host);

    kestrona::NetContext& m_context;

  private:
    bool m_bBoundOnProxy = false;
};
