// The phone window: the call controller of the program. It holds the state
// of the one call there can be, reacts to the keys, to the peer protocol's
// records and to the media engine's messages, plays the ring sounds, answers
// automatically and records, reports calls to the directory server and
// writes the call history.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/call_logic.h"
#include "app/call_services.h"
#include "app/ui_hooks.h"
#include "media/engine_owner.h"
#include "net/phone_window.h"
#include "settings/settings_model.h"
#include "store/records.h"
#include "ui/phone_face.h"

// What the window opens or drives besides the call itself (the phone book,
// the call lists, the option sheet, the tray icon). Unset hooks do nothing.
struct PhoneWindowHooks {
    // Result 4 (the book's call button) with the chosen number and name.
    std::function<int(int32_t& number, QString& name)> phoneBook;
    // type 0, 1, 2; result 1 (the list's call button) with the chosen number.
    std::function<int(int type, int32_t& number)> callLog;
    std::function<void()> options;
    std::function<void(bool on)> flashTray;
};

class CPhoneDlg : public QDialog,
                  public kestrona::IPhoneWindow,
                  public kestrona::IEngineOwner,
                  public kestrona::IPhoneMainWindow {
    Q_OBJECT

  public:
    // face: the look (a plain one when null); the window takes it over.
    CPhoneDlg(kestrona::ICallServices& services, kestrona::SettingsModel& model,
              kestrona::IPhoneFace* face = nullptr, QWidget* parent = nullptr);
    ~CPhoneDlg() override;

    void SetHooks(PhoneWindowHooks hooks) { m_hooks = std::move(hooks); }
    void SetLocalAddress(const QString& text) { m_strLocalAddress = text; }
    kestrona::IPhoneFace& Face() { return *m_face; }

    // IPhoneWindow: the peer protocol's calls.
    void OnIncomingCall(const kestrona::RequestCall& request) override;
    void BeginRecord(int type) override;
    void OnParameters(const kestrona::Paramenter& params) override;
    void StartTalk() override;
    void EndCall() override;
    void OnPeerAutoAnswer() override;
    void OnBusy() override;
    void OnUnsupported() override;

    // IEngineOwner: called from engine threads; handled on the window's thread.
    void PostEngineMessage(int msg, int code) override;
    void ShowEngineAlert(const std::string& text) override;

    // IPhoneMainWindow.
    QWidget* Widget() override { return this; }
    kestrona::IPhoneWindow* PeerWindow() override { return this; }
    void ShowAndRaise() override;
    QString HandleRequest(const QStringList& args) override;

    // Keys and commands.
    void OnCommand(int command);
    void OnCallKey();
    void OnHangUp();
    void OnDigit(int command);
    void OnClear();
    void OnRecord();
    void OnAutoAnswerKey();
    void OnPhoneBookKey();
    void OnHistoryKey(int command);
    void OnExit();

    void PlaceCall();
    void OnConnectionLost();
    void OnTimer(int id);
    void SetRing(bool on);
    void UpdateKeys();
    void ResetParameters();
    void ReportCall(int kind, int32_t peer, int32_t own, int seconds);
    void FlashTray(bool on);

    // The display's four texts for the current state and time.
    kestrona::DisplayTexts BuildDisplay() const;
    void DrawDisplay();
    bool TimerActive(int id) const;

    // The call state.
    int m_nState = kestrona::kStateReady;
    bool m_bIncoming = false;
    bool m_bAutoAnswer = false;
    int32_t m_nPeerNumber = 0;
    kestrona::Paramenter m_params;  // m_params.nSampleRate is the call's rate
    kestrona::HistoryRecord m_history;
    std::string m_strDigits;
    QString m_strPeerName;
    std::string m_strPeerAddress;
    std::string m_strRingSound;
    int64_t m_tmStart = 0;  // seconds since the epoch
    std::unique_ptr<kestrona::ICallEngine> m_pEngine;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void accept() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void StartAutoAnswer();
    void AppendHistory();
    QTimer* Timer(int id) const;
    void StartTimer(int id, int ms);
    void StopTimer(int id);
    int32_t OwnNumber() const { return m_model.m_nID; }
    int CallSeconds() const;

    kestrona::ICallServices& m_services;
    kestrona::SettingsModel& m_model;
    kestrona::IPhoneFace* m_face = nullptr;
    PhoneWindowHooks m_hooks;
    QString m_strLocalAddress;
    // Counts ended calls, so that a step which waited for the network can
    // tell whether its call ended in the meantime.
    int m_nCallSerial = 0;
    // A record was begun and is not written yet.
    bool m_bHistoryOpen = false;
    bool m_bTrayFlashing = false;
    QTimer* m_timerDisplay = nullptr;
    QTimer* m_timerRing = nullptr;
    QTimer* m_timerAutoAnswer = nullptr;
    QTimer* m_timerForceBreak = nullptr;
};
