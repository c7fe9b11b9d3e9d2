// The phone window: the view of the call controller. Its keys, keyboard and
// menus send commands to the controller; the controller tells it what to
// show.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

#include "app/call_controller.h"
#include "app/call_view.h"
#include "app/ui_hooks.h"
#include "ui/phone_face.h"

// What the window opens or drives besides its face (the phone book, the call
// lists, the option sheet, the tray icon). Unset hooks do nothing.
struct PhoneWindowHooks {
    // Result 4 (the book's call button) with the chosen number and name.
    std::function<int(int32_t& number, QString& name)> phoneBook;
    // type 0, 1, 2; result 1 (the list's call button) with the chosen number.
    std::function<int(int type, int32_t& number)> callLog;
    std::function<void()> options;
    std::function<void(bool on, int32_t peerNumber)> flashTray;
};

class CPhoneDlg : public QDialog, public kestrona::ICallView, public kestrona::IPhoneMainWindow {
    Q_OBJECT

  public:
    // face: the look (a plain one when null); the window takes it over.
    explicit CPhoneDlg(kestrona::CCallController& controller, kestrona::IPhoneFace* face = nullptr,
                       QWidget* parent = nullptr);
    ~CPhoneDlg() override;

    void SetHooks(PhoneWindowHooks hooks) { m_hooks = std::move(hooks); }
    kestrona::IPhoneFace& Face() { return *m_face; }
    kestrona::CCallController& Controller() { return m_controller; }

    // ICallView.
    void ShowDisplay(const kestrona::DisplayTexts& texts) override;
    void ShowKey(int command, const kestrona::KeyLook& look) override;
    void ShowTrayFlash(bool on, int32_t peerNumber) override;
    void ShowMessage(const QString& text) override;
    int RunPhoneBook(int32_t& number, QString& name) override;
    int RunCallLog(int type, int32_t& number) override;
    void RunOptions() override;
    void Exit() override;

    // IPhoneMainWindow.
    QWidget* Widget() override { return this; }
    kestrona::ICallView* View() override { return this; }
    void ShowAndRaise() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void accept() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    kestrona::CCallController& m_controller;
    kestrona::IPhoneFace* m_face = nullptr;
    PhoneWindowHooks m_hooks;
};
