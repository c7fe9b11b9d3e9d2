// A small message-driven TCP socket on the Qt event loop: readable, accept and
// close notifications arrive as virtual calls, and the blocking operations
// (connect, blocking receive) keep the thread's event loop dispatching while
// they wait, so timers and other sockets stay live underneath them.
//
// An object may be destroyed from inside any handler that runs during one of
// its own notifications or blocking waits. The Qt socket underneath is then
// closed at once; while a socket handler is on the thread's stack it is only
// handed to the event loop for deletion (its own signal may still be emitting),
// and every blocking operation checks that its object still exists before it
// touches it again.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

class QSslSocket;
class QTcpServer;
class QTcpSocket;

namespace kestrona {

class MsgSocket : public QObject {
    Q_OBJECT

  public:
    // Upper bound of a blocking connect or receive, so a peer or proxy that
    // never answers cannot freeze the caller for good.
    static constexpr int kDefaultBlockLimitMs = 30000;

    MsgSocket();
    ~MsgSocket() override;
    MsgSocket(const MsgSocket&) = delete;
    MsgSocket& operator=(const MsgSocket&) = delete;

    // Stream socket on the given local port (0: any). For a connecting socket
    // the port is only remembered; Listen binds it.
    bool Create(uint16_t port = 0);
    // Binds to the port given to Create on every IPv4 address and listens.
    bool Listen(int backlog = 5);
    // Blocking connect that keeps dispatching. False when refused, timed out,
    // the port is out of range, or this object was destroyed while waiting
    // (then the caller must not touch it: check with a QPointer).
    bool Connect(const QString& host, int port);
    // Makes the next Connect open a socket that can later go over to TLS
    // (StartClientTls); until then it is a plain TCP connection.
    void SetTlsCapable(bool capable) { m_bTlsCapable = capable; }
    // The connection's TLS socket while there is one of a TLS-capable Connect.
    QSslSocket* TlsSocket() const;
    // Runs the client's TLS handshake on the open connection, waiting
    // (dispatching) for at most the block limit. True when encrypted; false
    // when it failed, timed out, bytes had come before it, or this object
    // was destroyed while waiting (check with a QPointer). The connection's
    // socket must be configured (TlsSocket) before.
    bool StartClientTls();
    // Takes the next waiting connection into `into` (which must be fresh).
    bool Accept(MsgSocket& into);
    // Writes all bytes and hands them to the system before returning.
    // Returns the count handed over, or -1 when there is no connection.
    int Send(const void* data, int length);
    // Reads what is already received, at most `length` bytes; 0 when nothing
    // is there or the socket is not connected.
    int Receive(void* buffer, int length);
    // Waits (dispatching) until data is there, then reads at most `length`
    // bytes. 0 on time-out, close or destruction.
    int ReceiveBlocking(void* buffer, int length);
    void Close();
    // Puts bytes back in front of what is still to be received; they come
    // out of the next receive as a chunk of their own.
    void Unread(const void* data, int length);

    bool IsConnected() const;
    bool IsListening() const;
    // The local port of the listening or connected socket (0 when none).
    uint16_t LocalPort() const;
    QString PeerAddress() const;

    int BlockLimitMs() const { return m_nBlockLimitMs; }
    void SetBlockLimitMs(int ms) { m_nBlockLimitMs = ms; }

  signals:
    // Emitted when a reply flag, the abort flag or the connection changed;
    // waits listen to it.
    void waitStateChanged();

  protected:
    virtual void OnReceive(int error);
    virtual void OnAccept(int error);
    virtual void OnClose(int error);

  private:
    void AttachSocket(QTcpSocket* socket);
    void ReleaseQtObjects();
    void HandleReadyRead();
    void HandleDisconnected();
    void HandleNewConnection();
    void ScheduleLeftoverRead();
    // Bytes waiting to be received: those put back, then the socket's.
    qint64 Available() const;

    QByteArray m_pending;
    QTcpSocket* m_socket = nullptr;
    QTcpServer* m_server = nullptr;
    uint16_t m_nCreatePort = 0;
    int m_nBlockingDepth = 0;
    int m_nAcceptCount = 0;
    int m_nBlockLimitMs = kDefaultBlockLimitMs;
    bool m_bTlsCapable = false;
};

}  // namespace kestrona
