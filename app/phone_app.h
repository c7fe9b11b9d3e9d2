// The application object: the whole life of the process, from the start-up
// checks through the first-run registration, the login and the phone window
// to the shutdown that logs out and releases the sockets.
#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>
#include <memory>

#include "app/command_line.h"
#include "app/ui_hooks.h"
#include "net/message_box.h"
#include "net/net_context.h"
#include "settings/settings_model.h"
#include "settings/sys_reg_info.h"

namespace kestrona {
class CCallController;
class CDesktopCalls;
class CInstanceChannel;
class CKeepAlive;
class CPortMapping;
class CPresence;
class CReachability;
class CSoundCheck;
class ICallClock;
class ICallServices;
}  // namespace kestrona

class CPhoneApp : public QApplication {
    Q_OBJECT

  public:
    CPhoneApp(int& argc, char** argv);
    ~CPhoneApp() override;

    // The one application object of the process (null before it exists).
    static CPhoneApp* Instance();

    // Must be called before Run.
    void SetUiFactory(kestrona::IUiFactory* factory) { m_pFactory = factory; }

    // InitInstance, then ExitInstance; returns the process exit code.
    int Run();

    // The start-up and the event loop. Returns false (always), like the
    // framework's start-up, once the loop has ended or start-up gave up.
    bool InitInstance();
    int ExitInstance();

    // Ends the message loop of InitInstance; the shutdown follows.
    void EndMessageLoop();

    void LoadSettings();
    // This installation's identity for encrypted calls, from the data folder.
    void LoadIdentity();
    bool LoginAtStartup();
    void BuildLocalAddress();
    void ChangeListenPort(bool closeOld) { m_net.ChangeListenPort(closeOld); }
    int PumpUntilReply(CCmdSocket& socket) { return m_net.PumpUntilReply(socket); }
    int ShowReplyMessage(int code) { return m_net.ShowReplyMessage(code); }

    kestrona::SettingsModel& Settings() { return m_settings; }
    kestrona::NetContext& Net() { return m_net; }
    kestrona::IMessageBox& Messages() { return *m_messages; }
    kestrona::IPhoneMainWindow* MainWindow() const { return m_pMainWnd.get(); }
    // The call controller (null before the phone window is made).
    kestrona::CCallController* Controller() const { return m_controller.get(); }
    // The router's forwarding of the listening ports (null before the
    // settings are loaded).
    kestrona::CPortMapping* PortMapping() const { return m_portMapping.get(); }
    // Whether callers reach this phone, and the relay (null before the
    // settings are loaded).
    kestrona::CReachability* Reachability() const { return m_reachability.get(); }
    // Who of the phone book can be called now (null before the settings
    // are loaded).
    kestrona::CPresence* Presence() const { return m_presence.get(); }
    // The phone's calls on the desktop (null before the phone window).
    kestrona::CDesktopCalls* Desktop() const { return m_desktop.get(); }
    // A ringing call may be announced some other way: the desktop's
    // notification service does not show it, and the user has not switched
    // call notifications off.
    bool WantsPlainCallNotice() const;

    // The store object for the settings key.
    CSysRegInfo m_regInfo;
    QString m_strLocalAddress;
    bool m_bLoggedIn = false;
    bool m_bStartHidden = false;
    int m_nVerMajor = 2;
    int m_nVerMinor = 0;
    int m_nVerBuild = 1228;

    // The number given by a "callto:" argument, filled in once the window
    // exists; 0 when none.
    int32_t m_nCallToNumber = 0;

  private:
    QString HandleRequest(const QStringList& args);
    // Call notifications and the hold on sleep, on the session's buses.
    void StartDesktop();
    bool ListenForOtherStarts(bool afterRelaunch);

    kestrona::SettingsModel m_settings;
    kestrona::NetContext m_net;
    std::unique_ptr<kestrona::IMessageBox> m_messages;
    kestrona::IUiFactory* m_pFactory = nullptr;
    std::unique_ptr<kestrona::CInstanceChannel> m_channel;
    std::unique_ptr<kestrona::CKeepAlive> m_keepAlive;
    std::unique_ptr<kestrona::CSoundCheck> m_soundCheck;
    // Before the call services: a call's engine uses its mapper to the end.
    std::unique_ptr<kestrona::CPortMapping> m_portMapping;
    std::unique_ptr<kestrona::CReachability> m_reachability;
    std::unique_ptr<kestrona::CPresence> m_presence;
    std::unique_ptr<kestrona::ICallServices> m_callServices;
    std::unique_ptr<kestrona::ICallClock> m_callClock;
    // Outlives the controller, which tells it of its calls.
    std::unique_ptr<kestrona::CDesktopCalls> m_desktop;
    std::unique_ptr<kestrona::CCallController> m_controller;
    std::unique_ptr<kestrona::IPhoneMainWindow> m_pMainWnd;
    // EndMessageLoop was called (a quit signal, or the exit command).
    bool m_bQuitRequested = false;
};
