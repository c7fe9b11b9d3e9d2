#include "app/desktop_bus.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace kestrona {

std::optional<QDBusConnection> SessionBus() {
    // libdbus would otherwise "autolaunch" a bus of its own.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        (runtime.isEmpty() || !QFileInfo::exists(QDir(runtime).filePath(QStringLiteral("bus"))))) {
        return std::nullopt;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return std::nullopt;
    }
    return bus;
}

std::optional<QDBusConnection> SystemBus() {
    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS") &&
        !QFileInfo::exists(QStringLiteral("/run/dbus/system_bus_socket")) &&
        !QFileInfo::exists(QStringLiteral("/var/run/dbus/system_bus_socket"))) {
        return std::nullopt;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return std::nullopt;
    }
    return bus;
}

void CallAsync(const QDBusConnection& bus, const QDBusMessage& call, QObject* context,
               std::function<void(const std::optional<QDBusMessage>& reply)> done, int timeoutMs) {
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         const QDBusMessage reply = w->reply();
                         if (w->isError() || reply.type() != QDBusMessage::ReplyMessage) {
                             done(std::nullopt);
                             return;
                         }
                         done(reply);
                     });
}

bool ReplyIs(const QDBusMessage& reply, const char* signature) {
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.signature() == QLatin1String(signature);
}

}  // namespace kestrona
