// The local socket that marks a running phone and carries requests to it.
//
// One phone runs per user and settings folder: the first start listens on a
// local socket named after both; a later start connects to it, hands over its
// arguments (one line, arguments separated by US, 0x1F) and prints or acts on
// the one-line answer. Connections from other users are refused.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace kestrona {

// The socket name for this user and the current settings folder.
QString InstanceSocketName();

class CInstanceChannel : public QObject {
    Q_OBJECT
  public:
    using Handler = std::function<QString(const QStringList& args)>;

    explicit CInstanceChannel(QObject* parent = nullptr);
    ~CInstanceChannel() override;

    // Becomes the running instance. False when another instance already
    // answers on the socket (or the socket cannot be opened at all).
    bool Listen(const QString& name = InstanceSocketName());
    void Close();
    void SetHandler(Handler handler) { m_handler = std::move(handler); }

  private:
    void OnNewConnection();
    void OnReadable(QLocalSocket* socket);

    QLocalServer* m_server = nullptr;
    Handler m_handler;
};

// Sends the arguments to the running instance and returns its answer; nothing
// when no instance answers within the time.
std::optional<QString> SendToRunningInstance(const QStringList& args, int timeoutMs = 5000,
                                             const QString& name = InstanceSocketName());

}  // namespace kestrona
