#include "app/call_controller.h"

#include <QDateTime>
#include <QPointer>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/call_display.h"
#include "media/engine_owner.h"
#include "media/sample_level.h"
#include "net/cmd_socket.h"
#include "net/message_box.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "store/call_history.h"
#include "store/phone_book.h"

namespace kestrona {
namespace {

// What a controller without a window shows: nothing.
class NullView : public ICallView {
  public:
    void ShowDisplay(const DisplayTexts&) override {}
    void ShowKey(int, const KeyLook&) override {}
    void ShowTrayFlash(bool, int32_t) override {}
    void ShowMessage(const QString&) override {}
    int RunPhoneBook(int32_t&, QString&) override { return 0; }
    int RunCallLog(int, int32_t&) override { return 0; }
    void RunOptions() override {}
    void Exit() override {}
};

int KeyIndex(int command) {
    return command - kCmdCall;
}

}  // namespace

CCallController::CCallController(ICallServices& services, SettingsModel& model, ICallClock& clock,
                                 QObject* parent)
    : QObject(parent),
      m_services(services),
      m_model(model),
      m_clock(clock),
      m_security(services),
      m_engines(services, *this) {
    m_timerDisplay = m_clock.MakeTimer([this] { Refresh(); });
    m_timerRing = m_clock.MakeTimer([this] {
        if (!m_strRingSound.empty()) {
            m_services.PlayRing(m_strRingSound);
        }
    });
    m_timerAutoAnswer = m_clock.MakeTimer([this] { OnAutoAnswerTimer(); });
    m_timerForceBreak = m_clock.MakeTimer([this] {
        StopTimer(kTimerForceBreak);
        EndCall();
    });
    m_timerGreeting = m_clock.MakeTimer([this] { OnGreetingPlayed(); });

    m_bIncoming = false;
    m_nState = kStateReady;
    m_nPeerNumber = 0;
    m_bAutoAnswer = m_model.m_nAutoAA != 0;
    m_keys[KeyIndex(kCmdAuto)].checked = m_bAutoAnswer;
    UpdateKeys();
    ResetParameters();
    StartTimer(kTimerDisplay, 1000);
}

CCallController::~CCallController() {
    StopEngine();
}

ICallView& CCallController::View() {
    static NullView none;
    return m_view ? *m_view : none;
}

void CCallController::SetView(ICallView* view) {
    m_view = view;
    for (int command = kCmdCall; command <= kCmdSetup; ++command) {
        ShowKey(command);
    }
    Refresh();
}

void CCallController::SetLocalAddress(const QString& text) {
    m_strLocalAddress = text;
    Refresh();
}

// ---- keys ----

KeyLook CCallController::Key(int command) const {
    const int i = KeyIndex(command);
    return i >= 0 && i < static_cast<int>(m_keys.size()) ? m_keys[i] : KeyLook{};
}

void CCallController::ShowKey(int command) {
    View().ShowKey(command, Key(command));
}

void CCallController::EnableKey(int command, bool enabled) {
    KeyLook& look = m_keys[KeyIndex(command)];
    look.enabled = enabled;
    if (!enabled) {
        look.flashing = false;
    }
    ShowKey(command);
}

void CCallController::FlashKey(int command, bool flashing) {
    m_keys[KeyIndex(command)].flashing = flashing;
    ShowKey(command);
}

void CCallController::CheckKey(int command, bool checked) {
    m_keys[KeyIndex(command)].checked = checked;
    ShowKey(command);
}

// ---- timers ----

ICallTimer* CCallController::Timer(int id) const {
    switch (id) {
        case kTimerDisplay:
            return m_timerDisplay.get();
        case kTimerRing:
            return m_timerRing.get();
        case kTimerAutoAnswer:
            return m_timerAutoAnswer.get();
        case kTimerForceBreak:
            return m_timerForceBreak.get();
        case kTimerGreeting:
            return m_timerGreeting.get();
        default:
            return nullptr;
    }
}

void CCallController::StartTimer(int id, int ms) {
    if (ICallTimer* timer = Timer(id)) {
        timer->Start(ms);
    }
}

void CCallController::StopTimer(int id) {
    if (ICallTimer* timer = Timer(id)) {
        timer->Stop();
    }
}

bool CCallController::TimerActive(int id) const {
    const ICallTimer* timer = Timer(id);
    return timer && timer->IsActive();
}

void CCallController::OnAutoAnswerTimer() {
    StopTimer(kTimerAutoAnswer);
    if (!m_bIncoming || m_nState != kStateRinging) {
        return;
    }
    if (m_engines.SetupPending()) {
        m_heldAnswer = HeldAnswer::kMachine;
        return;
    }
    MachineAnswer();
}

void CCallController::MachineAnswer() {
    const int call = m_nCallSerial;
    m_services.ReportCall(kReportAutoAnswered, m_nPeerNumber, OwnNumber(), 0);
    // The caller gave up, or the user answered, while the report went out.
    if (call != m_nCallSerial || m_nState != kStateRinging) {
        return;
    }
    m_history.rate = m_params.nSampleRate;
    m_services.SendAutoAnswer();
    StartAutoAnswer();
    if (m_model.m_nForceBreak != 0) {
        StartTimer(kTimerForceBreak, m_model.m_nAAFBTime * 1000);
    }
}

// ---- commands ----

void CCallController::OnCommand(int command) {
    if (command >= kCmdDigitFirst && command <= kCmdDigitLast) {
        if (Key(command).enabled) {
            OnDigit(command);
        }
        return;
    }
    switch (command) {
        case kCmdCall:
            OnCallKey();
            break;
        case kCmdHangUp:
            OnHangUp();
            break;
        case kCmdPhoneBook:
            OnPhoneBookKey();
            break;
        case kCmdTaken:
        case kCmdMade:
        case kCmdMissed:
            OnHistoryKey(command);
            break;
        case kCmdClear:
            if (Key(command).enabled) {
                OnClear();
            }
            break;
        case kCmdRecord:
            if (Key(command).enabled) {
                OnRecord();
            }
            break;
        case kCmdAuto:
            OnAutoAnswerKey();
            break;
        case kCmdSetup:
            View().RunOptions();
            break;
        case kCmdExit:
            OnExit();
            break;
        case kCmdMute:
            OnMute();
            break;
        default:
            break;
    }
}

void CCallController::OnCallKey() {
    if (!Key(kCmdCall).enabled) {
        return;
    }
    if (m_bIncoming) {
        if (m_nState != kStateRinging) {
            return;
        }
        if (m_engines.SetupPending()) {
            // The user was quicker than the audio set-up: the answer waits
            // for PARAMENTER, and the machine no longer takes the call.
            StopTimer(kTimerAutoAnswer);
            m_heldAnswer = HeldAnswer::kUser;
            FlashKey(kCmdCall, false);
            FlashTray(false);
            EndOffer(ICallDesktop::Outcome::kAnswered);
            return;
        }
        Answer();
        return;
    }
    // Without a number there is no call, and no record for a later end.
    if (m_nPeerNumber < 1) {
        ShowMessage(res::kStrNoNumber);
        return;
    }
    StartHistory(kHistoryMade);
    m_strNotice.clear();
    m_nState = kStateDialling;
    UpdateKeys();
    SetRing(true);
    m_tmStart = Now();
    Refresh();
    PlaceCall();
}

void CCallController::Answer() {
    StartHistory(kHistoryTaken);
    FlashKey(kCmdCall, false);
    FlashTray(false);
    EndOffer(ICallDesktop::Outcome::kAnswered);
    m_nState = kStateTalking;
    UpdateKeys();
    StopTimer(kTimerAutoAnswer);
    const int call = m_nCallSerial;
    m_services.ReportCall(kReportAnswered, m_nPeerNumber, OwnNumber(), 0);
    // The caller gave up, or the audio broke, while the report went out.
    if (call != m_nCallSerial || m_nState != kStateTalking) {
        return;
    }
    m_services.SendStartTalk();
    Talk();
    m_engines.TellDeviceMissing();
}

void CCallController::PlaceCall() {
    // The look-up and the connection wait for the network while keys and
    // records are handled; a call ended meanwhile is not taken up again.
    const int call = m_nCallSerial;
    std::string address;
    int port = 0;
    const int code = m_services.QueryUser(m_nPeerNumber, address, port);
    if (call != m_nCallSerial) {
        return;
    }
    if (code != REPLY_SUCCESS) {
        m_nState = kStateOffline;
        FlashKey(kCmdHangUp, true);
        Refresh();
        return;
    }
    if (m_services.HasPeer()) {
        m_services.DropPeer();
    }
    m_strPeerAddress = address;
    m_nPeerPort = port;
    SendCallRequest(CallOffer::kAll);
}

void CCallController::SendCallRequest(CallOffer offer) {
    const int call = m_nCallSerial;
    ResetParameters();
    m_nOfferedMedia = offer == CallOffer::kAll && m_model.m_nPlainCalls == 0 ? kMediaFeatures : 0;
    const bool sent = offer == CallOffer::kAll
                          ? m_services.RequestCall(m_strPeerAddress, m_nPeerPort)
                      : offer == CallOffer::kNoMedia
                          ? m_services.RequestCallWithoutMedia(m_strPeerAddress, m_nPeerPort)
                          : m_services.RequestPlainCall(m_strPeerAddress, m_nPeerPort);
    // A call ended meanwhile is not taken up again.
    if (sent || call != m_nCallSerial) {
        return;
    }
    FlashKey(kCmdHangUp, true);
    if (m_nState != kStateBusy) {
        ShowMessage(msg::kPeerUnreachable);
    }
}

void CCallController::OnHangUp() {
    if (!Key(kCmdHangUp).enabled) {
        return;
    }
    if (m_history.type == kHistoryMissed) {
        m_history.type = kHistoryTaken;
    }
    StopTimer(kTimerAutoAnswer);
    FlashKey(kCmdHangUp, false);
    FlashTray(false);
    const int call = m_nCallSerial;
    m_services.ReportCall(kReportHungUp, m_nPeerNumber, OwnNumber(),
                          static_cast<int>(Now() - m_tmStart));
    if (call != m_nCallSerial) {
        return;  // the call ended during the report; a new one is not ours to end
    }
    EndCall();
}

void CCallController::OnDigit(int command) {
    if (!AppendDigit(m_strDigits, command)) {
        return;
    }
    m_strPeerName.clear();
    m_nPeerNumber = DigitsToNumber(m_strDigits);
    Refresh();
}

void CCallController::OnClear() {
    m_nPeerNumber = -1;
    m_strDigits.clear();
    Refresh();
}

void CCallController::OnRecord() {
    m_history.recorded = 1;
    EnableKey(kCmdRecord, false);
    if (Engine()) {
        Engine()->Record(m_history.Stem());
    }
}

void CCallController::OnAutoAnswerKey() {
    m_bAutoAnswer = !m_bAutoAnswer;
    CheckKey(kCmdAuto, m_bAutoAnswer);
}

void CCallController::OnPhoneBookKey() {
    int32_t number = 0;
    QString name;
    const int call = m_nCallSerial;
    const int state = m_nState;
    // A call that came or went while the book was open keeps its peer.
    if (View().RunPhoneBook(number, name) == 4 && call == m_nCallSerial && state == m_nState) {
        m_nPeerNumber = number;
        m_strPeerName = name;
        Refresh();
    }
}

void CCallController::OnHistoryKey(int command) {
    if (command == kCmdMissed) {
        FlashKey(kCmdMissed, false);
        FlashTray(false);
    }
    int32_t number = 0;
    const int call = m_nCallSerial;
    const int state = m_nState;
    if (View().RunCallLog(command - kCmdTaken, number) == 1 && call == m_nCallSerial &&
        state == m_nState) {
        m_nPeerNumber = number;
        Refresh();
    }
}

void CCallController::OnExit() {
    if (m_nState != kStateReady) {
        EndCall();
    }
    View().Exit();
}

// ---- the peer protocol ----

void CCallController::OnIncomingCall(const RequestCall& request) {
    IncomingCall(request, nullptr);
}

void CCallController::OnSecuredIncomingCall(const RequestCall& request, const CallKeys& keys) {
    IncomingCall(request, &keys);
}

void CCallController::IncomingCall(const RequestCall& request, const CallKeys* keys) {
    // One call at a time: a request on the connection of a call that is up
    // (sent twice, or sent back to the caller) is not a new call.
    if (m_nState != kStateReady) {
        return;
    }
    m_security.SetKeys(keys);
    m_strNotice.clear();
    m_bRecordOffered = true;
    m_bIncoming = true;
    m_nState = kStateRinging;
    m_tmStart = Now();
    SetRing(true);
    UpdateKeys();
    FlashKey(kCmdCall, true);
    m_nPeerNumber = request.nCallerId;
    // Known before the user answers: the warning rings with the call.
    m_security.CheckPeer(m_nPeerNumber);
    FlashTray(true);
    OfferCall();
    ICallEngine& engine = NewEngine();
    ResetParameters();
    m_params.nSampleRate = AgreedSampleRate(m_params.nSampleRate, request.nSampleRate);
    m_params.nFeatures = m_model.m_nPlainCalls != 0 ? 0 : TakenMediaFeatures(request.nFeatures);
    if ((m_params.nFeatures & kFeatureOpus) != 0) {
        m_params.nSampleRate = OpusCallRate(m_params.nSampleRate);
    }
    m_history.rate = m_params.nSampleRate;
    engine.SetMedia(m_params.nFeatures);
    // The caller's delay sizes the playout buffer: no more than this side's
    // options page would allow.
    engine.Init(m_params.nSampleRate,
                std::clamp(request.nDelayBufferMs, kMinDelayBufferMs, kMaxDelayBufferMs));
    // PARAMENTER goes out once the ports are open (OnStreamsSetUp); an
    // answer before that waits for it.
    if (m_bAutoAnswer) {
        StartTimer(kTimerAutoAnswer, m_model.m_nAATime * 1000);
    }
    m_engines.Listen(m_model.m_nAiPort, m_model.m_nAoPort);
    Refresh();
}

void CCallController::BeginRecord(int type) {
    // The protocol begins the record of the call it has just offered; once.
    if (!m_bRecordOffered) {
        return;
    }
    m_bRecordOffered = false;
    StartHistory(type);
}

void CCallController::StartHistory(int type) {
    m_history = kestrona::BeginRecord(m_nPeerNumber, type, m_services.FilesRoot());
    m_bHistoryOpen = true;
    const std::string name = m_history.Name();
    if (!name.empty()) {
        m_strPeerName = QString::fromStdString(name);
    }
}

void CCallController::OnCallSecured(const CallKeys& keys) {
    if (!Dialling()) {
        return;
    }
    m_security.SetKeys(&keys);
    m_security.CheckPeer(m_nPeerNumber);
    Refresh();
}

void CCallController::OnEncryptionRefused() {
    if (!Dialling()) {
        return;
    }
    StopEngine();
    // A callee that does not know calls in frames refuses the whole offer:
    // first it is asked again without them, then without encryption.
    const CallOffer next = m_nOfferedMedia != 0 ? CallOffer::kNoMedia : CallOffer::kPlain;
    if (next == CallOffer::kPlain && CallEncryption(m_model) == Encryption::kRequired) {
        EndCall();
        ShowMessage(res::kStrPeerCannotEncrypt);
        return;
    }
    // The same call again with less offered, on a fresh connection, while
    // this side keeps ringing back.
    m_services.DropPeer();
    const int call = m_nCallSerial;
    RunLater([call, next](CCallController& c) {
        if (c.m_nCallSerial == call && !c.m_bIncoming && c.m_nState == kStateDialling &&
            !c.m_services.HasPeer()) {
            c.SendCallRequest(next);
        }
    });
}

void CCallController::OnAnsweredInTheClear() {
    if (!Dialling()) {
        return;
    }
    EndCall();
    ShowMessage(res::kStrPeerCannotEncrypt);
}

void CCallController::OnEncryptionFailed() {
    if (!Dialling()) {
        return;
    }
    EndCall();
    ShowMessage(res::kStrEncryptionFailed);
}

void CCallController::OnPeerChannelBroken() {
    if (m_nState == kStateReady) {
        return;
    }
    // Nothing more can be said on the call's connection. A call that only
    // rang ends as if the caller had gone; one that was up shows as broken
    // until the user hangs up.
    if (m_bIncoming && m_nState == kStateRinging) {
        EndCall();
        return;
    }
    m_services.DropPeer();
    StopEngine();
    m_nState = kStateBroken;
    SetRing(false);
    FlashKey(kCmdHangUp, true);
    Refresh();
}

bool CCallController::Dialling() const {
    // Only on this call's own connection: none exists during the look-up.
    return !m_bIncoming && m_nState == kStateDialling && m_services.HasPeer();
}

bool CCallController::PlacingCall() const {
    return !m_bIncoming && m_nState != kStateReady;
}

void CCallController::OnParameters(const Paramenter& params) {
    if (!Dialling()) {
        return;
    }
    // The rate sizes the engine's buffers and the ports are connected to:
    // a record no call can have ends the call.
    if (!AcceptableAnswer(m_nOfferedMedia, m_params.nSampleRate, params) ||
        !IsPort(params.nPortIn) || !IsPort(params.nPortOut)) {
        EndCall();
        ShowMessage(res::kStrBadCallParameters);
        return;
    }
    m_tmStart = Now();
    ICallEngine& engine = NewEngine();
    m_params.nSampleRate = params.nSampleRate;
    m_params.nFeatures = params.nFeatures;
    m_history.rate = params.nSampleRate;
    engine.SetMedia(params.nFeatures);
    engine.Init(m_params.nSampleRate, m_model.m_nDelayBufferMs);
    m_engines.Connect(m_strPeerAddress, params.nPortIn, params.nPortOut);
}

void CCallController::StartTalk() {
    if (!Dialling()) {
        return;
    }
    Talk();
}

void CCallController::Talk() {
    m_security.AcceptPeer(m_nPeerNumber);
    m_nState = kStateTalking;
    SetRing(false);
    UpdateKeys();
    SetCallUp(true);
    m_tmStart = Now();
    if (Engine()) {
        Engine()->StartReceive();
        Engine()->StartSend();
    }
    Refresh();
}

void CCallController::OnBusy() {
    if (!Dialling()) {
        return;
    }
    // A refused call sends and plays nothing, whatever came before.
    StopEngine();
    m_nState = kStateBusy;
    SetRing(true);
    Refresh();
}

void CCallController::OnUnsupported() {
    if (!Dialling()) {
        return;
    }
    StopEngine();
    m_nState = kStateIncompatible;
    FlashKey(kCmdHangUp, true);
    Refresh();
}

void CCallController::OnPeerAutoAnswer() {
    if (!Dialling()) {
        return;
    }
    m_security.AcceptPeer(m_nPeerNumber);
    m_nState = kStateAutoAnswer;
    UpdateKeys();
    SetRing(false);
    SetCallUp(true);
    Refresh();
    // The caller hears the machine's greeting to its end before speaking;
    // the wait is a timer, so the phone stays live meanwhile.
    const int lengthMs = m_services.PlayRingOnce(kRingAutoAnswer);
    if (lengthMs < 0) {
        OnGreetingPlayed();
        return;
    }
    StartTimer(kTimerGreeting, lengthMs);
}

void CCallController::OnGreetingPlayed() {
    StopTimer(kTimerGreeting);
    m_tmStart = Now();
    if (Engine()) {
        Engine()->StartSend();
    }
    Refresh();
}

void CCallController::StartAutoAnswer() {
    m_security.AcceptPeer(m_nPeerNumber);
    m_history.recorded = 1;
    m_history.type = kHistoryMissed;
    FlashKey(kCmdCall, false);
    m_nState = kStateAutoAnswer;
    UpdateKeys();
    SetRing(false);
    SetCallUp(true);
    m_tmStart = Now();
    if (Engine()) {
        Engine()->Record(m_history.Stem());
        Engine()->StartReceive();
    }
    Refresh();
}

void CCallController::EndCall() {
    // How the ringing ended, from the record before it is written: the
    // caller's end leaves a missed call, the machine's recording a message.
    const bool offered = m_bOffered;
    m_bOffered = false;
    const bool unanswered = !m_bHistoryOpen || m_history.type == kHistoryMissed;
    const auto outcome = !unanswered          ? ICallDesktop::Outcome::kRefused
                         : m_history.recorded ? ICallDesktop::Outcome::kMessageLeft
                                              : ICallDesktop::Outcome::kMissed;
    const int32_t offeredNumber = m_nPeerNumber;
    const QString offeredName = m_strPeerName;
    const std::string stem = m_bHistoryOpen ? m_history.Stem() : std::string();
    ++m_nCallSerial;
    StopTimer(kTimerAutoAnswer);
    StopTimer(kTimerForceBreak);
    StopTimer(kTimerGreeting);
    if (m_services.HasPeer()) {
        m_services.EndPeer();
        if (m_model.m_nProxy == 1 && m_model.m_nFixPort != 0) {
            m_services.ChangeListenPort(true);
        }
    }
    StopEngine();
    m_nState = kStateReady;
    m_nPeerNumber = -1;
    m_strDigits.clear();
    m_strPeerName.clear();
    FlashKey(kCmdCall, false);
    SetRing(false);
    m_bIncoming = false;
    m_bRecordOffered = false;
    m_heldAnswer = HeldAnswer::kNone;
    m_bMuted = false;
    m_engines.EndOfCall();
    m_strNotice.clear();
    m_security.Reset();
    const bool written = AppendHistory();
    UpdateKeys();
    NameCallersWhileBusy();
    Refresh();
    SetCallUp(false);
    if (offered && m_desktop) {
        m_desktop->OfferEnded(
            outcome, offeredNumber, offeredName.isEmpty() ? BookName(offeredNumber) : offeredName,
            outcome == ICallDesktop::Outcome::kMessageLeft ? stem : std::string());
    }
    // Last: the box may run other handlers, and the call has ended.
    if (!written) {
        View().ShowMessage(QStringLiteral("File list.dat open failed"));
    }
}

bool CCallController::AppendHistory() {
    // A call leaves one record: an end without a begun record (a second end
    // of the same call) writes nothing.
    if (!m_bHistoryOpen) {
        return true;
    }
    m_bHistoryOpen = false;
    m_history.rate = m_params.nSampleRate;
    const AppendResult result = AppendRecord(m_history, m_services.FilesRoot());
    if (result == AppendResult::kOpenFailed || result == AppendResult::kWriteFailed) {
        return false;
    }
    if (result == AppendResult::kAppended && m_history.type == kHistoryMissed) {
        FlashKey(kCmdMissed, true);
    }
    return true;
}

// ---- the media engine ----

ICallEngine& CCallController::NewEngine() {
    m_heldAnswer = HeldAnswer::kNone;
    ICallEngine& engine = m_engines.Start();
    m_security.GiveStreamKeys(engine, m_bIncoming);
    if (m_bMuted) {
        engine.SetMuted(true);
    }
    return engine;
}

void CCallController::StopEngine() {
    // After Stop nothing of the engine arrives any more.
    m_engines.Stop();
}

void CCallController::OnStreamsSetUp(int code) {
    if (code == 0) {
        if (!m_bIncoming) {
            return;
        }
        m_params.nPortIn = Engine()->PortIn();
        m_params.nPortOut = Engine()->PortOut();
        const int call = m_nCallSerial;
        m_services.SendParameters(m_params);
        // A held answer is for a call that still rings.
        if (call != m_nCallSerial || m_nState != kStateRinging) {
            return;
        }
        switch (std::exchange(m_heldAnswer, HeldAnswer::kNone)) {
            case HeldAnswer::kUser:
                Answer();
                break;
            case HeldAnswer::kMachine:
                MachineAnswer();
                break;
            case HeldAnswer::kNone:
                break;
        }
        return;
    }
    // Without its audio streams the call cannot go on: it ends as if the
    // other side had ended it, and then the user learns why.
    m_engines.SetupFailureTold();
    const bool known = code >= kSetupListenFailed && code <= kSetupTimedOut;
    const int reason = known ? code : m_bIncoming ? kSetupListenFailed : kSetupPeerUnreachable;
    EndCall();
    ShowMessage(res::kStrFirstSetupFailure + reason - kSetupListenFailed);
}

void CCallController::OnStreamBroken() {
    m_nState = kStateBroken;
    FlashKey(kCmdHangUp, true);
    Refresh();
}

void CCallController::OnEngineNotice(const QString& text) {
    SetNotice(text);
}

void CCallController::OnEngineBox(const QString& text) {
    View().ShowMessage(text);
}

bool CCallController::MachineMayAnswer() const {
    return m_bIncoming && (m_nState == kStateAutoAnswer || TimerActive(kTimerAutoAnswer) ||
                           m_heldAnswer == HeldAnswer::kMachine);
}

void CCallController::SetNotice(const QString& text) {
    m_strNotice = text;
    Refresh();
}

// ---- the controls of a call ----

void CCallController::OnMute() {
    if (m_nState == kStateReady) {
        return;
    }
    m_bMuted = !m_bMuted;
    if (Engine()) {
        Engine()->SetMuted(m_bMuted);
    }
    Refresh();
}

void CCallController::OnLevelsChanged() {
    if (Engine()) {
        Engine()->SetLevels(m_model.m_nMicLevel, m_model.m_nSpeakerLevel);
    }
}

void CCallController::StepSpeakerLevel(int steps) {
    if (m_nState == kStateReady) {
        return;
    }
    const int level = std::clamp(m_model.m_nSpeakerLevel + steps * kLevelStep, 0, kMaxCallLevel);
    if (level == m_model.m_nSpeakerLevel) {
        return;
    }
    SetLevel(Level::kLoudspeaker, level);
    SetNotice(ResString(res::kStrSpeakerLevel).arg(level));
}

void CCallController::SetLevel(Level which, int percent) {
    int32_t& level = which == Level::kMicrophone ? m_model.m_nMicLevel : m_model.m_nSpeakerLevel;
    level = std::clamp(percent, 0, kMaxCallLevel);
    OnLevelsChanged();
    m_services.StoreLevels(m_model);
}

void CCallController::OnCallWhileBusy(int32_t caller) {
    // The record goes to the missed calls at once, as for a call that rang
    // unanswered; the current call's own record is not touched.
    HistoryRecord missed = kestrona::BeginRecord(caller, kHistoryMissed, m_services.FilesRoot());
    missed.rate = SampleRateForConnectionType(m_model.m_nRate);
    const AppendResult result = AppendRecord(missed, m_services.FilesRoot());
    if (result == AppendResult::kAppended) {
        FlashKey(kCmdMissed, true);
    }
    if (std::find(m_callersWhileBusy.begin(), m_callersWhileBusy.end(), caller) ==
        m_callersWhileBusy.end()) {
        m_callersWhileBusy.push_back(caller);
    }
    std::fprintf(stderr, "kestrona: %d called during the call and was told busy\n", caller);
    if (m_desktop) {
        m_desktop->MissedWhileBusy(caller, BookName(caller));
    }
    if (m_nState == kStateReady) {
        NameCallersWhileBusy();
    }
}

void CCallController::NameCallersWhileBusy() {
    if (m_callersWhileBusy.empty()) {
        return;
    }
    QStringList numbers;
    for (int32_t caller : m_callersWhileBusy) {
        numbers << QString::number(caller);
    }
    m_callersWhileBusy.clear();
    SetNotice(ResString(res::kStrCalledWhileBusy).arg(numbers.join(QStringLiteral(", "))));
}

// ---- helpers ----

void CCallController::SetRing(bool on) {
    if (!on) {
        StopTimer(kTimerRing);
        return;
    }
    if (m_nState == kStateReady || m_nState == kStateTalking) {
        StopTimer(kTimerRing);
        return;
    }
    const auto ring = RingForState(m_nState);
    if (!ring) {
        return;
    }
    StartTimer(kTimerRing, ring->periodMs);
    m_strRingSound = ring->file;
    m_services.PlayRing(m_strRingSound);
}

void CCallController::UpdateKeys() {
    const auto keys = KeysForState(m_nState);
    if (!keys) {
        return;
    }
    EnableKey(kCmdCall, keys->call);
    EnableKey(kCmdHangUp, keys->hangUp);
    for (int c = kCmdDigitFirst; c <= kCmdDigitLast; ++c) {
        EnableKey(c, keys->digits);
    }
    EnableKey(kCmdClear, keys->digits);
    EnableKey(kCmdRecord, keys->record);
}

void CCallController::ResetParameters() {
    m_params = Paramenter{};
    m_params.nSampleRate = SampleRateForConnectionType(m_model.m_nRate);
}

void CCallController::FlashTray(bool on) {
    m_bTrayFlashing = on;
    View().ShowTrayFlash(on, m_nPeerNumber);
}

void CCallController::OfferCall() {
    m_bOffered = true;
    if (m_desktop) {
        m_desktop->CallOffered(m_nPeerNumber, BookName(m_nPeerNumber));
    }
}

void CCallController::EndOffer(ICallDesktop::Outcome outcome) {
    if (!std::exchange(m_bOffered, false) || !m_desktop) {
        return;
    }
    m_desktop->OfferEnded(outcome, m_nPeerNumber, BookName(m_nPeerNumber), {});
}

void CCallController::SetCallUp(bool up) {
    if (std::exchange(m_bCallUp, up) != up && m_desktop) {
        m_desktop->CallUp(up);
    }
}

QString CCallController::BookName(int32_t number) const {
    std::string name;
    if (number > 0) {
        FindNameByNumber(number, name, m_services.FilesRoot());
    }
    return QString::fromStdString(name);
}

void CCallController::ShowMessage(int stringId) {
    View().ShowMessage(ResString(stringId));
}

int CCallController::CallSeconds() const {
    switch (m_nState) {
        case kStateDialling:
        case kStateTalking:
        case kStateRinging:
        case kStateAutoAnswer:
            return static_cast<int>(Now() - m_tmStart);
        default:
            return 0;
    }
}

DisplayTexts CCallController::Display() const {
    const int64_t now = Now();
    const QTime clock = QDateTime::fromSecsSinceEpoch(now).time();
    DisplayTexts texts =
        MakeDisplayTexts(m_strLocalAddress, m_nState, now - m_tmStart, m_params.nSampleRate,
                         m_strPeerName, m_nPeerNumber, clock);
    if (m_bMuted) {
        AddMutedMark(texts, m_nState);
    }
    if (IdentityChanged()) {
        texts.status += QStringLiteral("  ") + ResString(res::kStrIdentityChanged);
    }
    if (!m_strNotice.isEmpty()) {
        texts.status += QStringLiteral("  ") + m_strNotice;
    }
    if (Encrypted()) {
        AddEncryptedMark(texts, Sas());
    }
    if (m_nState == kStateTalking || m_nState == kStateAutoAnswer) {
        AddQualityMark(texts, Quality().rating);
    }
    return texts;
}

void CCallController::Refresh() {
    View().ShowDisplay(Display());
}

// ---- requests from outside ----

void CCallController::RunLater(std::function<void(CCallController&)> action) {
    QPointer<CCallController> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, action = std::move(action)] {
            if (self) {
                action(*self);
            }
        },
        Qt::QueuedConnection);
}

CCallController::RequestResult CCallController::RequestDial(int32_t number) {
    if (RequestCallTo(number) != RequestResult::kAccepted) {
        return RequestResult::kBusy;
    }
    // Unless a call came (and maybe went) before it runs.
    const int call = m_nCallSerial;
    RunLater([call, number](CCallController& c) {
        if (c.m_nCallSerial == call && c.m_nState == kStateReady && c.m_nPeerNumber == number) {
            c.OnCallKey();
        }
    });
    return RequestResult::kAccepted;
}

CCallController::RequestResult CCallController::RequestCallTo(int32_t number) {
    // The number of a call that is up stays: its report names it.
    if (m_nState != kStateReady) {
        return RequestResult::kBusy;
    }
    m_strDigits = std::to_string(number);
    m_strPeerName.clear();
    m_nPeerNumber = number;
    Refresh();
    return RequestResult::kAccepted;
}

// The answer and the hang-up are for the call that is up now, not for one
// that follows it before they run.

CCallController::RequestResult CCallController::RequestAnswer() {
    if (!m_bIncoming || !Key(kCmdCall).enabled) {
        return RequestResult::kNoCall;
    }
    const int call = m_nCallSerial;
    RunLater([call](CCallController& c) {
        if (c.m_nCallSerial == call && c.m_bIncoming) {
            c.OnCallKey();
        }
    });
    return RequestResult::kAccepted;
}

CCallController::RequestResult CCallController::RequestMute(bool on) {
    if (m_nState == kStateReady) {
        return RequestResult::kNoCall;
    }
    if (on != m_bMuted) {
        OnMute();
    }
    return RequestResult::kAccepted;
}

CCallController::RequestResult CCallController::RequestHangUp() {
    if (!Key(kCmdHangUp).enabled) {
        return RequestResult::kNoCall;
    }
    const int call = m_nCallSerial;
    RunLater([call](CCallController& c) {
        if (c.m_nCallSerial == call) {
            c.OnHangUp();
        }
    });
    return RequestResult::kAccepted;
}

void CCallController::RequestQuit() {
    RunLater([](CCallController& c) { c.OnExit(); });
}

}  // namespace kestrona
