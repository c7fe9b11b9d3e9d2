// The phone's calls on the desktop: a notification for a call that rings
// while the phone is out of sight (Answer, Decline, a click raises the
// phone), replaced by a missed call (Call back) or a message left (Play)
// when nobody answered; and a hold on idle and sleep while speech flows.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "app/call_desktop.h"

namespace kestrona {

class CDesktopNotifier;
class CSleepInhibitor;

// What the notifications' actions do; unset ones do nothing.
struct DesktopActions {
    std::function<void()> answer;
    std::function<void()> decline;
    std::function<void()> raise;
    std::function<void(int32_t number)> callBack;
    // Plays the message of the recording stem (from the call lists).
    std::function<void(const std::string& stem)> play;
    // The phone's window is in front of the user: no banner then.
    std::function<bool()> inSight;
    // The switch of the options sheet.
    std::function<bool()> enabled;
};

class CDesktopCalls : public QObject, public ICallDesktop {
  public:
    CDesktopCalls(std::unique_ptr<CDesktopNotifier> notifier,
                  std::unique_ptr<CSleepInhibitor> inhibitor, DesktopActions actions,
                  QObject* parent = nullptr);
    ~CDesktopCalls() override;

    // On the session's own buses.
    static std::unique_ptr<CDesktopCalls> OnSessionBus(DesktopActions actions);

    // The desktop shows the phone's call notifications (so no other
    // notice of a call is needed).
    bool Notifies() const;
    CSleepInhibitor& Inhibitor() { return *m_inhibitor; }

    // ICallDesktop.
    void CallOffered(int32_t number, const QString& name) override;
    void OfferEnded(Outcome outcome, int32_t number, const QString& name,
                    const std::string& stem) override;
    void MissedWhileBusy(int32_t number, const QString& name) override;
    void CallUp(bool up) override;

  private:
    void OnAction(const QString& key, const QString& tag);
    bool Enabled() const;

    std::unique_ptr<CDesktopNotifier> m_notifier;
    std::unique_ptr<CSleepInhibitor> m_inhibitor;
    DesktopActions m_actions;
    // A banner of the ringing call is up.
    bool m_bRinging = false;
};

}  // namespace kestrona
