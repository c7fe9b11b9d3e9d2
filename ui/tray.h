// The phone's notification-area icon and its two menus. The icon flashes
// between icons 128 and 148 while a call is offered and names the caller in
// its tip. Desktops without a notification area (stock GNOME among them) get
// minimising instead of hiding, and a desktop notification for a call, so the
// phone can never become unreachable. A tray that comes after the phone (the
// panel started later, or restarted) gets the icon then, through the tray
// protocol on the session bus.
#pragma once

#include <QBasicTimer>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;
class QUrl;
class QWidget;

namespace kestrona {

class CTrayItem;

inline constexpr int kIconPopup = 0;    // restore, exit
inline constexpr int kWindowPopup = 1;  // hide, the three lists, help, options

struct MenuEntry {
    int command;  // 0 for a separator
    const char* text;
};
// Menu resource 145: its two pop-ups.
const QVector<MenuEntry>& PopupEntries(int popup);
// A menu of the pop-up; each action carries its command as data. withExit
// adds the icon menu's exit to the end: where there is no notification area
// the window menu is the only way left to end the program.
QMenu* BuildPopupMenu(int popup, QWidget* parent = nullptr, bool withExit = false);
// Shows the pop-up at a screen position; the chosen command, or 0.
int ExecPopupMenu(int popup, QPoint globalPos, bool withExit = false);

bool TrayAvailable();
// Hides the window into the notification area, or minimises it where there
// is none.
void HideWindow(QWidget* window, bool trayAvailable);
// Shows the window in its restored size and place and brings it forward.
void RestoreWindow(QWidget* window);
// Opens "kestrona.hlp" of the resource folder with the desktop's default
// application. When that can't be done (no such file, or nothing on the
// machine to open it with) a message box names the file instead.
void OpenHelpFile(QWidget* parent = nullptr);
// What OpenHelpFile hands the file to: the desktop's opener unless replaced
// (the tests replace it). False when nothing could be started.
std::function<bool(const QUrl&)>& HelpOpener();

// "%s %d" of name and number, at most 63 characters.
QString TrayTipFor(const QString& name, int32_t number);

class CPhoneTray : public QObject {
    Q_OBJECT
  public:
    static constexpr int kFlashMs = 500;
    static constexpr int kIconNormal = 128;
    static constexpr int kIconFlash = 148;

    // trayAvailable: leave empty to ask the desktop (and to watch for a
    // tray that comes later, when there is none yet).
    explicit CPhoneTray(QWidget* phone, std::optional<bool> trayAvailable = std::nullopt,
                        QObject* parent = nullptr);
    // The late tray's icon on the given item (tests give one on a bus of
    // their own); taken over before AddTrayIcon.
    void UseLateTray(std::unique_ptr<CTrayItem> item);
    ~CPhoneTray() override;

    void AddTrayIcon();
    void RemoveTrayIcon();
    // on: the icon starts flashing and the tip names the caller (looked up
    // in the phone book); off: icon 128 and the program's name again.
    void FlashTray(bool on, int32_t peerNumber);
    // One flash step (timer 1040).
    void OnFlashStep();
    // Commands 32771 restore, 32774 hide, 32775 help; 57665 and the keys'
    // commands go to the command handler. Returns false for other ids.
    bool HandleCommand(int command);

    bool HasTray() const { return m_bTray; }
    bool IsShown() const { return m_bAdded; }
    bool IsFlashing() const { return m_flash.isActive(); }
    int CurrentIcon() const { return m_nIcon; }
    QString Tip() const { return m_strTip; }
    QSystemTrayIcon* Icon() const { return m_pIcon; }
    CTrayItem* LateIcon() const { return m_pItem.get(); }

    void SetCommandHandler(std::function<void(int)> handler) { m_handler = std::move(handler); }
    // Where the phone book lives (empty: the current directory).
    void SetBookRoot(std::filesystem::path root) { m_bookRoot = std::move(root); }
    // Raises the desktop notification of an offered call where there is no
    // tray; replaceable for tests.
    std::function<void(const QString& title, const QString& text)> notify;

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    void Modify();
    void OnActivated(int reason);
    void OnLateTray(bool shown);

    QPointer<QWidget> m_pPhone;
    QSystemTrayIcon* m_pIcon = nullptr;
    QMenu* m_pMenu = nullptr;
    std::unique_ptr<CTrayItem> m_pItem;
    bool m_bTray = false;
    bool m_bAdded = false;
    int m_nIcon = kIconNormal;
    QString m_strTip;
    QBasicTimer m_flash;
    std::function<void(int)> m_handler;
    std::filesystem::path m_bookRoot;
};

}  // namespace kestrona
