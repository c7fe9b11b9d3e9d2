#include "app/call_controller.h"

#include <QDateTime>
#include <QMetaObject>
#include <QPointer>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/call_display.h"
#include "media/engine_owner.h"
#include "net/cmd_socket.h"
#include "net/message_box.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "store/call_history.h"

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

// The engine's threads reach the controller only through this link: each
// message is queued to the controller's thread with the number of the engine
// that sent it.
class CCallController::EngineLink : public IEngineOwner {
  public:
    EngineLink(CCallController* controller, int serial)
        : m_controller(controller), m_serial(serial) {}

    void PostEngineMessage(int msg, int code) override {
        CCallController* controller = m_controller;
        const int serial = m_serial;
        QMetaObject::invokeMethod(
            controller,
            [controller, serial, msg, code] { controller->OnEngineMessage(serial, msg, code); },
            Qt::QueuedConnection);
    }
    void ShowEngineAlert(const std::string& text) override {
        CCallController* controller = m_controller;
        const int serial = m_serial;
        const QString message = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            controller,
            [controller, serial, message] { controller->OnEngineAlert(serial, message); },
            Qt::QueuedConnection);
    }

  private:
    CCallController* const m_controller;
    const int m_serial;
};

CCallController::CCallController(ICallServices& services, SettingsModel& model, ICallClock& clock,
                                 QObject* parent)
    : QObject(parent), m_services(services), m_model(model), m_clock(clock) {
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
    if (m_bSetupPending) {
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
        if (m_bSetupPending) {
            // The user was quicker than the audio set-up: the answer waits
            // for PARAMENTER, and the machine no longer takes the call.
            StopTimer(kTimerAutoAnswer);
            m_heldAnswer = HeldAnswer::kUser;
            FlashKey(kCmdCall, false);
            FlashTray(false);
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
    TellDeviceMissing();
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
    SendCallRequest(true);
}

void CCallController::SendCallRequest(bool offerEncryption) {
    const int call = m_nCallSerial;
    ResetParameters();
    const bool sent = offerEncryption ? m_services.RequestCall(m_strPeerAddress, m_nPeerPort)
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
    if (m_pEngine) {
        m_pEngine->Record(m_history.Stem());
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
    m_pKeys = keys ? std::make_unique<CallKeys>(*keys) : nullptr;
    m_bRecordOffered = true;
    m_bIncoming = true;
    m_nState = kStateRinging;
    m_tmStart = Now();
    SetRing(true);
    UpdateKeys();
    FlashKey(kCmdCall, true);
    m_nPeerNumber = request.nCallerId;
    // Known before the user answers: the warning rings with the call.
    CheckPeerIdentity();
    FlashTray(true);
    NewEngine();
    ResetParameters();
    m_params.nSampleRate = AgreedSampleRate(m_params.nSampleRate, request.nSampleRate);
    m_history.rate = m_params.nSampleRate;
    // The caller's delay sizes the playout buffer: no more than this side's
    // options page would allow.
    m_pEngine->Init(m_params.nSampleRate,
                    std::clamp(request.nDelayBufferMs, kMinDelayBufferMs, kMaxDelayBufferMs));
    // PARAMENTER goes out once the ports are open (OnAudioSetup); an answer
    // before that waits for it.
    m_bSetupPending = true;
    if (m_bAutoAnswer) {
        StartTimer(kTimerAutoAnswer, m_model.m_nAATime * 1000);
    }
    m_pEngine->BeginListen(m_model.m_nAiPort, m_model.m_nAoPort);
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
    m_pKeys = std::make_unique<CallKeys>(keys);
    CheckPeerIdentity();
    Refresh();
}

void CCallController::CheckPeerIdentity() {
    m_peerIdentity = PeerIdentity::kNew;
    m_bIdentityKept = false;
    if (!m_pKeys) {
        return;
    }
    m_peerIdentity = m_services.CheckPeerIdentity(m_nPeerNumber, m_pKeys->peerIdentity);
    if (m_peerIdentity == PeerIdentity::kChanged) {
        std::fprintf(stderr,
                     "kestrona: warning: %d answers with another identity key than at its last "
                     "encrypted call; compare the four characters by voice\n",
                     m_nPeerNumber);
    }
}

void CCallController::AcceptPeerIdentity() {
    if (!m_pKeys || m_bIdentityKept || m_peerIdentity == PeerIdentity::kSame) {
        return;
    }
    m_bIdentityKept = true;
    m_services.RememberPeerIdentity(m_nPeerNumber, m_pKeys->peerIdentity);
}

void CCallController::GiveStreamKeys() {
    if (!m_pKeys || !m_pEngine) {
        return;
    }
    // Each stream is named by the callee's port it runs to.
    const SecretKey32& toCallee = m_pKeys->audio[kAudioToCalleeIn];
    const SecretKey32& fromCallee = m_pKeys->audio[kAudioFromCalleeOut];
    if (m_bIncoming) {
        m_pEngine->SetStreamKeys(fromCallee, toCallee);
    } else {
        m_pEngine->SetStreamKeys(toCallee, fromCallee);
    }
}

QString CCallController::Sas() const {
    return m_pKeys ? QString::fromStdString(m_pKeys->sas) : QString();
}

void CCallController::OnEncryptionRefused() {
    if (!Dialling()) {
        return;
    }
    StopEngine();
    if (m_model.m_encryption == Encryption::kRequired) {
        EndCall();
        ShowMessage(res::kStrPeerCannotEncrypt);
        return;
    }
    // The callee cannot encrypt: the same call again without the offer, on
    // a fresh connection, while this side keeps ringing back.
    m_services.DropPeer();
    const int call = m_nCallSerial;
    RunLater([call](CCallController& c) {
        if (c.m_nCallSerial == call && !c.m_bIncoming && c.m_nState == kStateDialling &&
            !c.m_services.HasPeer()) {
            c.SendCallRequest(false);
        }
    });
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
    if (!IsCallSampleRate(params.nSampleRate) || params.nSampleRate > m_params.nSampleRate ||
        !IsPort(params.nPortIn) || !IsPort(params.nPortOut)) {
        EndCall();
        ShowMessage(res::kStrBadCallParameters);
        return;
    }
    m_tmStart = Now();
    NewEngine();
    m_params.nSampleRate = params.nSampleRate;
    m_history.rate = params.nSampleRate;
    m_pEngine->Init(m_params.nSampleRate, m_model.m_nDelayBufferMs);
    m_bSetupPending = true;
    m_pEngine->BeginConnect(m_strPeerAddress, params.nPortIn, params.nPortOut);
}

void CCallController::StartTalk() {
    if (!Dialling()) {
        return;
    }
    Talk();
}

void CCallController::Talk() {
    AcceptPeerIdentity();
    m_nState = kStateTalking;
    SetRing(false);
    UpdateKeys();
    m_tmStart = Now();
    if (m_pEngine) {
        m_pEngine->StartReceive();
        m_pEngine->StartSend();
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
    AcceptPeerIdentity();
    m_nState = kStateAutoAnswer;
    UpdateKeys();
    SetRing(false);
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
    if (m_pEngine) {
        m_pEngine->StartSend();
    }
    Refresh();
}

void CCallController::StartAutoAnswer() {
    AcceptPeerIdentity();
    m_history.recorded = 1;
    m_history.type = kHistoryMissed;
    FlashKey(kCmdCall, false);
    m_nState = kStateAutoAnswer;
    UpdateKeys();
    SetRing(false);
    m_tmStart = Now();
    if (m_pEngine) {
        m_pEngine->Record(m_history.Stem());
        m_pEngine->StartReceive();
    }
    Refresh();
}

void CCallController::EndCall() {
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
    m_nDeviceMissing = 0;
    m_bSoundLostTold = false;
    m_strNotice.clear();
    m_pKeys.reset();
    m_peerIdentity = PeerIdentity::kNew;
    m_bIdentityKept = false;
    const bool written = AppendHistory();
    UpdateKeys();
    Refresh();
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

void CCallController::NewEngine() {
    StopEngine();
    m_pEngineLink = std::make_unique<EngineLink>(this, ++m_nEngineSerial);
    m_pEngine = m_services.CreateEngine(m_pEngineLink.get());
    m_bSetupPending = false;
    m_bEngineFailureTold = false;
    m_bSoundLostTold = false;
    m_heldAnswer = HeldAnswer::kNone;
    GiveStreamKeys();
}

void CCallController::StopEngine() {
    // After Stop nothing of the engine posts through the link.
    if (m_pEngine) {
        m_pEngine->Stop();
        m_pEngine.reset();
    }
    m_pEngineLink.reset();
    m_bSetupPending = false;
}

void CCallController::OnEngineMessage(int serial, int msg, int code) {
    // A message posted just before its engine stopped arrives after it and
    // must not touch the next call.
    if (serial != m_nEngineSerial || !m_pEngine) {
        return;
    }
    switch (msg) {
        case kMsgEngineSetup:
            OnAudioSetup(code);
            break;
        case kMsgConnectionLost:
            OnConnectionLost();
            break;
        case kMsgEngineFailure:
            OnEngineFailure(code);
            break;
        default:
            break;
    }
}

void CCallController::OnAudioSetup(int code) {
    if (!m_bSetupPending) {
        return;
    }
    m_bSetupPending = false;
    if (code == 0) {
        if (!m_bIncoming) {
            return;
        }
        m_params.nPortIn = m_pEngine->PortIn();
        m_params.nPortOut = m_pEngine->PortOut();
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
    m_bEngineFailureTold = true;
    const bool known = code >= kSetupListenFailed && code <= kSetupTimedOut;
    const int reason = known ? code : m_bIncoming ? kSetupListenFailed : kSetupPeerUnreachable;
    EndCall();
    ShowMessage(res::kStrFirstSetupFailure + reason - kSetupListenFailed);
}

void CCallController::OnEngineFailure(int code) {
    switch (code) {
        case kNoWaveIn:
        case kWaveInFormat:
        case kNoWaveOut:
        case kWaveOutFormat:
            NoteDeviceMissing(code);
            break;
        case kProxyUnreachable:
            // During the set-up its result tells the proxy's failure.
            if (m_bEngineFailureTold || m_bSetupPending) {
                return;
            }
            m_bEngineFailureTold = true;
            ShowMessage(res::kStrFirstEngineFailure + code - kNoWaveIn);
            break;
        case kWaveInOpenFailed:
        case kWaveOutOpenFailed:
            // The call goes on and the sound comes back by itself: said once
            // a call, without a box.
            if (m_bSoundLostTold) {
                return;
            }
            m_bSoundLostTold = true;
            SetNotice(ResString(res::kStrFirstEngineFailure + code - kNoWaveIn));
            break;
        default:
            break;
    }
}

void CCallController::NoteDeviceMissing(int code) {
    if (m_bDeviceMissingTold || m_nDeviceMissing != 0) {
        return;
    }
    m_nDeviceMissing = code;
    TellDeviceMissing();
}

void CCallController::TellDeviceMissing() {
    // Once a run, on the display, where it keeps nobody from the call key;
    // not while the answering machine takes or may take the call, since
    // nobody is there to read it.
    if (m_nDeviceMissing == 0 || m_bDeviceMissingTold) {
        return;
    }
    const bool machine =
        m_bIncoming && (m_nState == kStateAutoAnswer || TimerActive(kTimerAutoAnswer) ||
                        m_heldAnswer == HeldAnswer::kMachine);
    if (machine) {
        return;
    }
    m_bDeviceMissingTold = true;
    SetNotice(ResString(res::kStrFirstEngineFailure + m_nDeviceMissing - kNoWaveIn));
}

void CCallController::SetNotice(const QString& text) {
    m_strNotice = text;
    Refresh();
}

void CCallController::OnEngineAlert(int serial, const QString& text) {
    // A device that cannot be opened comes with its code too: one notice.
    if (serial != m_nEngineSerial || m_bSoundLostTold) {
        return;
    }
    m_bSoundLostTold = true;
    View().ShowMessage(text);
}

void CCallController::OnConnectionLost() {
    m_nState = kStateBroken;
    FlashKey(kCmdHangUp, true);
    Refresh();
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
    if (IdentityChanged()) {
        texts.status += QStringLiteral("  ") + ResString(res::kStrIdentityChanged);
    }
    if (!m_strNotice.isEmpty()) {
        texts.status += QStringLiteral("  ") + m_strNotice;
    }
    if (m_pKeys) {
        AddEncryptedMark(texts, Sas());
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
