// Keeps the screen on and the machine awake while a call is up. It asks, in
// turn, the desktop portal (idle and suspend), the screen saver service, and
// logind (a "sleep" lock) until one of them agrees. Each hold dies with the
// process: the portal and the screen saver track the phone's bus
// connection, and logind's lock is a file descriptor that only this process
// holds. Without any of them the phone goes on as before.
#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

namespace kestrona {

class CSleepInhibitor : public QObject {
  public:
    enum class Kind { kNone, kPortal, kScreenSaver, kLogind };

    // session, system: the buses, or none where the session has them not.
    CSleepInhibitor(std::optional<QDBusConnection> session, std::optional<QDBusConnection> system,
                    QObject* parent = nullptr);
    ~CSleepInhibitor() override;

    // Asks for the hold (once; again after a Release).
    void Hold(const QString& reason);
    // Gives the hold back, or drops it as soon as the pending request comes
    // back.
    void Release();
    // Who holds for us now.
    Kind Held() const { return m_kind; }
    bool Wanted() const { return m_bWanted; }

  private:
    void Try(Kind kind);
    void Next(Kind failed);
    void Got(Kind kind);
    void GiveBack();

    std::optional<QDBusConnection> m_session;
    std::optional<QDBusConnection> m_system;
    QString m_strReason;
    bool m_bWanted = false;
    bool m_bAsking = false;
    Kind m_kind = Kind::kNone;
    QDBusObjectPath m_portalHandle;
    uint32_t m_nCookie = 0;
    QDBusUnixFileDescriptor m_lock;
};

}  // namespace kestrona
