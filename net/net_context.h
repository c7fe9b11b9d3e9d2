// What the command sockets need of the application: the settings model, the
// session values, the command listening socket and the current call's peer
// connection, and the window and message-box interfaces. The application
// object owns one and fills it; tests make one per endpoint.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/call_socket.h"
#include "net/message_box.h"
#include "net/phone_window.h"
#include "platform/call_crypto.h"
#include "settings/settings_model.h"
#include "settings/sys_reg_info.h"

namespace kestrona {

class CPortMapper;
class CRelayClient;
class IPortForwarder;

struct NetContext {
    explicit NetContext(SettingsModel& model) : settings(model) {}
    ~NetContext();
    NetContext(const NetContext&) = delete;
    NetContext& operator=(const NetContext&) = delete;

    SettingsModel& settings;
    // The store section read for "Host", "HostPort" and "Proxy" at the moment
    // of use (tests give each endpoint its own).
    std::string regSection = CSysRegInfo::kDefaultSection;

    std::unique_ptr<CCallSocket> m_pCmdListenSocket;
    std::unique_ptr<CCallSocket> m_pPeerSocket;
    // Connections that are not the call's and are on their way out: ended
    // calls' connections through the relay (EndPeerConnection) and callers
    // who came during a call (TurnAway), until the far end closes them or
    // their time is up.
    std::vector<std::unique_ptr<CCallSocket>> m_lingering;
    std::string m_strLoginText;    // UTF-8
    std::string m_strLoginNotice;  // UTF-8
    int m_nLivePeriod = 60;        // seconds
    // How long an accepted connection has to ask for a call before it is
    // dropped: the bound the media set-up of a call has too.
    static constexpr int kCallRequestLimitMs = 10000;
    int m_nCallRequestLimitMs = kCallRequestLimitMs;

    // This installation's identity; without one no call is encrypted.
    std::optional<IdentityKey> identity;

    IPhoneWindow* window = nullptr;
    IMessageBox* messages = nullptr;
    // Forwards listening ports on the home router (null: no router is asked).
    CPortMapper* portMapper = nullptr;
    // The router's outside port for the command listening socket (0: none).
    int m_nMappedCmdPort = 0;
    // The directory server answers the requests of calls into any home.
    bool m_bServerRelays = false;
    // The service's relay, once the server handed out credentials for it
    // (null: none); callers reach relayed callees through it.
    CRelayClient* relayClient = nullptr;
    // While this phone is reached through the relay: the relay's forwarding
    // of listening ports (a call's audio ports go behind it); else null.
    IPortForwarder* relayForwarder = nullptr;

    // The command port that peers are to use: the router's forwarded port,
    // else the listening socket's own.
    int AnnouncedCmdPort() const;
    // "ENDTALK" on the current call's connection, then the connection is let
    // go. One that the relay joins stays open until the far end closes it
    // (it does on "ENDTALK") or kLingerMs have passed: the relay drops a
    // joined connection the moment one side ends it, and with it a record
    // still on its way.
    void EndPeerConnection();
    void DropLingering(CCallSocket* socket);
    static constexpr int kLingerMs = 2000;
    // A connection that came while a call is up: greeted, so that the caller
    // says who it is, then told busy (CCallSocket::TurnAway). At most
    // kMaxTurnedAway at once (more are told busy at once, unasked), each for
    // at most kTurnAwayLimitMs.
    void TurnAway(std::unique_ptr<CCallSocket> socket);
    static constexpr int kTurnAwayLimitMs = 3000;
    static constexpr std::size_t kMaxTurnedAway = 4;
    // CHANGEPORT with m_nID and `port`; nothing waits for a reply.
    void ReportCmdPort(int32_t port);

    // The wait for a reply: returns at once with m_nReply when the socket is
    // not connected; otherwise dispatches events until the reply flag, the
    // abort flag or m_nTimeoutMs; clears the reply flag and returns m_nReply.
    // A socket deleted during the wait ends it with REPLY_NONE. A quit request
    // (QCoreApplication::exit) ends every nested wait as a time-out and then
    // reaches the main loop.
    int PumpUntilReply(CCmdSocket& socket);
    // 50 -> message 138, 100 -> 137, 110 -> 139; other codes show nothing and
    // are returned unchanged. Returns the box's result otherwise.
    int ShowReplyMessage(int code);
    // Re-opens the listening side through the SOCKS5 proxy and reports the new
    // port with CHANGEPORT. closeOld deletes the current listening socket first.
    void ChangeListenPort(bool closeOld);
    // The listening half of the start-up: through the SOCKS5 proxy when the
    // stored "proxy" is 1, else on m_nCmdPort (message 146 when that fails).
    void OpenCmdListenSocket();
    // The shutdown: logout when logged in, drop the listening socket, and
    // "ENDTALK" on an open call.
    void ReleaseSockets(bool loggedIn);

    // Store reads through regSection.
    int StoreInt(const char* name) const;
    std::string StoreText(const char* name) const;
    int ShowMessage(int stringId);
};

}  // namespace kestrona
