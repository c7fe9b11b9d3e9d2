// The call controller: the state of the one call the phone can have, and
// every rule of it. It reacts to the user's commands, to the peer protocol's
// records and to what its engine supervisor passes on; it drives the engine,
// plays the ring sounds, answers automatically and records, reports calls to
// the directory server and writes the call history. What it shows goes to a
// view (the phone window); it needs no widgets. An encrypted call's verdicts
// are CCallSecurity's, the engine's problems CEngineSupervisor's.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/call_clock.h"
#include "app/call_desktop.h"
#include "app/call_engine_supervisor.h"
#include "app/call_logic.h"
#include "app/call_security.h"
#include "app/call_services.h"
#include "app/call_view.h"
#include "net/phone_window.h"
#include "settings/settings_model.h"
#include "store/records.h"

namespace kestrona {

class CCallController : public QObject, public IPhoneWindow, private IEngineEvents {
  public:
    CCallController(ICallServices& services, SettingsModel& model, ICallClock& clock,
                    QObject* parent = nullptr);
    ~CCallController() override;
    CCallController(const CCallController&) = delete;
    CCallController& operator=(const CCallController&) = delete;

    // The view shows the controller from now on (null: nothing is shown).
    void SetView(ICallView* view);
    void SetLocalAddress(const QString& text);
    // The desktop hears of offered calls and of speech (null: nobody).
    void SetDesktop(ICallDesktop* desktop) { m_desktop = desktop; }
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
    void OnAnsweredInTheClear() override;
    void OnPeerChannelBroken() override;
    // A caller was told busy during this call: a missed call, named on the
    // display once this call is over.
    void OnCallWhileBusy(int32_t caller) override;

    // During a call (from the ring or the dialling on): the far side hears
    // silence while muted. Each call starts unmuted.
    void OnMute();
    bool Muted() const { return m_bMuted; }
    // The levels of the settings changed (the sound page): in use at once.
    void OnLevelsChanged();
    // The keyboard's + and -: the loudspeaker a step louder or softer during
    // a call, kept in the settings.
    void StepSpeakerLevel(int steps);
    static constexpr int kLevelStep = 10;
    // Sets the microphone's or the loudspeaker's level (percent, clamped to
    // 0..kMaxCallLevel), at once and in the settings.
    enum class Level { kMicrophone, kLoudspeaker };
    void SetLevel(Level which, int percent);

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
    RequestResult RequestMute(bool on);
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
    bool HasEngine() const { return m_engines.Engine() != nullptr; }
    // How the current call in frames sounds here (nothing known otherwise).
    CallQualityReport Quality() const {
        return m_engines.Engine() ? m_engines.Engine()->Quality() : CallQualityReport{};
    }
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
    bool Encrypted() const { return m_security.Encrypted(); }
    QString Sas() const { return m_security.Sas(); }
    // The peer's identity key is not the one remembered for its number.
    bool IdentityChanged() const { return m_security.IdentityChanged(); }
    PeerIdentity PeerIdentityState() const { return m_security.Identity(); }
    // Callers told busy during the current call, not yet named.
    const std::vector<int32_t>& CallersWhileBusy() const { return m_callersWhileBusy; }

  private:
    enum PrivateTimer : int {
        // The caller's wait for the answering machine's greeting to end.
        kTimerGreeting = 1050,
    };

    // An answer that came while the callee's audio ports were still being
    // opened: it goes out right after PARAMENTER, which must come first.
    enum class HeldAnswer { kNone, kUser, kMachine };

    bool Dialling() const;
    void IncomingCall(const RequestCall& request, const CallKeys* keys);
    // REQUESTCALL to the looked-up peer, with or without the offer to encrypt.
    // What a REQUESTCALL offers: all this phone can, no calls in frames, or
    // nothing (a callee refused more).
    enum class CallOffer { kAll, kNoMedia, kPlain };
    void SendCallRequest(CallOffer offer);
    void Answer();
    void MachineAnswer();
    void Talk();
    void PlaceCall();
    void StartAutoAnswer();
    void OnAutoAnswerTimer();
    void OnGreetingPlayed();
    // IEngineEvents.
    void OnStreamsSetUp(int code) override;
    void OnStreamBroken() override;
    void OnEngineNotice(const QString& text) override;
    void OnEngineBox(const QString& text) override;
    bool MachineMayAnswer() const override;
    void SetNotice(const QString& text);
    // The calls that were told busy meanwhile, on the display.
    void NameCallersWhileBusy();
    ICallEngine& NewEngine();
    void StopEngine();
    ICallEngine* Engine() const { return m_engines.Engine(); }
    void SetRing(bool on);
    void UpdateKeys();
    void ResetParameters();
    void FlashTray(bool on);
    // The desktop's side of a call: the offer and its end, speech up or down.
    void OfferCall();
    void EndOffer(ICallDesktop::Outcome outcome);
    void SetCallUp(bool up);
    QString BookName(int32_t number) const;
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
    ICallDesktop* m_desktop = nullptr;
    QString m_strLocalAddress;

    int m_nState = kStateReady;
    bool m_bIncoming = false;
    bool m_bAutoAnswer = false;
    int32_t m_nPeerNumber = 0;
    Paramenter m_params;  // m_params.nSampleRate is the call's rate
    // The media features the current dial offered.
    int32_t m_nOfferedMedia = 0;
    HistoryRecord m_history;
    std::string m_strDigits;
    QString m_strPeerName;
    std::string m_strPeerAddress;
    int m_nPeerPort = 0;  // the callee's command port (caller side)
    CCallSecurity m_security;
    std::string m_strRingSound;
    int64_t m_tmStart = 0;  // seconds since the epoch

    CEngineSupervisor m_engines;
    HeldAnswer m_heldAnswer = HeldAnswer::kNone;
    bool m_bMuted = false;
    std::vector<int32_t> m_callersWhileBusy;
    QString m_strNotice;

    // Counts ended calls, so that a step which waited for the network can
    // tell whether its call ended in the meantime.
    int m_nCallSerial = 0;
    // A record was begun and is not written yet.
    bool m_bHistoryOpen = false;
    // An incoming call was offered and the protocol's BeginRecord is due.
    bool m_bRecordOffered = false;
    bool m_bTrayFlashing = false;
    // The desktop was told of the ringing call and not yet of its end.
    bool m_bOffered = false;
    // The desktop was told that speech flows.
    bool m_bCallUp = false;

    std::array<KeyLook, 20> m_keys{};
    std::unique_ptr<ICallTimer> m_timerDisplay;
    std::unique_ptr<ICallTimer> m_timerRing;
    std::unique_ptr<ICallTimer> m_timerAutoAnswer;
    std::unique_ptr<ICallTimer> m_timerForceBreak;
    std::unique_ptr<ICallTimer> m_timerGreeting;
};

}  // namespace kestrona
