#include "app/desktop_tray_item.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QtEndian>

#include "app/desktop_bus.h"

namespace kestrona {

QDBusArgument& operator<<(QDBusArgument& out, const TrayPixmap& pixmap) {
    out.beginStructure();
    out << pixmap.width << pixmap.height << pixmap.argb;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, TrayPixmap& pixmap) {
    in.beginStructure();
    in >> pixmap.width >> pixmap.height >> pixmap.argb;
    in.endStructure();
    return in;
}

namespace {

const char* const kWatcher = "org.kde.StatusNotifierWatcher";
const char* const kItemPath = "/StatusNotifierItem";

}  // namespace

CTrayItem::CTrayItem(std::optional<QDBusConnection> bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)) {
    qDBusRegisterMetaType<TrayPixmap>();
    qDBusRegisterMetaType<TrayPixmaps>();
}

CTrayItem::~CTrayItem() {
    if (m_bus && m_bExported) {
        m_bus->unregisterObject(QLatin1String(kItemPath));
    }
}

void CTrayItem::Start() {
    if (!m_bus || m_watcher) {
        return;
    }
    // The item goes by the connection's own name, so that nothing waits
    // for the bus to hand out a well-known one.
    m_strService = m_bus->baseService();
    m_bExported =
        m_bus->registerObject(QLatin1String(kItemPath), this,
                              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                  QDBusConnection::ExportAllProperties);
    if (!m_bExported) {
        return;
    }
    m_watcher = std::make_unique<QDBusServiceWatcher>(QLatin1String(kWatcher), *m_bus,
                                                      QDBusServiceWatcher::WatchForOwnerChange);
    connect(m_watcher.get(), &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                if (owner.isEmpty()) {
                    SetShown(false);
                } else {
                    Register();
                }
            });
    // A tray that is there already.
    Register();
}

void CTrayItem::Register() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kWatcher), QStringLiteral("/StatusNotifierWatcher"), QLatin1String(kWatcher),
        QStringLiteral("RegisterStatusNotifierItem"));
    call << m_strService;
    CallAsync(*m_bus, call, this, [this](const std::optional<QDBusMessage>& reply) {
        // No watcher (yet): the name watcher tells when one comes.
        SetShown(reply.has_value());
    });
}

void CTrayItem::SetShown(bool shown) {
    if (m_bShown == shown) {
        return;
    }
    m_bShown = shown;
    if (onShown) {
        onShown(shown);
    }
}

void CTrayItem::SetIcon(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    TrayPixmap pixmap;
    pixmap.width = argb.width();
    pixmap.height = argb.height();
    pixmap.argb.resize(qsizetype(argb.width()) * argb.height() * 4);
    auto* out = reinterpret_cast<uchar*>(pixmap.argb.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4) {
            qToBigEndian<quint32>(line[x], out);
        }
    }
    m_pixmaps = {pixmap};
    emit NewIcon();
}

void CTrayItem::SetTitle(const QString& title) {
    if (title != m_strTitle) {
        m_strTitle = title;
        emit NewTitle();
    }
}

void CTrayItem::SetAttention(bool on) {
    if (on != m_bAttention) {
        m_bAttention = on;
        emit NewStatus(Status());
    }
}

void CTrayItem::Activate(int, int) {
    if (onActivate) {
        onActivate();
    }
}

void CTrayItem::SecondaryActivate(int x, int y) {
    Activate(x, y);
}

void CTrayItem::ContextMenu(int x, int y) {
    if (onMenu) {
        onMenu(QPoint(x, y));
    }
}

void CTrayItem::Scroll(int, const QString&) {}

}  // namespace kestrona
