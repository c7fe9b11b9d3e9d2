// The desktop's message buses as the phone uses them: whether a bus is there
// at all, and asynchronous calls that always end, with a reply checked for
// its types or with a failure, never by blocking the caller's thread.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace kestrona {

// How long any call on a bus may take before it counts as failed.
inline constexpr int kBusCallTimeoutMs = 5000;

// The session bus, or nothing when this session has none: without an
// address in the environment or the usual socket, no connection is tried,
// so that no helper program is started to make one up.
std::optional<QDBusConnection> SessionBus();
// The system bus, or nothing when its socket is missing.
std::optional<QDBusConnection> SystemBus();

// Sends call on bus and hands the reply to done on this thread, or nothing
// when the call failed or timed out. done is dropped unheard once context
// is gone.
void CallAsync(const QDBusConnection& bus, const QDBusMessage& call, QObject* context,
               std::function<void(const std::optional<QDBusMessage>& reply)> done,
               int timeoutMs = kBusCallTimeoutMs);

// The reply holds exactly the given D-Bus signature ("u", "as", "o", "h").
bool ReplyIs(const QDBusMessage& reply, const char* signature);

}  // namespace kestrona
