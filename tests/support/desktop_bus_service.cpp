// A stand-in for a desktop session's services on a private bus: the
// notification service (with the actions capability unless --no-actions)
// and the screen saver's inhibitor. Everything it is asked goes to the log
// file, one line per request, so that a test can read what the phones did.
// A test drives it through org.kestrona.TestDesktop at /test: Invoke sends
// ActionInvoked as a user's click would; StartWatcher brings up a tray
// (org.kde.StatusNotifierWatcher) late, which logs the items that register
// with it, their properties and their changes of status. It ends when its bus goes away or
// after --lifetime seconds, whichever comes first.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <cstdio>
#include <map>

namespace {

QFile* g_log = nullptr;

void Log(const QString& line) {
    g_log->write(line.toUtf8() + '\n');
    g_log->flush();
}

// Which phone asked: its process id, as the bus knows it.
QString Who(const QDBusConnection& bus, const QString& sender) {
    return QString::number(bus.interface()->servicePid(sender).value());
}

const QString kNotifyPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kNotifyInterface = QStringLiteral("org.freedesktop.Notifications");

class Notifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    explicit Notifications(bool actions) : m_actions(actions) {}

  public slots:
    QStringList GetCapabilities() {
        Log(QStringLiteral("capabilities"));
        QStringList caps{QStringLiteral("body"), QStringLiteral("persistence")};
        if (m_actions)
            caps << QStringLiteral("actions");
        return caps;
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& spec) {
        vendor = QStringLiteral("test");
        version = QStringLiteral("1");
        spec = QStringLiteral("1.2");
        return QStringLiteral("test-notifications");
    }
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int expire) {
        Q_UNUSED(icon);
        const uint id = replaces != 0 ? replaces : ++m_last;
        QStringList keys;
        for (int i = 0; i + 1 < actions.size(); i += 2) keys << actions[i];
        Log(QStringLiteral("notify id=%1 replaces=%2 pid=%3 app=%4 urgency=%5 category=%6 "
                           "entry=%7 expire=%8 actions=%9 summary=%10 body=%11")
                .arg(id)
                .arg(replaces)
                .arg(Who(connection(), message().service()), app)
                .arg(hints.value(QStringLiteral("urgency")).toInt())
                .arg(hints.value(QStringLiteral("category")).toString(),
                     hints.value(QStringLiteral("desktop-entry")).toString())
                .arg(expire)
                .arg(keys.join(QLatin1Char(',')), summary, body));
        return id;
    }
    void CloseNotification(uint id) {
        Log(QStringLiteral("close id=%1").arg(id));
        QDBusMessage closed = QDBusMessage::createSignal(kNotifyPath, kNotifyInterface,
                                                         QStringLiteral("NotificationClosed"));
        closed << id << uint(3);
        connection().send(closed);
    }

  private:
    bool m_actions;
    uint m_last = 0;
};

class ScreenSaver : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
  public:
    explicit ScreenSaver(const QDBusConnection& bus)
        : m_watcher(QString(), bus, QDBusServiceWatcher::WatchForUnregistration) {
        // A holder that leaves the bus (ended or killed) holds nothing any more.
        connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
                [this](const QString& name) {
                    for (auto it = m_holders.begin(); it != m_holders.end();) {
                        if (it->second == name) {
                            Log(QStringLiteral("vanished cookie=%1").arg(it->first));
                            it = m_holders.erase(it);
                        } else {
                            ++it;
                        }
                    }
                    m_watcher.removeWatchedService(name);
                });
    }

  public slots:
    uint Inhibit(const QString& app, const QString& reason) {
        const uint cookie = ++m_last;
        const QString sender = message().service();
        m_holders[cookie] = sender;
        m_watcher.addWatchedService(sender);
        Log(QStringLiteral("inhibit cookie=%1 pid=%2 app=%3 reason=%4")
                .arg(cookie)
                .arg(Who(connection(), sender), app, reason));
        return cookie;
    }
    void UnInhibit(uint cookie) {
        const bool held = m_holders.erase(cookie) > 0;
        Log(QStringLiteral("uninhibit cookie=%1 held=%2").arg(cookie).arg(held ? 1 : 0));
    }

  private:
    QDBusServiceWatcher m_watcher;
    std::map<uint, QString> m_holders;
    uint m_last = 0;
};

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        const QString sender = message().service();
        Log(QStringLiteral("item service=%1 pid=%2").arg(service, Who(connection(), sender)));
        QDBusConnection bus = connection();
        bus.connect(sender, QStringLiteral("/StatusNotifierItem"),
                    QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("NewStatus"), this,
                    SLOT(OnNewStatus(QString)));
        // As a tray does: it reads the item's look once it has answered.
        QTimer::singleShot(0, this, [bus, sender] {
            QDBusMessage get = QDBusMessage::createMethodCall(
                sender, QStringLiteral("/StatusNotifierItem"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
            get << QStringLiteral("org.kde.StatusNotifierItem");
            const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
                Log(QStringLiteral("item-props none"));
                return;
            }
            const QVariantMap props = qdbus_cast<QVariantMap>(reply.arguments().at(0));
            // The pictures: an array of (width, height, bytes).
            int width = 0, height = 0;
            const QDBusArgument pixmaps =
                props.value(QStringLiteral("IconPixmap")).value<QDBusArgument>();
            pixmaps.beginArray();
            if (!pixmaps.atEnd()) {
                QByteArray bytes;
                pixmaps.beginStructure();
                pixmaps >> width >> height >> bytes;
                pixmaps.endStructure();
                if (bytes.size() != qsizetype(width) * height * 4)
                    width = height = -1;
            }
            Log(QStringLiteral("item-props status=%1 icon=%2x%3 title=%4")
                    .arg(props.value(QStringLiteral("Status")).toString())
                    .arg(width)
                    .arg(height)
                    .arg(props.value(QStringLiteral("Title")).toString()));
        });
    }

  private slots:
    void OnNewStatus(const QString& status) { Log(QStringLiteral("item-status ") + status); }
};

class Control : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kestrona.TestDesktop")
  public:
    explicit Control(const QDBusConnection& bus) : m_bus(bus) {}

  public slots:
    bool StartWatcher() {
        const bool ok = m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &m_watcher,
                                             QDBusConnection::ExportAllSlots) &&
                        m_bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        Log(QStringLiteral("watcher %1").arg(ok ? 1 : 0));
        return ok;
    }
    void Invoke(uint id, const QString& key) {
        Log(QStringLiteral("invoke id=%1 key=%2").arg(id).arg(key));
        QDBusMessage signal = QDBusMessage::createSignal(kNotifyPath, kNotifyInterface,
                                                         QStringLiteral("ActionInvoked"));
        signal << id << key;
        m_bus.send(signal);
    }

  private:
    QDBusConnection m_bus;
    Watcher m_watcher;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    QString logPath;
    bool actions = true;
    int lifetime = 300;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--log") && i + 1 < args.size())
            logPath = args[++i];
        else if (args[i] == QLatin1String("--no-actions"))
            actions = false;
        else if (args[i] == QLatin1String("--lifetime") && i + 1 < args.size())
            lifetime = args[++i].toInt();
    }
    QFile log(logPath);
    if (logPath.isEmpty() || !log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "desktop_bus_service: --log FILE needed\n");
        return 2;
    }
    g_log = &log;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "desktop_bus_service: no bus\n");
        return 2;
    }
    Notifications notifications(actions);
    ScreenSaver screenSaver(bus);
    Control control(bus);
    bus.registerObject(kNotifyPath, &notifications, QDBusConnection::ExportAllSlots);
    bus.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &screenSaver,
                       QDBusConnection::ExportAllSlots);
    bus.registerObject(QStringLiteral("/test"), &control, QDBusConnection::ExportAllSlots);
    // The control name last: once it is there, the test may go on.
    if (!bus.registerService(QStringLiteral("org.freedesktop.Notifications")) ||
        !bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")) ||
        !bus.registerService(QStringLiteral("org.kestrona.TestDesktop"))) {
        std::fprintf(stderr, "desktop_bus_service: names taken\n");
        return 2;
    }
    Log(QStringLiteral("ready"));
    // The bus going away ends the service too.
    QTimer alive;
    QObject::connect(&alive, &QTimer::timeout, &app, [&bus, &app] {
        if (!bus.isConnected())
            app.quit();
    });
    alive.start(200);
    QTimer::singleShot(lifetime * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}

#include "desktop_bus_service.moc"
