#include "ui/phone_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QKeyEvent>
#include <QPointer>
#include <QVBoxLayout>
#include <ctime>

#include "app/message_box.h"
#include "app/phone_app.h"
#include "res/strings.h"
#include "store/call_history.h"

using namespace kestrona;

namespace {

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

CPhoneDlg::CPhoneDlg(ICallServices& services, SettingsModel& model, IPhoneFace* face,
                     QWidget* parent)
    : QDialog(parent), m_services(services), m_model(model) {
    setWindowTitle(QStringLiteral("Ostravine Kestrona"));
    if (!face) {
        face = new CPhoneFace(this);
    }
    m_face = face;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_face->Widget());
    m_face->SetCommandHandler([this](int command) { OnCommand(command); });

    auto makeTimer = [this](int id, bool singleShot) {
        auto* timer = new QTimer(this);
        timer->setSingleShot(singleShot);
        connect(timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
        return timer;
    };
    m_timerDisplay = makeTimer(kTimerDisplay, false);
    m_timerRing = makeTimer(kTimerRing, false);
    m_timerAutoAnswer = makeTimer(kTimerAutoAnswer, false);
    m_timerForceBreak = makeTimer(kTimerForceBreak, false);

    // The call-related part of the initialisation.
    m_bIncoming = false;
    m_nState = kStateReady;
    m_nPeerNumber = 0;
    m_bAutoAnswer = m_model.m_nAutoAA != 0;
    m_face->CheckKey(kCmdAuto, m_bAutoAnswer);
    UpdateKeys();
    ResetParameters();
    StartTimer(kTimerDisplay, 1000);
    DrawDisplay();

    qApp->installEventFilter(this);
}

CPhoneDlg::~CPhoneDlg() {
    qApp->removeEventFilter(this);
    if (m_pEngine) {
        m_pEngine->Stop();
        m_pEngine.reset();
    }
}

// ---- timers ----

QTimer* CPhoneDlg::Timer(int id) const {
    switch (id) {
        case kTimerDisplay:
            return m_timerDisplay;
        case kTimerRing:
            return m_timerRing;
        case kTimerAutoAnswer:
            return m_timerAutoAnswer;
        case kTimerForceBreak:
            return m_timerForceBreak;
        default:
            return nullptr;
    }
}

void CPhoneDlg::StartTimer(int id, int ms) {
    if (QTimer* timer = Timer(id)) {
        timer->start(std::max(ms, 0));
    }
}

void CPhoneDlg::StopTimer(int id) {
    if (QTimer* timer = Timer(id)) {
        timer->stop();
    }
}

bool CPhoneDlg::TimerActive(int id) const {
    const QTimer* timer = Timer(id);
    return timer && timer->isActive();
}

void CPhoneDlg::OnTimer(int id) {
    switch (id) {
        case kTimerDisplay:
            DrawDisplay();
            break;
        case kTimerRing:
            if (!m_strRingSound.empty()) {
                m_services.PlayRing(m_strRingSound);
            }
            break;
        case kTimerAutoAnswer: {
            StopTimer(kTimerAutoAnswer);
            const int call = m_nCallSerial;
            ReportCall(3, m_nPeerNumber, OwnNumber(), 0);
            if (call != m_nCallSerial) {
                break;  // the caller gave up while the report went out
            }
            m_history.rate = m_params.nSampleRate;
            m_services.SendAutoAnswer();
            StartAutoAnswer();
            if (m_model.m_nForceBreak != 0) {
                StartTimer(kTimerForceBreak, m_model.m_nAAFBTime * 1000);
            }
            break;
        }
        case kTimerForceBreak:
            StopTimer(kTimerForceBreak);
            EndCall();
            break;
        default:
            break;
    }
}

// ---- keys ----

void CPhoneDlg::OnCommand(int command) {
    if (command >= kCmdDigitFirst && command <= kCmdDigitLast) {
        OnDigit(command);
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
            OnClear();
            break;
        case kCmdRecord:
            OnRecord();
            break;
        case kCmdAuto:
            OnAutoAnswerKey();
            break;
        case kCmdSetup:
            if (m_hooks.options) {
                m_hooks.options();
            }
            break;
        case kCmdExit:
            OnExit();
            break;
        default:
            break;
    }
}

void CPhoneDlg::OnCallKey() {
    if (!m_face->IsKeyEnabled(kCmdCall)) {
        return;
    }
    if (m_bIncoming) {
        BeginRecord(kHistoryTaken);
        m_face->FlashKey(kCmdCall, false);
        FlashTray(false);
        m_nState = kStateTalking;
        UpdateKeys();
        StopTimer(kTimerAutoAnswer);
        const int call = m_nCallSerial;
        ReportCall(1, m_nPeerNumber, OwnNumber(), 0);
        if (call != m_nCallSerial) {
            return;  // the caller gave up while the report went out
        }
        m_services.SendStartTalk();
        StartTalk();
        return;
    }
    BeginRecord(kHistoryMade);
    if (m_nPeerNumber < 1) {
        m_services.ShowMessage(140);
        return;
    }
    m_nState = kStateDialling;
    UpdateKeys();
    SetRing(true);
    m_tmStart = Now();
    PlaceCall();
}

void CPhoneDlg::PlaceCall() {
    // The look-up and the connection wait for the network while keys and
    // records are handled; a call ended meanwhile is not taken up again.
    const int call = m_nCallSerial;
    std::string address;
    int port = 0;
    const int code = m_services.QueryUser(m_nPeerNumber, address, port);
    if (call != m_nCallSerial) {
        return;
    }
    if (code != 10) {
        m_nState = kStateOffline;
        m_face->FlashKey(kCmdHangUp, true);
        return;
    }
    if (m_services.HasPeer()) {
        m_services.DropPeer();
    }
    m_strPeerAddress = address;
    ResetParameters();
    if (!m_services.RequestCall(address, port)) {
        if (call != m_nCallSerial) {
            return;
        }
        m_face->FlashKey(kCmdHangUp, true);
        if (m_nState != kStateBusy) {
            m_services.ShowMessage(148);
        }
    }
}

void CPhoneDlg::OnHangUp() {
    if (!m_face->IsKeyEnabled(kCmdHangUp)) {
        return;
    }
    if (m_history.type == kHistoryMissed) {
        m_history.type = kHistoryTaken;
    }
    StopTimer(kTimerAutoAnswer);
    m_face->FlashKey(kCmdHangUp, false);
    FlashTray(false);
    ReportCall(2, m_nPeerNumber, OwnNumber(), static_cast<int>(Now() - m_tmStart));
    EndCall();
}

void CPhoneDlg::OnDigit(int command) {
    if (!AppendDigit(m_strDigits, command)) {
        return;
    }
    m_strPeerName.clear();
    m_nPeerNumber = DigitsToNumber(m_strDigits);
    DrawDisplay();
}

void CPhoneDlg::OnClear() {
    m_nPeerNumber = -1;
    m_strDigits.clear();
    DrawDisplay();
}

void CPhoneDlg::OnRecord() {
    m_history.recorded = 1;
    m_face->EnableKey(kCmdRecord, false);
    if (m_pEngine) {
        m_pEngine->Record(m_history.Stem());
    }
}

void CPhoneDlg::OnAutoAnswerKey() {
    m_bAutoAnswer = !m_bAutoAnswer;
    m_face->CheckKey(kCmdAuto, m_bAutoAnswer);
}

void CPhoneDlg::OnPhoneBookKey() {
    if (!m_hooks.phoneBook) {
        return;
    }
    int32_t number = 0;
    QString name;
    if (m_hooks.phoneBook(number, name) == 4) {
        m_nPeerNumber = number;
        m_strPeerName = name;
        DrawDisplay();
    }
}

void CPhoneDlg::OnHistoryKey(int command) {
    const int type = command - kCmdTaken;
    if (command == kCmdMissed) {
        m_face->FlashKey(kCmdMissed, false);
        FlashTray(false);
    }
    if (!m_hooks.callLog) {
        return;
    }
    int32_t number = 0;
    if (m_hooks.callLog(type, number) == 1) {
        m_nPeerNumber = number;
        DrawDisplay();
    }
}

void CPhoneDlg::OnExit() {
    if (m_nState != kStateReady) {
        EndCall();
    }
    done(1);
    if (CPhoneApp* app = CPhoneApp::Instance()) {
        app->EndMessageLoop();
    } else {
        QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit));
    }
}

// ---- the peer protocol ----

void CPhoneDlg::OnIncomingCall(const RequestCall& request) {
    m_bIncoming = true;
    m_nState = kStateRinging;
    m_tmStart = Now();
    SetRing(true);
    UpdateKeys();
    m_face->FlashKey(kCmdCall, true);
    m_nPeerNumber = request.nCallerId;
    FlashTray(true);
    if (m_pEngine) {
        m_pEngine->Stop();
        m_pEngine.reset();
    }
    m_pEngine = m_services.CreateEngine(this);
    ResetParameters();
    if (m_params.nSampleRate > request.nSampleRate) {
        m_params.nSampleRate = request.nSampleRate;
    }
    m_history.rate = m_params.nSampleRate;
    m_pEngine->Init(m_params.nSampleRate, request.nDelayBufferMs);
    m_pEngine->Listen(m_model.m_nAiPort, m_model.m_nAoPort);
    m_params.nPortIn = m_pEngine->PortIn();
    m_params.nPortOut = m_pEngine->PortOut();
    if (m_bAutoAnswer) {
        StartTimer(kTimerAutoAnswer, m_model.m_nAATime * 1000);
    }
    m_services.SendParameters(m_params);
    DrawDisplay();
}

void CPhoneDlg::BeginRecord(int type) {
    m_history = kestrona::BeginRecord(m_nPeerNumber, type, m_services.FilesRoot());
    m_bHistoryOpen = true;
    const std::string name = m_history.Name();
    if (!name.empty()) {
        m_strPeerName = QString::fromStdString(name);
    }
}

void CPhoneDlg::OnParameters(const Paramenter& params) {
    if (m_pEngine) {
        m_pEngine->Stop();
        m_pEngine.reset();
    }
    m_tmStart = Now();
    m_pEngine = m_services.CreateEngine(this);
    m_params.nSampleRate = params.nSampleRate;
    m_history.rate = params.nSampleRate;
    m_pEngine->Init(m_params.nSampleRate, m_model.m_nDelayBufferMs);
    m_pEngine->Connect(m_strPeerAddress, params.nPortIn, params.nPortOut);
}

void CPhoneDlg::StartTalk() {
    m_nState = kStateTalking;
    SetRing(false);
    UpdateKeys();
    m_tmStart = Now();
    if (m_pEngine) {
        m_pEngine->StartReceive();
        m_pEngine->StartSend();
    }
    DrawDisplay();
}

void CPhoneDlg::OnBusy() {
    m_nState = kStateBusy;
    SetRing(true);
}

void CPhoneDlg::OnUnsupported() {
    m_nState = kStateIncompatible;
    m_face->FlashKey(kCmdHangUp, true);
}

void CPhoneDlg::OnPeerAutoAnswer() {
    m_nState = kStateAutoAnswer;
    UpdateKeys();
    SetRing(false);
    DrawDisplay();
    m_services.PlayRingToEnd(kRingAutoAnswer);
    m_tmStart = Now();
    if (m_pEngine) {
        m_pEngine->StartSend();
    }
}

void CPhoneDlg::StartAutoAnswer() {
    m_history.recorded = 1;
    m_history.type = kHistoryMissed;
    m_face->FlashKey(kCmdCall, false);
    m_nState = kStateAutoAnswer;
    UpdateKeys();
    SetRing(false);
    m_tmStart = Now();
    if (m_pEngine) {
        m_pEngine->Record(m_history.Stem());
        m_pEngine->StartReceive();
    }
    DrawDisplay();
}

void CPhoneDlg::EndCall() {
    ++m_nCallSerial;
    StopTimer(kTimerAutoAnswer);
    StopTimer(kTimerForceBreak);
    if (m_services.HasPeer()) {
        m_services.EndPeer();
        if (m_model.m_nProxy == 1 && m_model.m_nFixPort != 0) {
            m_services.ChangeListenPort(true);
        }
    }
    if (m_pEngine) {
        m_pEngine->Stop();
        m_pEngine.reset();
    }
    m_nState = kStateReady;
    m_nPeerNumber = -1;
    m_strDigits.clear();
    m_strPeerName.clear();
    m_face->FlashKey(kCmdCall, false);
    SetRing(false);
    m_bIncoming = false;
    AppendHistory();
    UpdateKeys();
    DrawDisplay();
}

void CPhoneDlg::AppendHistory() {
    // A call leaves one record: an end without a begun record (a second end
    // of the same call) writes nothing.
    if (!m_bHistoryOpen) {
        return;
    }
    m_bHistoryOpen = false;
    m_history.rate = m_params.nSampleRate;
    const AppendResult result = AppendRecord(m_history, m_services.FilesRoot());
    if (result == AppendResult::kOpenFailed || result == AppendResult::kWriteFailed) {
        ShowMessageText(QStringLiteral("File list.dat open failed"), this);
        return;
    }
    if (result == AppendResult::kAppended && m_history.type == kHistoryMissed) {
        m_face->FlashKey(kCmdMissed, true);
    }
}

void CPhoneDlg::PostEngineMessage(int msg, int code) {
    QPointer<CPhoneDlg> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, msg, code] {
            if (self && msg == kMsgConnectionLost) {
                self->OnConnectionLost();
            }
            (void)code;  // device failures: the engine's own boxes say it all
        },
        Qt::QueuedConnection);
}

void CPhoneDlg::ShowEngineAlert(const std::string& text) {
    // The engine's threads must not wait for the user: the box goes up on
    // the window's own thread.
    QPointer<CPhoneDlg> self(this);
    const QString message = QString::fromStdString(text);
    QMetaObject::invokeMethod(
        this,
        [self, message] {
            if (self) {
                ShowMessageText(message, self);
            }
        },
        Qt::QueuedConnection);
}

void CPhoneDlg::OnConnectionLost() {
    // The engine's threads post this; one posted just before the call ended
    // arrives after it and must not mark the next idle phone as broken.
    if (!m_pEngine) {
        return;
    }
    m_nState = kStateBroken;
    m_face->FlashKey(kCmdHangUp, true);
    DrawDisplay();
}

// ---- helpers ----

void CPhoneDlg::SetRing(bool on) {
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

void CPhoneDlg::UpdateKeys() {
    const auto keys = KeysForState(m_nState);
    if (!keys) {
        return;
    }
    m_face->EnableKey(kCmdCall, keys->call);
    m_face->EnableKey(kCmdHangUp, keys->hangUp);
    for (int c = kCmdDigitFirst; c <= kCmdDigitLast; ++c) {
        m_face->EnableKey(c, keys->digits);
    }
    m_face->EnableKey(kCmdClear, keys->digits);
    m_face->EnableKey(kCmdRecord, keys->record);
}

void CPhoneDlg::ResetParameters() {
    m_params = Paramenter{};
    m_params.nSampleRate = SampleRateForType(m_model.m_nRate);
    // A hand-edited connection type outside the list would give a call with
    // no rate at all; such a phone talks at the lowest rate instead.
    if (m_params.nSampleRate == 0) {
        m_params.nSampleRate = SampleRateForType(0);
    }
}

void CPhoneDlg::ReportCall(int kind, int32_t peer, int32_t own, int seconds) {
    m_services.ReportCall(kind, peer, own, seconds);
}

void CPhoneDlg::FlashTray(bool on) {
    m_bTrayFlashing = on;
    if (m_hooks.flashTray) {
        m_hooks.flashTray(on);
    }
}

int CPhoneDlg::CallSeconds() const {
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

DisplayTexts CPhoneDlg::BuildDisplay() const {
    DisplayTexts texts;
    texts.localAddress = m_strLocalAddress;
    texts.status = ResString(StateStringId(m_nState));
    if (m_nState == kStateTalking || m_nState == kStateAutoAnswer) {
        const int64_t s = Now() - m_tmStart;
        texts.time = QString::asprintf("%.2d:%.2d:%.2d", static_cast<int>((s / 3600) % 24),
                                       static_cast<int>((s / 60) % 60), static_cast<int>(s % 60));
        texts.status += QString::asprintf("%dkHZ", m_params.nSampleRate);
    } else {
        texts.time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    }
    if (m_nPeerNumber > 0) {
        texts.peer = QStringLiteral("%1 %2").arg(m_strPeerName).arg(m_nPeerNumber);
    }
    return texts;
}

void CPhoneDlg::DrawDisplay() {
    m_face->SetDisplay(BuildDisplay());
}

// ---- window ----

void CPhoneDlg::ShowAndRaise() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void CPhoneDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            OnCallKey();
            return;
        case Qt::Key_Escape:
            OnHangUp();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CPhoneDlg::closeEvent(QCloseEvent* event) {
    // Closing the window is the hang-up key; the phone stays.
    event->ignore();
    OnHangUp();
}

void CPhoneDlg::reject() {
    OnHangUp();
}

void CPhoneDlg::accept() {
    OnCallKey();
}

bool CPhoneDlg::eventFilter(QObject* watched, QEvent* event) {
    // Digits typed anywhere in the program's own (non-modal) windows dial,
    // whatever the state; Backspace clears and then goes on as usual.
    if (event->type() != QEvent::KeyPress || QApplication::activeModalWidget() ||
        !watched->isWidgetType()) {
        return QDialog::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Backspace) {
        OnClear();
        return false;
    }
    if (key->key() >= Qt::Key_0 && key->key() <= Qt::Key_9) {
        OnDigit(KeyboardDigitCommand(key->key() - Qt::Key_0));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

// ---- requests from outside ----

QString CPhoneDlg::HandleRequest(const QStringList& args) {
    const QString verb = args.value(0);
    // Actions run after the answer has gone out: a call set-up waits for the
    // network, and the asking program must not wait with it.
    auto later = [this](auto fn) {
        QPointer<CPhoneDlg> self(this);
        QTimer::singleShot(0, this, [self, fn] {
            if (self) {
                fn(self.data());
            }
        });
    };
    if (verb == QLatin1String("status")) {
        return QStringLiteral(
                   "state=%1 peer=%2 seconds=%3 incoming=%4 auto=%5 own=%6 pid=%7 text=%8")
            .arg(m_nState)
            .arg(m_nPeerNumber)
            .arg(CallSeconds())
            .arg(m_bIncoming ? 1 : 0)
            .arg(m_bAutoAnswer ? 1 : 0)
            .arg(OwnNumber())
            .arg(QCoreApplication::applicationPid())
            .arg(ResString(StateStringId(m_nState)));
    }
    if (verb == QLatin1String("dial") || verb == QLatin1String("callto")) {
        bool ok = false;
        const qlonglong n = args.value(1).toLongLong(&ok);
        if (!ok || n < 1 || n > 0x7fffffff) {
            return QStringLiteral("error bad number");
        }
        if (verb == QLatin1String("dial") && !m_face->IsKeyEnabled(kCmdCall)) {
            return QStringLiteral("error the phone is busy (state %1)").arg(m_nState);
        }
        m_strDigits = std::to_string(n);
        m_strPeerName.clear();
        m_nPeerNumber = static_cast<int32_t>(n);
        DrawDisplay();
        if (verb == QLatin1String("dial")) {
            later([](CPhoneDlg* w) { w->OnCallKey(); });
        }
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("answer")) {
        if (!m_bIncoming || !m_face->IsKeyEnabled(kCmdCall)) {
            return QStringLiteral("error no call to answer");
        }
        later([](CPhoneDlg* w) { w->OnCallKey(); });
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("hangup")) {
        if (!m_face->IsKeyEnabled(kCmdHangUp)) {
            return QStringLiteral("error no call to hang up");
        }
        later([](CPhoneDlg* w) { w->OnHangUp(); });
        return QStringLiteral("ok");
    }
    if (verb == QLatin1String("quit")) {
        later([](CPhoneDlg* w) { w->OnExit(); });
        return QStringLiteral("ok");
    }
    return QStringLiteral("error unknown request; try dial NUMBER, answer, hangup, status, quit");
}
