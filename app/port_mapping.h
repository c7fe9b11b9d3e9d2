// What the phone asks of the home router: the command listening port is
// forwarded for as long as the phone runs, and the port the router granted
// is the one the directory server is told. The audio ports of each call are
// forwarded by the call's engine (call_services). When there is no router to
// ask, the switch is off or a proxy is in use, the phone works as it does
// without: the local ports are announced.
#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>

namespace kestrona {

class CPortMapper;
struct NetContext;

class CPortMapping : public QObject {
    Q_OBJECT

  public:
    enum class State { kOff, kAsking, kMapped, kUnavailable };

    // Off unless the settings switch is on and no proxy is in use.
    CPortMapping(NetContext& net, bool enabled, QObject* parent = nullptr);
    ~CPortMapping() override;

    // The command listening socket has been opened (again): its port is
    // forwarded in place of the one forwarded before.
    void CmdPortOpened(int localPort);
    // The session now exists: a granted port that differs from the local
    // one is reported with CHANGEPORT.
    void LoggedIn();
    // Removes every forwarding and ends the router exchanges.
    void Shutdown();

    State GetState() const { return m_state; }
    // "已映射 ADDRESS:PORT", "不可用", ... in the phone's language.
    QString StateText() const;

  signals:
    void stateChanged();

  private:
    void OnGranted(int localPort, const std::string& address, int port);
    void SetState(State state);
    void Report();
    void CompareWithServer();

    NetContext& m_net;
    std::unique_ptr<CPortMapper> m_mapper;
    State m_state = State::kOff;
    int m_nMapId = 0;
    int m_nLocalPort = 0;
    std::string m_strAddress;
    int m_nExternalPort = 0;
    bool m_bLoggedIn = false;
    // The port the server knows since the login.
    bool m_bTold = false;
    int m_nToldPort = 0;
    // The server's view of this phone's address was asked for.
    bool m_bCompared = false;
};

}  // namespace kestrona
