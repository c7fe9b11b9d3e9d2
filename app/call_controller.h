// The call controller: the state of the one call the phone can have, and
// every rule of it. It reacts to the user's commands, to the peer protocol's
// records and to the media engine's messages; it drives the engine, plays
// the ring sounds, answers automatically and records, reports calls to the
// directory server and writes the call history. What it shows goes to a view
// (the phone window); it needs no widgets.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/call_clock.h"
#include "app/call_logic.h"
#include "app/call_services.h"
#include "app/call_view.h"
#include "net/phone_window.h"
#include "settings/settings_model.h"
#include "store/records.h"

namespace kestrona {

class CCallController : public QObject, public IPhoneWindow {
  public:
    CCallController(ICallServices& services, SettingsModel& model, ICallClock& clock,
                    QObject* parent = nullptr);
    ~CCallController() override;
    CCallController(const CCallController&) = delete;
    CCallController& operator=(const CCallController&) = delete;

    // The view shows the controller from now on (null: nothing is shown).
    void SetView(ICallView* view);
    void SetLocalAddress(const QString& text);
    ICallServices& Services() { return m_services; }

    // Commands: the keys (1001 to 1020), the menus (also 57665, exit).
    void OnCommand(int command);
    void OnCallKey();
    void OnHangUp();
    // command 1006 to 1016 (1006 and 1016 both give 0, see AppendDigit).
    void OnDigit(int command);
    void OnClear();
    void OnRecord();
    void OnAutoAnswerKey();
    void OnPhoneBookKey();
    void OnHistoryKey(int command);
    void OnExit();

    // IPhoneWindow: the peer protocol's records. The caller's records
    // (PARAMENTER, STARTTALK, AUTOANSWER, busy, unsupported) count only while
    // this side is dialling; elsewhere they are dropped. A PARAMENTER with a
    // rate or port no call can have ends the call.
    void OnIncomingCall(const RequestCall& request) override;
    void BeginRecord(int type) override;
    void OnParameters(const Paramenter& params) override;
    void StartTalk() override;
    void EndCall() override;
    void OnPeerAutoAnswer() override;
    void OnBusy() override;
    void OnUnsupported() override;
    bool PlacingCall() const override;
    // Encrypted calls: the same records, with the call's keys (see
    // IPhoneWindow). A caller whose offer is refused calls again without it
    // when the settings allow a plain call, else the call ends with a box.
    void OnSecuredIncomingCall(const RequestCall& request, const CallKeys& keys) override;
    void OnCallSecured(const CallKeys& keys) override;
    void OnEncryptionRefused() override;
    void OnEncryptionFailed() override;
    void OnPeerChannelBroken() override;

    // Requests from outside the window (the rpc layer parses and answers
    // them). Each says at once whether the phone can do it now; an accepted
    // one acts after the answer has gone out, since a call set-up waits for
    // the network and the asking program must not wait with it.
    enum class RequestResult { kAccepted, kBusy, kNoCall };
    // Types the number and presses the call key.
    RequestResult RequestDial(int32_t number);
    // A "callto:" link: types the number only.
    RequestResult RequestCallTo(int32_t number);
    RequestResult RequestAnswer();
    RequestResult RequestHangUp();
    void RequestQuit();

    // The state, for the view and for tests.
    int State() const { return m_nState; }
    bool Incoming() const { return m_bIncoming; }
    bool AutoAnswer() const { return m_bAutoAnswer; }
    int32_t PeerNumber() const { return m_nPeerNumber; }
    int32_t OwnNumber() const { return m_model.m_nID; }
    const std::string& Digits() const { return m_strDigits; }
    const QString& PeerName() const { return m_strPeerName; }
    const Paramenter& Params() const { return m_params; }
    const HistoryRecord& History() const { return m_history; }
    bool HasEngine() const { return m_pEngine != nullptr; }
    // Counts ended calls.
    int CallSerial() const { return m_nCallSerial; }
    KeyLook Key(int command) const;
    bool TimerActive(int id) const;
    // Seconds since the current phase began, 0 outside a call.
    int CallSeconds() const;
    DisplayTexts Display() const;
    // What the display's state line says besides the state (empty: nothing).
    const QString& Notice() const { return m_strNotice; }
    // The call is encrypted; its four characters, the same on both phones
    // unless someone sits between them.
    bool Encrypted() const { return m_pKeys != nullptr; }
    QString Sas() const;
    // The peer's identity key is not the one remembered for its number.
    bool IdentityChanged() const { return m_pKeys && m_peerIdentity == PeerIdentity::kChanged; }
    PeerIdentity PeerIdentityState() const { return m_peerIdentity; }

  private:
    class EngineLink;
    enum PrivateTimer : int {
        // The caller's wait for the answering machine's greeting to end.
        kTimerGreeting = 1050,
    };

    // An answer that came while the callee's audio ports were still being
    // opened: it goes out right after PARAMENTER, which must come first.
    enum class HeldAnswer { kNone, kUser, kMachine };

    bool Dialling() const;
    void IncomingCall(const RequestCall& request, const CallKeys* keys);
    // Compares the peer's identity with the one remembered for its number;
    // a changed one is told on the display and in the log.
    void CheckPeerIdentity();
    // The call was taken up (talking, or the answering machine): a new or
    // changed identity is remembered from now on.
    void AcceptPeerIdentity();
    void GiveStreamKeys();
    // REQUESTCALL to the looked-up peer, with or without the offer to encrypt.
    void SendCallRequest(bool offerEncryption);
    void Answer();
    void MachineAnswer();
    void Talk();
    void PlaceCall();
    void StartAutoAnswer();
    void OnAutoAnswerTimer();
    void OnGreetingPlayed();
    void OnEngineMessage(int serial, int msg, int code);
    void OnAudioSetup(int code);
    void OnEngineFailure(int code);
    void OnEngineAlert(int serial, const QString& text);
    void OnConnectionLost();
    void NoteDeviceMissing(int code);
    void TellDeviceMissing();
    void SetNotice(const QString& text);
    void NewEngine();
    void StopEngine();
    void SetRing(bool on);
    void UpdateKeys();
    void ResetParameters();
    void FlashTray(bool on);
    void StartHistory(int type);
    bool AppendHistory();
    void Refresh();
    void ShowMessage(int stringId);
    // Runs the action from the event loop, unless this controller is gone.
    void RunLater(std::function<void(CCallController&)> action);

    void EnableKey(int command, bool enabled);
    void FlashKey(int command, bool flashing);
    void CheckKey(int command, bool checked);
    void ShowKey(int command);

    ICallTimer* Timer(int id) const;
    void StartTimer(int id, int ms);
    void StopTimer(int id);
    ICallView& View();
    int64_t Now() const { return m_clock.Now(); }

    ICallServices& m_services;
    SettingsModel& m_model;
    ICallClock& m_clock;
    ICallView* m_view = nullptr;
    QString m_strLocalAddress;

    int m_nState = kStateReady;
    bool m_bIncoming = false;
    bool m_bAutoAnswer = false;
    int32_t m_nPeerNumber = 0;
    Paramenter m_params;  // m_params.nSampleRate is the call's rate
    HistoryRecord m_history;
    std::string m_strDigits;
    QString m_strPeerName;
    std::string m_strPeerAddress;
    int m_nPeerPort = 0;  // the callee's command port (caller side)
    // The keys of an encrypted call (null: a plain call) and what is known
    // of the peer's identity.
    std::unique_ptr<CallKeys> m_pKeys;
    PeerIdentity m_peerIdentity = PeerIdentity::kNew;
    bool m_bIdentityKept = false;
    std::string m_strRingSound;
    int64_t m_tmStart = 0;  // seconds since the epoch

    // The engine of the current call and the link its threads post through;
    // the link goes after the engine has stopped.
    std::unique_ptr<EngineLink> m_pEngineLink;
    std::unique_ptr<ICallEngine> m_pEngine;
    // Numbers the engines, so that a message of an earlier one is dropped.
    int m_nEngineSerial = 0;
    // The audio streams are being set up.
    bool m_bSetupPending = false;
    // The user was told of a set-up or proxy failure during this call.
    bool m_bEngineFailureTold = false;
    HeldAnswer m_heldAnswer = HeldAnswer::kNone;
    // A missing or unusable sound device at the engine's start (codes 1 to 4)
    // of this call, not told yet; and whether it was told in this run.
    int m_nDeviceMissing = 0;
    bool m_bDeviceMissingTold = false;
    // The user was told that a sound device went away during this call.
    bool m_bSoundLostTold = false;
    QString m_strNotice;

    // Counts ended calls, so that a step which waited for the network can
    // tell whether its call ended in the meantime.
    int m_nCallSerial = 0;
    // A record was begun and is not written yet.
    bool m_bHistoryOpen = false;
    // An incoming call was offered and the protocol's BeginRecord is due.
    bool m_bRecordOffered = false;
    bool m_bTrayFlashing = false;

    std::array<KeyLook, 20> m_keys{};
    std::unique_ptr<ICallTimer> m_timerDisplay;
    std::unique_ptr<ICallTimer> m_timerRing;
    std::unique_ptr<ICallTimer> m_timerAutoAnswer;
    std::unique_ptr<ICallTimer> m_timerForceBreak;
    std::unique_ptr<ICallTimer> m_timerGreeting;
};

}  // namespace kestrona
