#include "net/net_context.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "net/server_socket.h"
#include "settings/setting_names.h"

namespace kestrona {

NetContext::~NetContext() {
    m_lingering.clear();
    m_pPeerSocket.reset();
    m_pCmdListenSocket.reset();
}

int NetContext::StoreInt(const char* name) const {
    CSysRegInfo reg;
    reg.SetRegSection(regSection.c_str());
    return reg.GetRegInt(name);
}

std::string NetContext::StoreText(const char* name) const {
    CSysRegInfo reg;
    reg.SetRegSection(regSection.c_str());
    char buffer[CSysRegInfo::kRegReadCap] = {};
    if (!reg.GetRegValue(name, buffer))
        return {};
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

int NetContext::ShowMessage(int stringId) {
    return messages ? messages->ShowMessage(stringId) : 0;
}

int NetContext::PumpUntilReply(CCmdSocket& socket) {
    if (!socket.m_bConnected)
        return socket.m_nReply;
    QPointer<CCmdSocket> guard(&socket);
    if (!socket.m_bReplied && !socket.m_bAborted && socket.m_nTimeoutMs > 0) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&socket, &CCmdSocket::waitStateChanged, &loop, [&socket, &loop] {
            if (socket.m_bReplied || socket.m_bAborted)
                loop.quit();
        });
        QObject::connect(&socket, &QObject::destroyed, &loop, &QEventLoop::quit);
        limit.start(static_cast<int>(std::min<uint32_t>(socket.m_nTimeoutMs, INT_MAX)));
        loop.exec();
        // A handler inside the wait may have deleted the socket (a hang-up
        // during a call set-up): nothing came back then.
        if (!guard)
            return REPLY_NONE;
    }
    const int code = socket.m_nReply;
    socket.m_bReplied = false;
    return code;
}

int NetContext::ShowReplyMessage(int code) {
    switch (code) {
        case REPLY_NONE:
            return ShowMessage(msg::kExchangeTimedOut);
        case REPLY_EMAIL_TAKEN:
            return ShowMessage(msg::kEmailTaken);
        case REPLY_BAD_PASSWORD:
            return ShowMessage(msg::kBadPassword);
        default:
            return code;
    }
}

void NetContext::ChangeListenPort(bool closeOld) {
    if (closeOld && m_pCmdListenSocket)
        m_pCmdListenSocket.reset();
    m_pCmdListenSocket = std::make_unique<CCallSocket>(*this);
    QPointer<CCallSocket> listener(m_pCmdListenSocket.get());
    listener->Create(0);
    listener->BindThroughSocks5(settings.m_nCmdPort);
    if (!listener)
        return;
    ReportCmdPort(listener->m_nPort);
}

void NetContext::EndPeerConnection() {
    if (!m_pPeerSocket)
        return;
    QPointer<CCallSocket> socket(m_pPeerSocket.get());
    const bool linger = socket->LingersOnEnd();
    if (linger)
        socket->MarkEnded();
    socket->SendEndTalk();
    // Sending may run nested handlers that already dropped the connection.
    if (!socket || m_pPeerSocket.get() != socket.data())
        return;
    if (!linger || !socket->IsConnected()) {
        socket->Close();
        m_pPeerSocket.reset();
        return;
    }
    m_lingering.push_back(std::move(m_pPeerSocket));
    CCallSocket* raw = socket.data();
    QTimer::singleShot(kLingerMs, raw, [this, raw] { DropLingering(raw); });
}

void NetContext::TurnAway(std::unique_ptr<CCallSocket> socket) {
    CCallSocket* raw = socket.get();
    const std::size_t turning = std::size_t(std::count_if(
        m_lingering.begin(), m_lingering.end(), [](const auto& s) { return s->TurningAway(); }));
    if (turning >= kMaxTurnedAway) {
        raw->SendRecord(kWordBusy.data(), int(kWordBusy.size()));
        raw->Close();
        return;
    }
    raw->BeginTurningAway();
    m_lingering.push_back(std::move(socket));
    QTimer::singleShot(kTurnAwayLimitMs, raw, [this, raw] { DropLingering(raw); });
    raw->SendRecord(kWordAccept.data(), int(kWordAccept.size()));
}

void NetContext::DropLingering(CCallSocket* socket) {
    for (auto it = m_lingering.begin(); it != m_lingering.end(); ++it) {
        if (it->get() == socket) {
            std::unique_ptr<CCallSocket> gone = std::move(*it);
            m_lingering.erase(it);
            gone->Close();
            return;
        }
    }
}

int NetContext::AnnouncedCmdPort() const {
    if (m_nMappedCmdPort > 0) {
        return m_nMappedCmdPort;
    }
    return m_pCmdListenSocket ? m_pCmdListenSocket->m_nPort : 0;
}

void NetContext::ReportCmdPort(int32_t port) {
    CServerSocket server(*this);
    server.Create();
    server.SendChangePort(BuildChangePortRecord(settings.m_nID, port));
    server.Close();
}

void NetContext::OpenCmdListenSocket() {
    m_pCmdListenSocket = std::make_unique<CCallSocket>(*this);
    CCallSocket& listener = *m_pCmdListenSocket;
    if (StoreInt(kestrona::reg::kProxy) == 1) {
        listener.Create(0);
        listener.BindThroughSocks5(settings.m_nCmdPort);
        return;
    }
    const int port = settings.m_nCmdPort;
    if (port >= 0 && port <= 65535 && listener.Create(static_cast<uint16_t>(port)) &&
        listener.Listen(5)) {
        listener.m_nPort = listener.LocalPort();
    } else {
        ShowMessage(msg::kCannotListen);
    }
}

void NetContext::ReleaseSockets(bool loggedIn) {
    if (loggedIn) {
        CServerSocket server(*this);
        server.Create();
        server.SendLogout();
        server.Close();
    }
    m_pCmdListenSocket.reset();
    if (m_pPeerSocket) {
        QPointer<CCallSocket> peer(m_pPeerSocket.get());
        peer->SendEndTalk();
        if (peer)
            m_pPeerSocket.reset();
    }
}

}  // namespace kestrona
