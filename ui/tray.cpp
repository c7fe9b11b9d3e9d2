#include "ui/tray.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimerEvent>
#include <QUrl>
#include <QWidget>
#include <string>

#include "app/desktop_bus.h"
#include "app/desktop_tray_item.h"
#include "app/message_box.h"
#include "platform/app_paths.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "store/phone_book.h"

namespace kestrona {

namespace {

const char* const kProgramName = "Ostravine Kestrona";
constexpr int kTipMax = 63;

// The stock notification sender; nothing happens where it is missing, the
// task-bar alert still marks the window.
void DesktopNotify(const QString& title, const QString& text) {
    const QString sender = QStandardPaths::findExecutable(QStringLiteral("notify-send"));
    if (!sender.isEmpty()) {
        QProcess::startDetached(sender, {QStringLiteral("--app-name=Kestrona"), title, text});
    }
}

}  // namespace

const QVector<MenuEntry>& PopupEntries(int popup) {
    static const QVector<MenuEntry> icon = {
        {res::kCmdRestore, QT_TRANSLATE_NOOP("PopupMenu", "恢复(&S)")},
        {res::kCmdMute, QT_TRANSLATE_NOOP("PopupMenu", "静音/取消静音(&U)")},
        {0, nullptr},
        {res::kCmdExit, QT_TRANSLATE_NOOP("PopupMenu", "退出(&E)")},
    };
    static const QVector<MenuEntry> window = {
        {res::kCmdHide, QT_TRANSLATE_NOOP("PopupMenu", "最小化(&H)")},
        {0, nullptr},
        {res::kCmdCallsTaken, QT_TRANSLATE_NOOP("PopupMenu", "打入的电话(&R)")},
        {res::kCmdCallsMade, QT_TRANSLATE_NOOP("PopupMenu", "拨出的电话(&D)")},
        {res::kCmdCallsMissed, QT_TRANSLATE_NOOP("PopupMenu", "未接电话(&M)")},
        {0, nullptr},
        {res::kCmdMute, QT_TRANSLATE_NOOP("PopupMenu", "静音/取消静音(&U)")},
        {res::kCmdHelp, QT_TRANSLATE_NOOP("PopupMenu", "帮助(&H)")},
        {res::kCmdSetup, QT_TRANSLATE_NOOP("PopupMenu", "选项(&O)")},
    };
    return popup == kIconPopup ? icon : window;
}

QMenu* BuildPopupMenu(int popup, QWidget* parent, bool withExit) {
    auto* menu = new QMenu(parent);
    menu->setTitle(QStringLiteral("_Popup_"));
    for (const MenuEntry& e : PopupEntries(popup)) {
        if (e.command == 0) {
            menu->addSeparator();
        } else {
            menu->addAction(QCoreApplication::translate("PopupMenu", e.text))->setData(e.command);
        }
    }
    if (withExit) {
        menu->addSeparator();
        menu->addAction(
                QCoreApplication::translate("PopupMenu", PopupEntries(kIconPopup).back().text))
            ->setData(res::kCmdExit);
    }
    return menu;
}

int ExecPopupMenu(int popup, QPoint globalPos, bool withExit) {
    QMenu* menu = BuildPopupMenu(popup, nullptr, withExit);
    QAction* chosen = menu->exec(globalPos);
    const int command = chosen ? chosen->data().toInt() : 0;
    delete menu;
    return command;
}

bool TrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void HideWindow(QWidget* window, bool trayAvailable) {
    if (!window)
        return;
    window->showMinimized();
    // Without a notification area a hidden window could not be found again.
    if (trayAvailable)
        window->hide();
}

void RestoreWindow(QWidget* window) {
    if (!window)
        return;
    window->showNormal();
    window->raise();
    window->activateWindow();
}

std::function<bool(const QUrl&)>& HelpOpener() {
    static std::function<bool(const QUrl&)> opener = [](const QUrl& url) {
        return QDesktopServices::openUrl(url);
    };
    return opener;
}

namespace {

bool LaunchHelpFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Desktops take ".hlp" for the old Windows help format and find nothing
    // to open it with; our help is HTML, so it is shown from an ".html" copy.
    const QByteArray head = file.peek(512).trimmed().toLower();
    if (!head.startsWith("<!doctype html") && !head.startsWith("<html"))
        return HelpOpener()(QUrl::fromLocalFile(path));
    const QString copy = QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
                             .absoluteFilePath(QStringLiteral("kestrona-help.html"));
    QFile::remove(copy);
    if (!file.copy(copy))
        return false;
    return HelpOpener()(QUrl::fromLocalFile(copy));
}

}  // namespace

void OpenHelpFile(QWidget* parent) {
    const QString path = QString::fromStdString(ResourcePath(res::kHelpFile).string());
    if (LaunchHelpFile(path))
        return;
    QString text = ResString(res::kStrHelpNotOpened);
    text.replace(QLatin1String("%s"), QDir::toNativeSeparators(path));
    ShowMessageText(text, parent);
}

QString TrayTipFor(const QString& name, int32_t number) {
    return QStringLiteral("%1 %2").arg(name).arg(number).left(kTipMax);
}

CPhoneTray::CPhoneTray(QWidget* phone, std::optional<bool> trayAvailable, QObject* parent)
    : QObject(parent), m_pPhone(phone), m_bTray(trayAvailable.value_or(TrayAvailable())) {
    notify = DesktopNotify;
    m_strTip = QString::fromLatin1(kProgramName);
    if (!trayAvailable && !m_bTray) {
        UseLateTray(std::make_unique<CTrayItem>(SessionBus()));
    }
}

CPhoneTray::~CPhoneTray() {
    RemoveTrayIcon();
    m_pItem.reset();
    delete m_pMenu;
}

void CPhoneTray::UseLateTray(std::unique_ptr<CTrayItem> item) {
    m_pItem = std::move(item);
    if (!m_pItem) {
        return;
    }
    m_pItem->onShown = [this](bool shown) { OnLateTray(shown); };
    m_pItem->onActivate = [this] { RestoreWindow(m_pPhone); };
    m_pItem->onMenu = [this](QPoint at) {
        if (!m_pMenu) {
            m_pMenu = BuildPopupMenu(kIconPopup);
            connect(m_pMenu, &QMenu::triggered, this,
                    [this](QAction* a) { HandleCommand(a->data().toInt()); });
        }
        m_pMenu->popup(at);
    };
}

void CPhoneTray::OnLateTray(bool shown) {
    m_bTray = shown;
    // A window hidden into a tray that went away could not be found again.
    if (!shown && m_pPhone && m_pPhone->isHidden() && m_bAdded) {
        m_pPhone->showMinimized();
    }
}

void CPhoneTray::AddTrayIcon() {
    m_nIcon = kIconNormal;
    m_strTip = QString::fromLatin1(kProgramName);
    m_bAdded = true;
    if (m_pItem) {
        Modify();
        m_pItem->Start();
        return;
    }
    if (!m_bTray)
        return;
    if (!m_pIcon) {
        m_pIcon = new QSystemTrayIcon(this);
        m_pMenu = BuildPopupMenu(kIconPopup);
        connect(m_pMenu, &QMenu::triggered, this,
                [this](QAction* a) { HandleCommand(a->data().toInt()); });
        m_pIcon->setContextMenu(m_pMenu);
        connect(m_pIcon, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason r) { OnActivated(r); });
    }
    Modify();
    m_pIcon->show();
}

void CPhoneTray::RemoveTrayIcon() {
    m_flash.stop();
    m_bAdded = false;
    if (m_pIcon)
        m_pIcon->hide();
}

void CPhoneTray::Modify() {
    if (m_pItem) {
        m_pItem->SetIcon(QImage(res::IconPath(m_nIcon)));
        m_pItem->SetTitle(m_strTip);
    }
    if (!m_pIcon)
        return;
    m_pIcon->setIcon(QIcon(res::IconPath(m_nIcon)));
    m_pIcon->setToolTip(m_strTip);
}

void CPhoneTray::FlashTray(bool on, int32_t peerNumber) {
    if (m_pItem) {
        m_pItem->SetAttention(on);
    }
    if (!on) {
        m_flash.stop();
        m_nIcon = kIconNormal;
        m_strTip = QString::fromLatin1(kProgramName);
        Modify();
        return;
    }
    m_flash.start(kFlashMs, this);
    std::string name;
    FindNameByNumber(peerNumber, name, m_bookRoot);
    m_strTip = TrayTipFor(QString::fromStdString(name), peerNumber);
    Modify();
    if (!m_bTray) {
        QApplication::alert(m_pPhone);
        if (notify)
            notify(QString::fromLatin1(kProgramName), m_strTip);
    }
}

void CPhoneTray::OnFlashStep() {
    m_nIcon = m_nIcon == kIconNormal ? kIconFlash : kIconNormal;
    Modify();
}

void CPhoneTray::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_flash.timerId()) {
        OnFlashStep();
    } else {
        QObject::timerEvent(event);
    }
}

void CPhoneTray::OnActivated(int reason) {
    // The right button's menu is the icon's context menu; only the double
    // click needs handling here.
    if (reason == QSystemTrayIcon::DoubleClick)
        RestoreWindow(m_pPhone);
}

bool CPhoneTray::HandleCommand(int command) {
    switch (command) {
        case res::kCmdRestore:
            RestoreWindow(m_pPhone);
            return true;
        case res::kCmdHide:
            HideWindow(m_pPhone, m_bTray);
            return true;
        case res::kCmdHelp:
            OpenHelpFile(m_pPhone);
            return true;
        default:
            break;
    }
    if (command == res::kCmdExit || command == res::kCmdMute ||
        (command >= res::kCmdFirstKey && command <= res::kCmdSetup)) {
        if (m_handler)
            m_handler(command);
        return true;
    }
    return false;
}

}  // namespace kestrona
