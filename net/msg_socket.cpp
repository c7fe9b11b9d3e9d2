#include "net/msg_socket.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrona {
namespace {

// Qt objects of destroyed sockets whose signal may still be on the stack.
// They are freed when the outermost socket handler of the thread returns.
thread_local int t_handlerDepth = 0;
thread_local std::vector<QObject*> t_graveyard;

class HandlerFrame {
  public:
    HandlerFrame() { ++t_handlerDepth; }
    ~HandlerFrame() {
        if (--t_handlerDepth == 0) {
            std::vector<QObject*> dead;
            dead.swap(t_graveyard);
            // The signal that brought us here may still be emitting from one
            // of them: let the event loop free them once it is back in charge.
            for (QObject* object : dead) object->deleteLater();
        }
    }
    HandlerFrame(const HandlerFrame&) = delete;
    HandlerFrame& operator=(const HandlerFrame&) = delete;
};

void Bury(QObject* object) {
    if (!object)
        return;
    if (t_handlerDepth > 0)
        t_graveyard.push_back(object);
    else
        delete object;
}

// Counts a blocking wait so readable notifications are left to the wait. The
// socket may be destroyed while the wait dispatches; its count goes with it,
// so the scope leaves it alone then.
class BlockingScope {
  public:
    BlockingScope(MsgSocket* socket, int& depth) : m_socket(socket), m_depth(&depth) { ++*m_depth; }
    ~BlockingScope() {
        if (m_socket)
            --*m_depth;
    }
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

  private:
    QPointer<MsgSocket> m_socket;
    int* m_depth;
};

}  // namespace

MsgSocket::MsgSocket() = default;

MsgSocket::~MsgSocket() {
    ReleaseQtObjects();
}

void MsgSocket::ReleaseQtObjects() {
    m_pending.clear();
    if (m_socket) {
        QObject::disconnect(m_socket, nullptr, this, nullptr);
        m_socket->flush();
        m_socket->close();
        Bury(m_socket);
        m_socket = nullptr;
    }
    if (m_server) {
        QObject::disconnect(m_server, nullptr, this, nullptr);
        m_server->close();
        Bury(m_server);
        m_server = nullptr;
    }
}

bool MsgSocket::Create(uint16_t port) {
    m_nCreatePort = port;
    return true;
}

bool MsgSocket::Listen(int backlog) {
    if (m_socket || m_server)
        return false;
    m_server = new QTcpServer;
    m_server->setListenBacklogSize(backlog);
    m_server->setMaxPendingConnections(backlog);
    if (!m_server->listen(QHostAddress::AnyIPv4, m_nCreatePort)) {
        Bury(m_server);
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &MsgSocket::HandleNewConnection);
    return true;
}

void MsgSocket::AttachSocket(QTcpSocket* socket) {
    m_socket = socket;
    connect(m_socket, &QTcpSocket::readyRead, this, &MsgSocket::HandleReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &MsgSocket::HandleDisconnected);
}

bool MsgSocket::Connect(const QString& host, int port) {
    if (m_socket || m_server)
        return false;
    if (port <= 0 || port > 65535)
        return false;
    QTcpSocket* socket = m_bTlsCapable ? new QSslSocket : new QTcpSocket;
    AttachSocket(socket);

    QPointer<MsgSocket> self(this);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    {
        BlockingScope scope(this, m_nBlockingDepth);
        socket->connectToHost(host, static_cast<quint16>(port));
        if (socket->state() != QAbstractSocket::ConnectedState &&
            socket->state() != QAbstractSocket::UnconnectedState) {
            limit.start(m_nBlockLimitMs);
            loop.exec();
        }
        if (!self)
            return false;
    }
    if (m_socket != socket || socket->state() != QAbstractSocket::ConnectedState) {
        if (m_socket == socket) {
            QObject::disconnect(m_socket, nullptr, this, nullptr);
            m_socket->abort();
            Bury(m_socket);
            m_socket = nullptr;
        }
        return false;
    }
    ScheduleLeftoverRead();
    return true;
}

QSslSocket* MsgSocket::TlsSocket() const {
    return m_bTlsCapable ? qobject_cast<QSslSocket*>(m_socket) : nullptr;
}

bool MsgSocket::StartClientTls() {
    QSslSocket* socket = TlsSocket();
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    // Nothing may come before the handshake: what did (behind a proxy's
    // answer) would be taken as the server's.
    if (Available() > 0)
        return false;
    QPointer<MsgSocket> self(this);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(socket, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(socket, &QAbstractSocket::disconnected, &loop, &QEventLoop::quit);
    connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
    {
        BlockingScope scope(this, m_nBlockingDepth);
        socket->startClientEncryption();
        if (!socket->isEncrypted() && socket->state() == QAbstractSocket::ConnectedState) {
            limit.start(m_nBlockLimitMs);
            loop.exec();
        }
        if (!self)
            return false;
    }
    if (m_socket != socket || !socket->isEncrypted())
        return false;
    // The far end's first bytes may have come with the handshake's end.
    ScheduleLeftoverRead();
    return true;
}

bool MsgSocket::Accept(MsgSocket& into) {
    if (!m_server || into.m_socket || into.m_server)
        return false;
    QTcpSocket* socket = m_server->nextPendingConnection();
    if (!socket)
        return false;
    socket->setParent(nullptr);
    ++m_nAcceptCount;
    into.AttachSocket(socket);
    into.ScheduleLeftoverRead();
    return true;
}

int MsgSocket::Send(const void* data, int length) {
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || length < 0)
        return -1;
    const qint64 written = m_socket->write(static_cast<const char*>(data), length);
    // Hand the bytes to the system now: the caller may close or drop this
    // socket straight after a send.
    m_socket->flush();
    return written < 0 ? -1 : static_cast<int>(written);
}

int MsgSocket::Receive(void* buffer, int length) {
    if (!m_socket || length <= 0)
        return 0;
    if (!m_pending.isEmpty()) {
        const int n = std::min(length, static_cast<int>(m_pending.size()));
        std::memcpy(buffer, m_pending.constData(), static_cast<size_t>(n));
        m_pending.remove(0, n);
        return n;
    }
    const qint64 n = m_socket->read(static_cast<char*>(buffer), length);
    return n < 0 ? 0 : static_cast<int>(n);
}

int MsgSocket::ReceiveBlocking(void* buffer, int length) {
    if (!m_socket || length <= 0)
        return 0;
    if (Available() == 0) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return 0;
        QPointer<MsgSocket> self(this);
        QTcpSocket* socket = m_socket;
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
        connect(socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
        connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
        {
            BlockingScope scope(this, m_nBlockingDepth);
            limit.start(m_nBlockLimitMs);
            loop.exec();
            if (!self)
                return 0;
        }
        if (m_socket != socket)
            return 0;
    }
    const int n = Receive(buffer, length);
    ScheduleLeftoverRead();
    return n;
}

void MsgSocket::Unread(const void* data, int length) {
    if (!m_socket || length <= 0)
        return;
    m_pending.prepend(static_cast<const char*>(data), length);
    ScheduleLeftoverRead();
}

qint64 MsgSocket::Available() const {
    return m_pending.size() + (m_socket ? m_socket->bytesAvailable() : 0);
}

void MsgSocket::Close() {
    ReleaseQtObjects();
    emit waitStateChanged();
}

bool MsgSocket::IsConnected() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool MsgSocket::IsListening() const {
    return m_server && m_server->isListening();
}

uint16_t MsgSocket::LocalPort() const {
    if (m_server)
        return m_server->serverPort();
    if (m_socket)
        return m_socket->localPort();
    return 0;
}

QString MsgSocket::PeerAddress() const {
    return m_socket ? m_socket->peerAddress().toString() : QString();
}

void MsgSocket::OnReceive(int) {}
void MsgSocket::OnAccept(int) {}
void MsgSocket::OnClose(int) {}

void MsgSocket::ScheduleLeftoverRead() {
    // Data that came in while a blocking wait held the notifications back
    // would otherwise wait for the next packet.
    if (m_socket && m_nBlockingDepth == 0 && Available() > 0)
        QTimer::singleShot(0, this, &MsgSocket::HandleReadyRead);
}

void MsgSocket::HandleReadyRead() {
    if (m_nBlockingDepth > 0)
        return;
    HandlerFrame frame;
    QPointer<MsgSocket> self(this);
    while (self && m_socket && Available() > 0) {
        const qint64 before = Available();
        OnReceive(0);
        if (!self || !m_socket || m_nBlockingDepth > 0)
            break;
        if (Available() >= before)
            break;  // the handler read nothing
    }
}

void MsgSocket::HandleDisconnected() {
    HandlerFrame frame;
    QPointer<MsgSocket> self(this);
    OnClose(0);
    if (self)
        emit waitStateChanged();
}

void MsgSocket::HandleNewConnection() {
    HandlerFrame frame;
    QPointer<MsgSocket> self(this);
    while (self && m_server && m_server->hasPendingConnections()) {
        const int accepted = m_nAcceptCount;
        OnAccept(0);
        if (!self || !m_server)
            break;
        // A handler that took nothing would otherwise spin: drop the connection.
        if (m_nAcceptCount == accepted && m_server->hasPendingConnections()) {
            QTcpSocket* left = m_server->nextPendingConnection();
            if (left) {
                left->abort();
                delete left;
            }
        }
    }
}

}  // namespace kestrona
