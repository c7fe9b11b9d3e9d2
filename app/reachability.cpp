#include "app/reachability.h"

#include <QtGlobal>

#include "app/port_mapping.h"
#include "net/net_context.h"
#include "net/relay_client.h"
#include "net/server_socket.h"

namespace kestrona {
namespace {

// How long the first request after the login waits for the server.
constexpr int kFirstAnswerLimitMs = 3000;
// A server that is asked too often says so; the next check waits this long.
constexpr int kTooManyRetryMs = 20000;
// How soon a relay that could not be had (or was lost) is asked again: a
// relay that comes back is used within a few seconds.
constexpr int kRelayRetryMs = 3000;

// The relay's forwarding of one relay server, for a call's audio ports.
class RelayForwarder : public IPortForwarder {
  public:
    RelayForwarder(CRelayClient& client, RelayServer server)
        : m_client(&client), m_server(std::move(server)) {}
    int Map(int localPort, Done done) override {
        return m_client->Map(m_server, localPort, [done = std::move(done)](const RelayGrant& g) {
            done(PortGrant{g.address, g.port});
        });
    }
    void Unmap(int id) override { m_client->Unmap(id); }

  private:
    CRelayClient* m_client;
    RelayServer m_server;
};

RelayServer ServerOf(const RelayEndpoint& endpoint) {
    return RelayServer{endpoint.host, endpoint.port, endpoint.tls};
}

}  // namespace

CReachability::CReachability(NetContext& net, CPortMapping* mapping, bool enabled, QObject* parent)
    : QObject(parent), m_net(net), m_mapping(mapping), m_bEnabled(enabled) {
    m_renew.setSingleShot(true);
    connect(&m_renew, &QTimer::timeout, this,
            [this] { Schedule(&CReachability::FetchCredentials); });
    if (m_mapping) {
        // A forwarding granted or lost changes what callers reach: check again.
        connect(m_mapping, &CPortMapping::stateChanged, this, [this] {
            if (m_bLoggedIn && m_mapping->GetState() != CPortMapping::State::kAsking)
                Schedule(&CReachability::Check);
        });
    }
}

CReachability::~CReachability() {
    Shutdown();
}

void CReachability::LoggedIn() {
    if (!m_bEnabled)
        return;
    m_bLoggedIn = true;
    SetState(State::kChecking);
    // Right after the login, before the window: a call dialled at once
    // already goes through the relay when the callee needs it. A server of
    // ours answers within moments, so this waits briefly even for one that
    // does not know the request.
    m_bBusy = true;
    FetchCredentials(kFirstAnswerLimitMs);
    m_bBusy = false;
}

void CReachability::Shutdown() {
    m_bLoggedIn = false;
    m_renew.stop();
    m_net.relayForwarder = nullptr;
    m_net.relayClient = nullptr;
    if (m_relay) {
        // The logout that follows ends the session and its relayed address
        // with it; the relay gets its allocations back here.
        m_relay->Shutdown();
        m_relay.reset();
    }
    m_forwarders.clear();
    m_nRelayId = 0;
}

void CReachability::Schedule(void (CReachability::*step)(), int delayMs) {
    QTimer::singleShot(delayMs, this, [this, step] {
        if (!m_bLoggedIn)
            return;
        if (m_bBusy) {
            // Another exchange is waiting for its reply; try once it is over.
            Schedule(step, 200);
            return;
        }
        m_bBusy = true;
        (this->*step)();
        m_bBusy = false;
    });
}

void CReachability::FetchCredentials() {
    FetchCredentials(0);
}

void CReachability::FetchCredentials(int limitMs) {
    CServerSocket socket(m_net);
    socket.Create();
    if (limitMs > 0 && (socket.m_nTimeoutMs == 0 || socket.m_nTimeoutMs > uint32_t(limitMs)))
        socket.m_nTimeoutMs = uint32_t(limitMs);
    const auto record = BuildRelayCredsRecord(m_net.settings.m_nID);
    socket.SendRequest(record.data(), static_cast<int>(record.size()));
    const int code = m_net.PumpUntilReply(socket);
    const RelayCredsReply reply =
        code == REPLY_SUCCESS
            ? ParseRelayCredsReply(socket.Buffer(), std::size_t(socket.m_nReceived))
            : RelayCredsReply{};
    socket.Close();
    if (reply.result < 0) {
        if (!m_net.m_bServerRelays && limitMs > 0) {
            // Asked once more with the usual time-out, in the background.
            Schedule(&CReachability::FetchCredentials);
            return;
        }
        if (!m_net.m_bServerRelays) {
            // A server that does not know the request: the phone goes on as
            // it is, and the server is not asked anything new again.
            SetState(State::kOff);
            return;
        }
        // A server of ours that did not answer this time: the credentials
        // held stay until they are renewed.
        m_renew.start(kTooManyRetryMs);
        return;
    }
    m_net.m_bServerRelays = true;
    if (reply.result == 0) {
        const bool first = m_creds.relays.empty();
        m_creds = reply;
        if (!m_relay) {
            m_relay = std::make_unique<CRelayClient>();
            connect(m_relay.get(), &CRelayClient::mappingLost, this, [this](int id) {
                if (id != m_nRelayId)
                    return;
                // The relay restarted or dropped the allocation: callers
                // cannot reach this phone until a new one is had.
                qWarning("kestrona: relay: the relayed address was lost; asking again");
                m_nRelayId = 0;
                m_relayed = {};
                PublishForwarder();
                SetState(State::kUnreachable);
                Schedule(&CReachability::UseRelay, 1000);
            });
            m_net.relayClient = m_relay.get();
        }
        m_relay->SetCredentials(RelayCredentials{reply.username, reply.password});
        // Renewed at half their time, so a keep-alive never meets them expired.
        m_renew.start(std::max(1000, reply.validSeconds * 500));
        if (!first)
            return;
    }
    Schedule(&CReachability::Check);
}

void CReachability::Check() {
    if (m_mapping && m_mapping->GetState() == CPortMapping::State::kAsking) {
        // The router's answer is the next change; the check follows it.
        return;
    }
    const int localPort = m_net.m_pCmdListenSocket ? m_net.m_pCmdListenSocket->m_nPort : 0;
    const int port = m_net.m_nMappedCmdPort > 0 ? m_net.m_nMappedCmdPort : localPort;
    if (port <= 0) {
        SetState(State::kUnreachable);
        return;
    }
    if (m_state != State::kRelayed)
        SetState(State::kChecking);
    CServerSocket socket(m_net);
    socket.Create();
    const auto record = BuildReachCheckRecord(m_net.settings.m_nID, port);
    socket.SendRequest(record.data(), static_cast<int>(record.size()));
    const int code = m_net.PumpUntilReply(socket);
    const ReachReply reply = code == REPLY_SUCCESS
                                 ? ParseReachReply(socket.Buffer(), std::size_t(socket.m_nReceived))
                                 : ReachReply{};
    socket.Close();
    switch (reply.verdict) {
        case ReachVerdict::kReachable:
            m_strCheckedAddress = reply.address;
            m_nCheckedPort = reply.port;
            DropRelay(true);
            SetState(m_net.m_nMappedCmdPort > 0 ? State::kMapped : State::kDirect);
            return;
        case ReachVerdict::kTooMany:
        case ReachVerdict::kNoAnswer:
            Schedule(&CReachability::Check, kTooManyRetryMs);
            return;
        case ReachVerdict::kUnreachable:
        case ReachVerdict::kRefused:
        case ReachVerdict::kBadPort:
            break;
    }
    if (m_state == State::kRelayed)
        return;
    UseRelay();
}

void CReachability::UseRelay() {
    if (m_nRelayId || m_state == State::kRelayed || m_state == State::kDirect ||
        m_state == State::kMapped) {
        return;
    }
    const int localPort = m_net.m_pCmdListenSocket ? m_net.m_pCmdListenSocket->m_nPort : 0;
    if (!m_relay || m_creds.relays.empty() || localPort <= 0) {
        SetState(State::kUnreachable);
        return;
    }
    // The first relay of the server's choice, else the next.
    const std::size_t index = m_nRelayIndex % m_creds.relays.size();
    m_nRelayId = m_relay->Map(ServerOf(m_creds.relays[index]), localPort,
                              [this, index](const RelayGrant& g) {
                                  OnRelayGrant(index, {g.address, g.port});
                              });
}

void CReachability::OnRelayGrant(std::size_t relayIndex, const PortGrant& grant) {
    if (!m_bLoggedIn)
        return;
    if (grant.port <= 0) {
        m_nRelayId = 0;
        ++m_nRelayIndex;
        SetState(State::kUnreachable);
        Schedule(&CReachability::UseRelay, kRelayRetryMs);
        return;
    }
    const int id = m_nRelayId;
    // The announcement is an exchange of its own; never inside the relay's
    // hand-over.
    QTimer::singleShot(0, this, [this, id, relayIndex, grant] {
        if (!m_bLoggedIn || id != m_nRelayId)
            return;
        if (!Announce(grant.address, grant.port)) {
            m_relay->Unmap(id);
            m_nRelayId = 0;
            SetState(State::kUnreachable);
            Schedule(&CReachability::UseRelay, kRelayRetryMs);
            return;
        }
        m_nRelayIndex = relayIndex;
        m_relayed = grant;
        PublishForwarder();
        SetState(State::kRelayed);
    });
}

void CReachability::DropRelay(bool tellServer) {
    if (!m_nRelayId)
        return;
    m_relay->Unmap(m_nRelayId);
    m_nRelayId = 0;
    const bool announced = m_relayed.port > 0;
    m_relayed = {};
    PublishForwarder();
    if (tellServer && announced)
        Announce({}, 0);
}

bool CReachability::Announce(const std::string& address, int port) {
    CServerSocket socket(m_net);
    socket.Create();
    const auto record = BuildRelayAddrRecord(m_net.settings.m_nID, address, port);
    socket.SendRequest(record.data(), static_cast<int>(record.size()));
    const int code = m_net.PumpUntilReply(socket);
    socket.Close();
    if (code != REPLY_SUCCESS) {
        qWarning("kestrona: relay: the directory server did not take the relayed address %s:%d",
                 address.c_str(), port);
    }
    return code == REPLY_SUCCESS;
}

void CReachability::PublishForwarder() {
    if (m_relayed.port <= 0 || !m_relay || m_creds.relays.empty()) {
        m_net.relayForwarder = nullptr;
        return;
    }
    const RelayEndpoint& relay = m_creds.relays[m_nRelayIndex % m_creds.relays.size()];
    const std::string key = relay.host + ":" + std::to_string(relay.port);
    // A call that is up keeps using the forwarder it was given, so none is
    // destroyed before the relay client itself.
    std::unique_ptr<IPortForwarder>& forwarder = m_forwarders[key];
    if (!forwarder)
        forwarder = std::make_unique<RelayForwarder>(*m_relay, ServerOf(relay));
    m_net.relayForwarder = forwarder.get();
}

void CReachability::SetState(State state) {
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged();
}

const char* CReachability::StateWord() const {
    switch (m_state) {
        case State::kChecking:
            return "checking";
        case State::kDirect:
            return "direct";
        case State::kMapped:
            return "mapped";
        case State::kRelayed:
            return "relayed";
        case State::kUnreachable:
            return "unreachable";
        case State::kOff:
            break;
    }
    return "off";
}

QString CReachability::StateText() const {
    switch (m_state) {
        case State::kChecking:
            return tr("正在检查能否呼入");
        case State::kDirect:
            return tr("可以直接呼入");
        case State::kMapped:
            return tr("经路由器映射 %1:%2 呼入")
                .arg(QString::fromStdString(m_strCheckedAddress))
                .arg(m_nCheckedPort);
        case State::kRelayed:
            return tr("经中继 %1:%2 呼入")
                .arg(QString::fromStdString(m_relayed.address))
                .arg(m_relayed.port);
        case State::kUnreachable:
            return tr("无法呼入：请在路由器上打开端口映射，或设置固定端口并在防火墙上放行");
        case State::kOff:
            break;
    }
    return tr("未知");
}

}  // namespace kestrona
