#include "app/desktop_notifier.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QVariantMap>

#include "app/desktop_bus.h"

namespace kestrona {
namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
// Tags of notifications let go and still in the service's list: the oldest
// are forgotten first (their actions then do nothing).
constexpr std::size_t kMaxTags = 32;

QDBusMessage Method(const char* name) {
    return QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                          QLatin1String(kInterface), QLatin1String(name));
}

}  // namespace

CDesktopNotifier::CDesktopNotifier(std::optional<QDBusConnection> bus, QString desktopEntry,
                                   QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_strDesktopEntry(std::move(desktopEntry)) {}

CDesktopNotifier::~CDesktopNotifier() = default;

void CDesktopNotifier::Start() {
    if (!m_bus) {
        m_bAsked = true;
        return;
    }
    for (const char* name : {"ActionInvoked", "NotificationClosed"}) {
        m_bus->connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                       QLatin1String(name), this, SLOT(OnSignal(QDBusMessage)));
    }
    CallAsync(*m_bus, Method("GetCapabilities"), this,
              [this](const std::optional<QDBusMessage>& reply) {
                  m_bAsked = true;
                  if (!reply || !ReplyIs(*reply, "as")) {
                      return;
                  }
                  const QStringList caps = reply->arguments().at(0).toStringList();
                  // Answer and Decline are the point of a call's notification.
                  m_bUsable = caps.contains(QStringLiteral("actions"));
              });
}

void CDesktopNotifier::Show(const DesktopNote& note, const QString& tag) {
    Queue({Op::Kind::kShow, note, tag});
}

void CDesktopNotifier::CloseCurrent() {
    Queue({Op::Kind::kClose, {}, {}});
}

void CDesktopNotifier::LetGo() {
    Queue({Op::Kind::kLetGo, {}, {}});
}

void CDesktopNotifier::Queue(Op op) {
    if (!m_bUsable) {
        return;
    }
    m_ops.push_back(std::move(op));
    Pump();
}

// One Notify at a time: a close or a replacement of a notification whose id
// has not come yet waits for the id.
void CDesktopNotifier::Pump() {
    while (!m_bPending && !m_ops.empty()) {
        Op op = std::move(m_ops.front());
        m_ops.pop_front();
        switch (op.kind) {
            case Op::Kind::kShow: {
                QVariantMap hints;
                hints.insert(QStringLiteral("urgency"), QVariant::fromValue(op.note.urgency));
                if (!op.note.category.isEmpty()) {
                    hints.insert(QStringLiteral("category"), op.note.category);
                }
                hints.insert(QStringLiteral("desktop-entry"), m_strDesktopEntry);
                QDBusMessage call = Method("Notify");
                call << QStringLiteral("Kestrona") << m_nCurrent << QStringLiteral("call-start")
                     << op.note.summary << op.note.body << op.note.actions << hints
                     << op.note.expireMs;
                m_bPending = true;
                const QString tag = op.tag;
                CallAsync(
                    *m_bus, call, this,
                    [this, tag](const std::optional<QDBusMessage>& reply) { OnShown(reply, tag); });
                break;
            }
            case Op::Kind::kClose:
                if (m_nCurrent != 0) {
                    QDBusMessage call = Method("CloseNotification");
                    call << m_nCurrent;
                    CallAsync(*m_bus, call, this, [](const std::optional<QDBusMessage>&) {});
                    Forget(m_nCurrent);
                }
                break;
            case Op::Kind::kLetGo:
                m_nCurrent = 0;
                break;
        }
    }
}

void CDesktopNotifier::OnShown(const std::optional<QDBusMessage>& reply, const QString& tag) {
    m_bPending = false;
    const uint32_t replaced = m_nCurrent;
    if (reply && ReplyIs(*reply, "u") && reply->arguments().at(0).toUInt() != 0) {
        m_nCurrent = reply->arguments().at(0).toUInt();
        if (replaced != 0 && replaced != m_nCurrent) {
            m_tags.erase(replaced);
        }
        m_tags[m_nCurrent] = tag;
        while (m_tags.size() > kMaxTags) {
            m_tags.erase(m_tags.begin());
        }
    } else {
        // Nothing shown: what follows starts afresh.
        m_nCurrent = 0;
    }
    Pump();
}

void CDesktopNotifier::Forget(uint32_t id) {
    m_tags.erase(id);
    if (id == m_nCurrent) {
        m_nCurrent = 0;
    }
}

void CDesktopNotifier::OnSignal(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (message.member() == QLatin1String("NotificationClosed")) {
        if (message.signature() == QLatin1String("uu")) {
            Forget(args.at(0).toUInt());
        }
        return;
    }
    if (message.member() != QLatin1String("ActionInvoked") ||
        message.signature() != QLatin1String("us")) {
        return;
    }
    // Only our own notifications; others' ids mean nothing here.
    const auto it = m_tags.find(args.at(0).toUInt());
    if (it == m_tags.end()) {
        return;
    }
    const QString tag = it->second;
    if (onAction) {
        onAction(args.at(1).toString(), tag);
    }
}

}  // namespace kestrona
