#include "app/desktop_calls.h"

#include <QCoreApplication>
#include <QStringList>
#include <utility>

#include "app/desktop_bus.h"
#include "app/desktop_notifier.h"
#include "app/sleep_inhibitor.h"

namespace kestrona {
namespace {

const char* const kContext = "DesktopCalls";
const char* const kIncoming = QT_TRANSLATE_NOOP("DesktopCalls", "来电");
const char* const kMissed = QT_TRANSLATE_NOOP("DesktopCalls", "未接电话");
const char* const kMessage = QT_TRANSLATE_NOOP("DesktopCalls", "留言");
const char* const kMessageBody = QT_TRANSLATE_NOOP("DesktopCalls", "%1 在答录机上留了言");
const char* const kAnswer = QT_TRANSLATE_NOOP("DesktopCalls", "接听");
const char* const kDecline = QT_TRANSLATE_NOOP("DesktopCalls", "拒接");
const char* const kCallBack = QT_TRANSLATE_NOOP("DesktopCalls", "回拨");
const char* const kPlay = QT_TRANSLATE_NOOP("DesktopCalls", "播放");
const char* const kReason = QT_TRANSLATE_NOOP("DesktopCalls", "通话中");

// Tags: what an action acts on.
const QString kTagRinging = QStringLiteral("ringing");

QString Tr(const char* text) {
    return QCoreApplication::translate(kContext, text);
}

// "name number", or the number alone.
QString Caller(int32_t number, const QString& name) {
    return name.isEmpty() ? QString::number(number) : QStringLiteral("%1 %2").arg(name).arg(number);
}

}  // namespace

CDesktopCalls::CDesktopCalls(std::unique_ptr<CDesktopNotifier> notifier,
                             std::unique_ptr<CSleepInhibitor> inhibitor, DesktopActions actions,
                             QObject* parent)
    : QObject(parent),
      m_notifier(std::move(notifier)),
      m_inhibitor(std::move(inhibitor)),
      m_actions(std::move(actions)) {
    m_notifier->onAction = [this](const QString& key, const QString& tag) { OnAction(key, tag); };
    m_notifier->Start();
}

CDesktopCalls::~CDesktopCalls() {
    // A phone that ends while a call rings takes its banner with it: the
    // banner never expires by itself.
    if (m_bRinging) {
        m_notifier->CloseCurrent();
    }
}

std::unique_ptr<CDesktopCalls> CDesktopCalls::OnSessionBus(DesktopActions actions) {
    const std::optional<QDBusConnection> session = SessionBus();
    auto notifier =
        std::make_unique<CDesktopNotifier>(session, QStringLiteral("org.ostravine.Kestrona"));
    auto inhibitor = std::make_unique<CSleepInhibitor>(session, SystemBus());
    return std::make_unique<CDesktopCalls>(std::move(notifier), std::move(inhibitor),
                                           std::move(actions));
}

bool CDesktopCalls::Enabled() const {
    return !m_actions.enabled || m_actions.enabled();
}

bool CDesktopCalls::Notifies() const {
    return Enabled() && m_notifier->Usable();
}

void CDesktopCalls::CallOffered(int32_t number, const QString& name) {
    if (!Enabled() || (m_actions.inSight && m_actions.inSight())) {
        return;
    }
    DesktopNote note;
    note.summary = Tr(kIncoming);
    note.body = Caller(number, name);
    note.actions = {QStringLiteral("default"), Tr(kAnswer), QStringLiteral("answer"), Tr(kAnswer),
                    QStringLiteral("decline"), Tr(kDecline)};
    note.urgency = 2;
    note.category = QStringLiteral("call.incoming");
    // Up for as long as the call rings.
    note.expireMs = 0;
    m_notifier->Show(note, kTagRinging);
    m_bRinging = true;
}

void CDesktopCalls::OfferEnded(Outcome outcome, int32_t number, const QString& name,
                               const std::string& stem) {
    const bool banner = std::exchange(m_bRinging, false);
    if (outcome == Outcome::kAnswered || outcome == Outcome::kRefused) {
        if (banner) {
            m_notifier->CloseCurrent();
        }
        return;
    }
    // A missed call is kept in the notification list even when the phone
    // was in sight while it rang: it may be the only trace of it left where
    // the desktop shows no tray.
    if (!Enabled()) {
        return;
    }
    DesktopNote note;
    note.urgency = 1;
    if (outcome == Outcome::kMessageLeft) {
        note.summary = Tr(kMessage);
        note.body = Tr(kMessageBody).arg(Caller(number, name));
        note.actions = {QStringLiteral("default"),   Tr(kPlay),
                        QStringLiteral("play"),      Tr(kPlay),
                        QStringLiteral("call-back"), Tr(kCallBack)};
        note.category = QStringLiteral("call.unanswered");
    } else {
        note.summary = Tr(kMissed);
        note.body = Caller(number, name);
        note.actions = {QStringLiteral("default"), Tr(kCallBack), QStringLiteral("call-back"),
                        Tr(kCallBack)};
        note.category = QStringLiteral("call.unanswered");
    }
    // In place of the ringing call's banner; later calls get their own.
    m_notifier->Show(note, QStringLiteral("%1 %2").arg(number).arg(QString::fromStdString(stem)));
    m_notifier->LetGo();
}

void CDesktopCalls::MissedWhileBusy(int32_t number, const QString& name) {
    // One call at a time rings; a caller told busy meanwhile is in the list
    // of missed calls, and a banner of its own would take the ringing one's
    // place.
    if (!Enabled() || m_bRinging) {
        return;
    }
    DesktopNote note;
    note.summary = Tr(kMissed);
    note.body = Caller(number, name);
    note.actions = {QStringLiteral("default"), Tr(kCallBack), QStringLiteral("call-back"),
                    Tr(kCallBack)};
    note.category = QStringLiteral("call.unanswered");
    m_notifier->Show(note, QStringLiteral("%1 ").arg(number));
    m_notifier->LetGo();
}

void CDesktopCalls::CallUp(bool up) {
    if (up) {
        m_inhibitor->Hold(Tr(kReason));
    } else {
        m_inhibitor->Release();
    }
}

void CDesktopCalls::OnAction(const QString& key, const QString& tag) {
    const auto run = [](const auto& action, auto... args) {
        if (action) {
            action(args...);
        }
    };
    if (tag == kTagRinging) {
        if (key == QLatin1String("answer")) {
            run(m_actions.answer);
        } else if (key == QLatin1String("decline")) {
            run(m_actions.decline);
        } else if (key == QLatin1String("default")) {
            run(m_actions.raise);
        }
        return;
    }
    // "number stem" of a missed call or a message.
    const QStringList parts = tag.split(QLatin1Char(' '));
    bool ok = false;
    const int32_t number = parts.value(0).toInt(&ok);
    if (key == QLatin1String("call-back") && ok && number > 0) {
        run(m_actions.callBack, number);
    } else if (key == QLatin1String("play") && parts.size() == 2 && !parts[1].isEmpty()) {
        run(m_actions.play, parts[1].toStdString());
    } else if (key == QLatin1String("default")) {
        run(m_actions.raise);
    }
}

}  // namespace kestrona
