#include "app/sleep_inhibitor.h"

#include <QDBusMessage>
#include <QVariantMap>

#include "app/desktop_bus.h"

namespace kestrona {
namespace {

const char* const kPortalService = "org.freedesktop.portal.Desktop";
const char* const kScreenSaverService = "org.freedesktop.ScreenSaver";
const char* const kLogindService = "org.freedesktop.login1";
// The portal's flags: 4 suspend, 8 idle.
constexpr uint32_t kPortalSuspendAndIdle = 4 | 8;

}  // namespace

CSleepInhibitor::CSleepInhibitor(std::optional<QDBusConnection> session,
                                 std::optional<QDBusConnection> system, QObject* parent)
    : QObject(parent), m_session(std::move(session)), m_system(std::move(system)) {}

CSleepInhibitor::~CSleepInhibitor() {
    m_bWanted = false;
    GiveBack();
}

void CSleepInhibitor::Hold(const QString& reason) {
    m_strReason = reason;
    m_bWanted = true;
    // A request under way, or a hold already there, serves this call too.
    if (m_bAsking || m_kind != Kind::kNone) {
        return;
    }
    Try(Kind::kPortal);
}

void CSleepInhibitor::Release() {
    m_bWanted = false;
    // A pending request is given back when its answer comes.
    GiveBack();
}

void CSleepInhibitor::Try(Kind kind) {
    QDBusMessage call;
    std::optional<QDBusConnection> bus = m_session;
    switch (kind) {
        case Kind::kPortal: {
            call = QDBusMessage::createMethodCall(
                QLatin1String(kPortalService), QStringLiteral("/org/freedesktop/portal/desktop"),
                QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
            QVariantMap options;
            options.insert(QStringLiteral("reason"), m_strReason);
            call << QString() << kPortalSuspendAndIdle << options;
            break;
        }
        case Kind::kScreenSaver:
            call = QDBusMessage::createMethodCall(
                QLatin1String(kScreenSaverService), QStringLiteral("/org/freedesktop/ScreenSaver"),
                QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("Inhibit"));
            call << QStringLiteral("Kestrona") << m_strReason;
            break;
        case Kind::kLogind:
            bus = m_system;
            call = QDBusMessage::createMethodCall(
                QLatin1String(kLogindService), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
            call << QStringLiteral("sleep:idle") << QStringLiteral("Kestrona") << m_strReason
                 << QStringLiteral("block");
            break;
        case Kind::kNone:
            return;
    }
    if (!bus) {
        Next(kind);
        return;
    }
    m_bAsking = true;
    CallAsync(*bus, call, this, [this, kind](const std::optional<QDBusMessage>& reply) {
        m_bAsking = false;
        const char* signature = kind == Kind::kPortal        ? "o"
                                : kind == Kind::kScreenSaver ? "u"
                                                             : "h";
        if (!reply || !ReplyIs(*reply, signature)) {
            if (m_bWanted) {
                Next(kind);
            }
            return;
        }
        const QVariant value = reply->arguments().at(0);
        switch (kind) {
            case Kind::kPortal:
                m_portalHandle = value.value<QDBusObjectPath>();
                break;
            case Kind::kScreenSaver:
                m_nCookie = value.toUInt();
                break;
            default:
                m_lock = value.value<QDBusUnixFileDescriptor>();
                if (!m_lock.isValid()) {
                    if (m_bWanted) {
                        Next(kind);
                    }
                    return;
                }
                break;
        }
        Got(kind);
    });
}

void CSleepInhibitor::Next(Kind failed) {
    switch (failed) {
        case Kind::kPortal:
            Try(Kind::kScreenSaver);
            break;
        case Kind::kScreenSaver:
            Try(Kind::kLogind);
            break;
        default:
            break;  // nobody to ask: the phone goes on without a hold
    }
}

void CSleepInhibitor::Got(Kind kind) {
    m_kind = kind;
    // Released while the request was under way.
    if (!m_bWanted) {
        GiveBack();
    }
}

void CSleepInhibitor::GiveBack() {
    switch (m_kind) {
        case Kind::kPortal:
            if (m_session) {
                const QDBusMessage call = QDBusMessage::createMethodCall(
                    QLatin1String(kPortalService), m_portalHandle.path(),
                    QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close"));
                m_session->send(call);
            }
            break;
        case Kind::kScreenSaver:
            if (m_session) {
                QDBusMessage call = QDBusMessage::createMethodCall(
                    QLatin1String(kScreenSaverService),
                    QStringLiteral("/org/freedesktop/ScreenSaver"),
                    QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("UnInhibit"));
                call << m_nCookie;
                m_session->send(call);
            }
            break;
        case Kind::kLogind:
            // Closing our only copy of the descriptor ends the lock.
            m_lock = QDBusUnixFileDescriptor();
            break;
        case Kind::kNone:
            break;
    }
    m_kind = Kind::kNone;
    m_portalHandle = QDBusObjectPath();
    m_nCookie = 0;
}

}  // namespace kestrona
