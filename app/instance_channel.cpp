#include "app/instance_channel.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>

#include "platform/reg_store.h"

namespace kestrona {
namespace {

constexpr char kSeparator = '\x1f';
// A request line is a handful of short words; anything longer is not ours.
constexpr qint64 kMaxRequest = 4096;

bool SameUser(QLocalSocket* socket) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    const int fd = static_cast<int>(socket->socketDescriptor());
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return false;
    }
    return cred.uid == getuid();
}

}  // namespace

QString InstanceSocketName() {
    const QByteArray root = QByteArray::fromStdString(ConfigRoot().lexically_normal().string());
    const QByteArray hash =
        QCryptographicHash::hash(root, QCryptographicHash::Sha1).toHex().left(12);
    return QStringLiteral("kestrona-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

CInstanceChannel::CInstanceChannel(QObject* parent) : QObject(parent) {}

CInstanceChannel::~CInstanceChannel() {
    Close();
}

bool CInstanceChannel::Listen(const QString& name) {
    // Two starts at the same moment must not both decide that nobody runs and
    // then remove each other's socket.
    QLockFile lock(QDir::temp().filePath(name + QStringLiteral(".lock")));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(5000)) {
        return false;
    }
    {
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(1000)) {
            return false;
        }
    }
    // A socket file left by a process that died is in the way of a new one.
    QLocalServer::removeServer(name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &CInstanceChannel::OnNewConnection);
    return true;
}

void CInstanceChannel::Close() {
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
}

void CInstanceChannel::OnNewConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!SameUser(socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadable(socket); });
        if (socket->bytesAvailable() > 0) {
            OnReadable(socket);
        }
    }
}

void CInstanceChannel::OnReadable(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequest) {
            socket->abort();
        }
        return;
    }
    const QByteArray line = socket->readLine(kMaxRequest).trimmed();
    QStringList args = QString::fromUtf8(line).split(QLatin1Char(kSeparator));
    if (args.size() == 1 && args.front().isEmpty()) {
        args.clear();
    }
    // The asking program may hang up while the request is carried out, and
    // its socket is then freed.
    const QPointer<QLocalSocket> alive(socket);
    const QString answer = m_handler ? m_handler(args) : QStringLiteral("error no handler");
    if (alive && socket->state() == QLocalSocket::ConnectedState) {
        socket->write(answer.toUtf8() + '\n');
        socket->flush();
        socket->disconnectFromServer();
    }
}

std::optional<QString> SendToRunningInstance(const QStringList& args, int timeoutMs,
                                             const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) {
        return std::nullopt;
    }
    QByteArray request = args.join(QLatin1Char(kSeparator)).toUtf8();
    request.replace('\n', ' ');
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return std::nullopt;
    }
    QByteArray answer;
    while (!answer.endsWith('\n')) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            if (socket.bytesAvailable() == 0) {
                break;
            }
        }
        answer += socket.readAll();
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0 &&
            !answer.endsWith('\n')) {
            break;
        }
    }
    if (answer.isEmpty()) {
        return std::nullopt;
    }
    return QString::fromUtf8(answer).trimmed();
}

}  // namespace kestrona
