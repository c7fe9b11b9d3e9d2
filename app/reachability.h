// Whether callers can reach this phone, as the directory server found by
// connecting back to it, and the relay that makes it reachable when nothing
// else does. After the login and after every change of the router's
// forwarding the server is asked to check the announced command port; a
// phone that cannot be reached holds an allocation on the service's relay
// for its command port (and, per call, for its audio ports) and tells the
// server the relayed address, which callers are then given. The relay
// credentials come from the server and are renewed before they expire.
// Only with a server of ours: one that does not answer the new requests
// leaves the phone as it was, and nothing new is ever sent to peers.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "net/port_forwarder.h"
#include "net/relay_records.h"

namespace kestrona {

class CPortMapping;
class CRelayClient;
struct NetContext;

class CReachability : public QObject {
    Q_OBJECT

  public:
    enum class State { kOff, kChecking, kDirect, kMapped, kRelayed, kUnreachable };

    // Off when a proxy is in use or the relay switch is off: then no new
    // request goes to the server.
    CReachability(NetContext& net, CPortMapping* mapping, bool enabled, QObject* parent = nullptr);
    ~CReachability() override;

    // The session exists: credentials first, then the check.
    void LoggedIn();
    // Gives the relayed addresses back and ends the relay's worker.
    void Shutdown();

    State GetState() const { return m_state; }
    // The firewall page's line, in the phone's language.
    QString StateText() const;
    // A word for `rpc status`: off, checking, direct, mapped, relayed,
    // unreachable.
    const char* StateWord() const;

  signals:
    void stateChanged();

  private:
    // Runs `step` from the event loop, never inside another exchange's
    // wait, and only one at a time.
    void Schedule(void (CReachability::*step)(), int delayMs = 0);
    void FetchCredentials();
    // limitMs > 0 bounds the wait for the answer below the usual time-out.
    void FetchCredentials(int limitMs);
    void Check();
    void UseRelay();
    void OnRelayGrant(std::size_t relayIndex, const PortGrant& grant);
    void DropRelay(bool tellServer);
    bool Announce(const std::string& address, int port);
    void SetState(State state);
    void PublishForwarder();

    NetContext& m_net;
    CPortMapping* m_mapping;
    const bool m_bEnabled;
    State m_state = State::kOff;
    bool m_bLoggedIn = false;
    bool m_bBusy = false;

    std::unique_ptr<CRelayClient> m_relay;
    // Per relay, the forwarding of a call's audio ports.
    std::map<std::string, std::unique_ptr<IPortForwarder>> m_forwarders;
    RelayCredsReply m_creds;
    QTimer m_renew;
    // The command port's allocation and where it is.
    int m_nRelayId = 0;
    std::size_t m_nRelayIndex = 0;
    PortGrant m_relayed;
    // The address and port the last verdict was about.
    std::string m_strCheckedAddress;
    int m_nCheckedPort = 0;
};

}  // namespace kestrona
