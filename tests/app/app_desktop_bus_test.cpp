// The desktop clients against services of the test's own on a private bus
// (a dbus-daemon the test starts and ends): services that answer with the
// wrong types, signals forged by someone else, and a logind whose lock is a
// pipe the test watches.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <fstream>

#include "app/desktop_notifier.h"
#include "app/sleep_inhibitor.h"
#include "platform/temp_dir.h"

using namespace kestrona;

namespace {

bool Spin(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// A notification service that lies about what it showed, when told to.
class LyingNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    bool wrongId = false;
    std::vector<uint> replaced;
    std::vector<uint> closed;

  public slots:
    QStringList GetCapabilities() { return {QStringLiteral("actions")}; }
    uint Notify(const QString&, uint replaces, const QString&, const QString&, const QString&,
                const QStringList&, const QVariantMap&, int) {
        replaced.push_back(replaces);
        if (wrongId) {
            setDelayedReply(true);
            connection().send(message().createReply(QStringLiteral("not a number")));
            return 0;
        }
        // A replacement keeps its id, as the protocol has it.
        return replaces != 0 ? replaces : 40 + uint(replaced.size());
    }
    void CloseNotification(uint id) { closed.push_back(id); }
};

// logind's Inhibit: the write end of a pipe whose read end the test keeps.
class Logind : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
  public:
    int readEnd = -1;
    QString what;
    // Holds the answer back until Answer.
    bool slow = false;
    QDBusMessage pending;

    void Answer() {
        QDBusConnection bus = m_bus;
        bus.send(pending.createReply(QVariant::fromValue(MakeLock())));
        pending = {};
    }

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& w, const QString&, const QString&,
                                    const QString&) {
        what = w;
        if (slow) {
            setDelayedReply(true);
            pending = message();
            m_bus = connection();
            return {};
        }
        return MakeLock();
    }

  private:
    QDBusUnixFileDescriptor MakeLock() {
        int fds[2];
        if (::pipe(fds) != 0) {
            return {};
        }
        readEnd = fds[0];
        // The descriptor object holds its own copy; ours goes at once.
        QDBusUnixFileDescriptor lock(fds[1]);
        ::close(fds[1]);
        return lock;
    }
    QDBusConnection m_bus{QString()};
};

// The desktop portal's Inhibit: a request object per hold, closed to give
// the hold back.
class Portal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
  public:
    uint flags = 0;
    QString reason;

  public slots:
    QDBusObjectPath Inhibit(const QString&, uint f, const QVariantMap& options) {
        flags = f;
        reason = options.value(QStringLiteral("reason")).toString();
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/portal/desktop/request/1_1/k"));
    }
};

class PortalRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
  public:
    int closes = 0;

  public slots:
    void Close() { ++closes; }
};

// The write end was closed everywhere: the read end sees the end of file.
bool LockClosed(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLIN));
}

class DesktopBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto conf = dir.path() / "bus.conf";
        std::ofstream(conf) << "<busconfig><type>session</type><listen>unix:path="
                            << (dir.path() / "bus").string()
                            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                               "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                               "</busconfig>\n";
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                      QStringLiteral("--print-address=1"),
                      QStringLiteral("--config-file=") + QString::fromStdString(conf.string())});
        ASSERT_TRUE(daemon.waitForStarted(10000));
        // The address comes once the daemon takes connections.
        ASSERT_TRUE(daemon.waitForReadyRead(10000)) << daemon.readAllStandardError().toStdString();
        const QString address =
            QStringLiteral("unix:path=") + QString::fromStdString((dir.path() / "bus").string());
        // Names of this test's own: the connections stay with Qt until the
        // process ends (dropping one early upsets libdbus), and the bus going
        // away leaves them closed.
        static int serial = 0;
        m_prefix = QStringLiteral("t%1-").arg(++serial);
        for (const char* name : {"service", "client", "forger"}) {
            ASSERT_TRUE(QDBusConnection::connectToBus(address, m_prefix + QLatin1String(name))
                            .isConnected());
        }
    }
    void TearDown() override {
        daemon.kill();
        daemon.waitForFinished(5000);
    }
    QDBusConnection Bus(const char* name) const {
        return QDBusConnection(m_prefix + QLatin1String(name));
    }

    kestrona::testing::TempDir dir;
    QProcess daemon;
    QString m_prefix;
};

// A Notify answered with a text is nothing shown: no close goes out for
// it, and the next notification starts afresh. Actions come only from the
// service itself, for notifications the phone showed.
TEST_F(DesktopBusTest, NotifierTrustsNoReplyItCannotCheckNorSignalsOfOthers) {
    LyingNotifications service;
    Bus("service").registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                  QDBusConnection::ExportAllSlots);
    ASSERT_TRUE(Bus("service").registerService(QStringLiteral("org.freedesktop.Notifications")));
    CDesktopNotifier notifier(Bus("client"), QStringLiteral("test"));
    std::vector<std::string> actions;
    notifier.onAction = [&](const QString& key, const QString& tag) {
        actions.push_back(key.toStdString() + " " + tag.toStdString());
    };
    notifier.Start();
    ASSERT_TRUE(Spin([&] { return notifier.Asked(); }));
    ASSERT_TRUE(notifier.Usable());

    service.wrongId = true;
    notifier.Show({}, QStringLiteral("first"));
    notifier.CloseCurrent();
    ASSERT_TRUE(Spin([&] { return service.replaced.size() == 1; }));
    service.wrongId = false;
    // Shown while the first was still under way: after it, in order.
    notifier.Show({}, QStringLiteral("second"));
    notifier.Show({}, QStringLiteral("second, replaced"));
    ASSERT_TRUE(Spin([&] { return service.replaced.size() == 3; }));
    EXPECT_EQ(service.replaced, (std::vector<uint>{0, 0, 42}));
    EXPECT_TRUE(service.closed.empty());

    auto signal = [](const char* member, const QVariantList& args) {
        QDBusMessage s = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QLatin1String(member));
        s.setArguments(args);
        return s;
    };
    // Someone else's signal, the wrong types, an id never shown: nothing.
    Bus("forger").send(signal("ActionInvoked", {uint(42), QStringLiteral("answer")}));
    Bus("service").send(signal("ActionInvoked", {QStringLiteral("42"), QStringLiteral("answer")}));
    Bus("service").send(signal("ActionInvoked", {uint(7), QStringLiteral("answer")}));
    Bus("service").send(signal("ActionInvoked", {uint(42), QStringLiteral("decline")}));
    ASSERT_TRUE(Spin([&] { return !actions.empty(); }));
    Spin([] { return false; }, 200);
    EXPECT_EQ(actions, (std::vector<std::string>{"decline second, replaced"}));

    // Closed by the user: its actions are gone, and a close is not sent.
    Bus("service").send(signal("NotificationClosed", {uint(42), uint(2)}));
    Spin([] { return false; }, 200);
    notifier.CloseCurrent();
    Bus("service").send(signal("ActionInvoked", {uint(42), QStringLiteral("answer")}));
    Spin([] { return false; }, 200);
    EXPECT_EQ(actions.size(), 1u);
    EXPECT_TRUE(service.closed.empty());
}

// Without a portal or a screen saver, logind's lock is kept open for as
// long as the hold lasts, and closed at its end; a hold released while
// logind still answers is given back as soon as the answer comes.
TEST_F(DesktopBusTest, InhibitorKeepsLogindsLockOpenUntilReleased) {
    Logind logind;
    Bus("service").registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                  QDBusConnection::ExportAllSlots);
    ASSERT_TRUE(Bus("service").registerService(QStringLiteral("org.freedesktop.login1")));
    CSleepInhibitor inhibitor(Bus("client"), Bus("client"));

    inhibitor.Hold(QStringLiteral("call"));
    ASSERT_TRUE(Spin([&] { return inhibitor.Held() == CSleepInhibitor::Kind::kLogind; }));
    EXPECT_EQ(logind.what, QStringLiteral("sleep:idle"));
    const int first = logind.readEnd;
    Spin([] { return false; }, 100);
    EXPECT_FALSE(LockClosed(first));
    inhibitor.Hold(QStringLiteral("again"));  // one hold, not two
    inhibitor.Release();
    EXPECT_TRUE(LockClosed(first));
    EXPECT_EQ(inhibitor.Held(), CSleepInhibitor::Kind::kNone);

    logind.readEnd = -1;
    logind.slow = true;
    inhibitor.Hold(QStringLiteral("call"));
    ASSERT_TRUE(Spin([&] { return logind.pending.type() == QDBusMessage::MethodCallMessage; }));
    inhibitor.Release();
    logind.Answer();
    ASSERT_TRUE(Spin([&] { return logind.readEnd >= 0 && LockClosed(logind.readEnd); }))
        << "the late lock was kept";
    EXPECT_EQ(inhibitor.Held(), CSleepInhibitor::Kind::kNone);
    ::close(first);
    ::close(logind.readEnd);
}

// The portal comes first: idle and suspend for the reason given, its
// request closed at the release.
TEST_F(DesktopBusTest, InhibitorAsksThePortalFirstAndClosesItsRequest) {
    Portal portal;
    PortalRequest request;
    Logind logind;
    QDBusConnection service = Bus("service");
    service.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                           QDBusConnection::ExportAllSlots);
    service.registerObject(QStringLiteral("/org/freedesktop/portal/desktop/request/1_1/k"),
                           &request, QDBusConnection::ExportAllSlots);
    service.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                           QDBusConnection::ExportAllSlots);
    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.login1")));
    CSleepInhibitor inhibitor(Bus("client"), Bus("client"));

    inhibitor.Hold(QStringLiteral("call"));
    ASSERT_TRUE(Spin([&] { return inhibitor.Held() == CSleepInhibitor::Kind::kPortal; }));
    EXPECT_EQ(portal.flags, 4u | 8u);
    EXPECT_EQ(portal.reason, QStringLiteral("call"));
    EXPECT_TRUE(logind.what.isEmpty()) << "one hold, from the first that agrees";
    inhibitor.Release();
    EXPECT_TRUE(Spin([&] { return request.closes == 1; }));
}

}  // namespace

#include "app_desktop_bus_test.moc"
