// The phone's icon in a tray that speaks the StatusNotifierItem protocol,
// for a tray that was not there when the phone started (the toolkit's own
// icon only looks for a tray once). It watches for the desktop's
// org.kde.StatusNotifierWatcher, registers itself whenever one appears, and
// says whether a tray shows it now.
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QDBusServiceWatcher;

namespace kestrona {

// One picture of the icon as the protocol carries it: width, height and
// ARGB32 pixels in network byte order.
struct TrayPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using TrayPixmaps = QList<TrayPixmap>;

class CTrayItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(kestrona::TrayPixmaps IconPixmap READ IconPixmap)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)

  public:
    // bus: none for a session without one (the item then never shows).
    explicit CTrayItem(std::optional<QDBusConnection> bus, QObject* parent = nullptr);
    ~CTrayItem() override;

    // Looks for a tray now and whenever one comes or goes.
    void Start();
    // A tray shows the icon now.
    bool Shown() const { return m_bShown; }

    void SetIcon(const QImage& image);
    void SetTitle(const QString& title);
    // A call wants the user: the tray may make the icon stand out.
    void SetAttention(bool on);

    // The tray came (true) or went (false).
    std::function<void(bool shown)> onShown;
    // A click on the icon, and the request for its menu at a screen point.
    std::function<void()> onActivate;
    std::function<void(QPoint at)> onMenu;

    QString Category() const { return QStringLiteral("Communications"); }
    QString Id() const { return QStringLiteral("kestrona"); }
    QString Title() const { return m_strTitle; }
    QString Status() const {
        return m_bAttention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
    }
    QString IconName() const { return {}; }
    TrayPixmaps IconPixmap() const { return m_pixmaps; }
    bool ItemIsMenu() const { return false; }

  public slots:
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString& orientation);

  signals:
    void NewTitle();
    void NewIcon();
    void NewStatus(const QString& status);

  private:
    void Register();
    void SetShown(bool shown);

    std::optional<QDBusConnection> m_bus;
    std::unique_ptr<QDBusServiceWatcher> m_watcher;
    QString m_strService;
    QString m_strTitle;
    TrayPixmaps m_pixmaps;
    bool m_bAttention = false;
    bool m_bShown = false;
    bool m_bExported = false;
};

}  // namespace kestrona

Q_DECLARE_METATYPE(kestrona::TrayPixmap)
Q_DECLARE_METATYPE(kestrona::TrayPixmaps)
