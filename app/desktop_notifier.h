// The desktop's notification service (org.freedesktop.Notifications): one
// replaceable "current" notification at a time, and those let go before it,
// whose actions still come back. The service is asked for its capabilities
// first; one without actions, or no service at all, leaves the notifier
// unusable and every request does nothing.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>

namespace kestrona {

struct DesktopNote {
    QString summary;
    QString body;
    // Pairs of action key and label; "default" is the click on the banner.
    QStringList actions;
    uint8_t urgency = 1;  // 0 low, 1 normal, 2 critical
    QString category;     // "call.incoming" and the like
    int expireMs = -1;    // -1: as the service likes, 0: until closed
};

class CDesktopNotifier : public QObject {
    Q_OBJECT
  public:
    // bus: none for a session without one. desktopEntry names the phone's
    // desktop file (without ".desktop") in every notification.
    CDesktopNotifier(std::optional<QDBusConnection> bus, QString desktopEntry,
                     QObject* parent = nullptr);
    ~CDesktopNotifier() override;

    // Asks the service for its capabilities; Usable from the answer on.
    void Start();
    bool Usable() const { return m_bUsable; }
    // The answer to Start came (usable or not).
    bool Asked() const { return m_bAsked; }

    // Shows note as the current notification, in place of the one shown
    // before; tag comes back with the note's actions.
    void Show(const DesktopNote& note, const QString& tag);
    // Closes the current notification.
    void CloseCurrent();
    // The current notification stays with the service; the next Show makes
    // a new one.
    void LetGo();

    // An action of a notification that this notifier showed: its key and tag.
    std::function<void(const QString& key, const QString& tag)> onAction;

  private:
    struct Op {
        enum class Kind { kShow, kClose, kLetGo } kind;
        DesktopNote note;
        QString tag;
    };
    void Queue(Op op);
    void Pump();
    void OnShown(const std::optional<QDBusMessage>& reply, const QString& tag);
    void Forget(uint32_t id);

  private slots:
    // ActionInvoked and NotificationClosed of the service.
    void OnSignal(const QDBusMessage& message);

  private:
    std::optional<QDBusConnection> m_bus;
    QString m_strDesktopEntry;
    bool m_bAsked = false;
    bool m_bUsable = false;
    uint32_t m_nCurrent = 0;
    bool m_bPending = false;
    std::deque<Op> m_ops;
    // What each live notification's actions come back with.
    std::map<uint32_t, QString> m_tags;
};

}  // namespace kestrona
