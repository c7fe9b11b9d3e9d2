#include "app/port_mapping.h"

#include <QtGlobal>

#include "net/net_context.h"
#include "net/port_mapper.h"
#include "net/records.h"
#include "net/server_socket.h"

namespace kestrona {

CPortMapping::CPortMapping(NetContext& net, bool enabled, QObject* parent)
    : QObject(parent), m_net(net) {
    if (!enabled) {
        return;
    }
    m_mapper = std::make_unique<CPortMapper>();
    m_net.portMapper = m_mapper.get();
    connect(m_mapper.get(), &CPortMapper::mappingLost, this, [this](int id) {
        if (id != m_nMapId) {
            return;
        }
        // The router forgot the forwarding (it restarted, say): peers go to
        // the local port again until the router, searched for anew, grants
        // another.
        m_nMapId = 0;
        OnGranted(m_nLocalPort, {}, 0);
        CmdPortOpened(m_nLocalPort);
    });
    SetState(State::kAsking);
}

CPortMapping::~CPortMapping() {
    Shutdown();
}

void CPortMapping::CmdPortOpened(int localPort) {
    if (!m_mapper) {
        return;
    }
    if (m_nMapId) {
        m_mapper->Unmap(m_nMapId);
        m_nMapId = 0;
    }
    m_nLocalPort = localPort;
    m_net.m_nMappedCmdPort = 0;
    if (localPort <= 0) {
        SetState(State::kUnavailable);
        return;
    }
    SetState(State::kAsking);
    m_nMapId = m_mapper->Map(localPort, [this, localPort](const CPortMapper::Grant& grant) {
        OnGranted(localPort, grant.address, grant.port);
    });
}

void CPortMapping::LoggedIn() {
    m_bLoggedIn = true;
    Report();
}

void CPortMapping::Shutdown() {
    if (!m_mapper) {
        return;
    }
    m_net.portMapper = nullptr;
    m_net.m_nMappedCmdPort = 0;
    m_mapper->Shutdown();
    m_mapper.reset();
    m_nMapId = 0;
}

void CPortMapping::OnGranted(int localPort, const std::string& address, int port) {
    if (localPort != m_nLocalPort) {
        return;
    }
    m_strAddress = address;
    m_nExternalPort = port;
    m_net.m_nMappedCmdPort = port;
    SetState(port > 0 ? State::kMapped : State::kUnavailable);
    Report();
}

void CPortMapping::Report() {
    if (!m_bLoggedIn || m_nLocalPort <= 0) {
        return;
    }
    // The login carried the local port, or the forwarded one when it was
    // known by then; a forwarded port that differs is told once more (at
    // worst a repetition), and every later change is told.
    if (!m_bTold) {
        m_bTold = true;
        m_nToldPort = m_nLocalPort;
    }
    const int wanted = m_net.AnnouncedCmdPort();
    if (wanted != m_nToldPort) {
        m_nToldPort = wanted;
        m_net.ReportCmdPort(wanted);
    }
    CompareWithServer();
}

void CPortMapping::CompareWithServer() {
    if (m_state != State::kMapped || m_bCompared || m_strAddress.empty()) {
        return;
    }
    m_bCompared = true;
    // The server gives callers the address it saw this phone come from; a
    // router that names another outside address is not the last one on the
    // way, and its forwarding is not what callers reach. Only told: the
    // phone goes on as it is.
    CServerSocket socket(m_net);
    socket.Create();
    socket.SendQueryUser(m_net.settings.m_nID);
    if (m_net.PumpUntilReply(socket) == REPLY_SUCCESS) {
        const QueryUserResult seen = ParseQueryUserResult(socket.Buffer());
        if (seen.strAddress != m_strAddress) {
            qWarning(
                "kestrona: port mapping: the router's outside address is %s, but the "
                "directory server sees this phone at %s; calls may not get through",
                m_strAddress.c_str(), seen.strAddress.c_str());
        }
    }
    socket.Close();
}

void CPortMapping::SetState(State state) {
    if (state == m_state) {
        return;
    }
    m_state = state;
    emit stateChanged();
}

QString CPortMapping::StateText() const {
    switch (m_state) {
        case State::kMapped:
            return tr("已映射 %1:%2")
                .arg(QString::fromStdString(m_strAddress))
                .arg(m_nExternalPort);
        case State::kAsking:
            return tr("正在询问路由器");
        case State::kUnavailable:
            return tr("不可用");
        case State::kOff:
            break;
    }
    return tr("已关闭");
}

}  // namespace kestrona
