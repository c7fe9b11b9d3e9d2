// Shared pieces of the net tests: a Qt application for the event loop, a
// private settings root, recording fakes of the phone window and the message
// boxes, an endpoint bundle and a scripted directory server.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/call_socket.h"
#include "net/net_context.h"
#include "net/server_socket.h"
#include "platform/reg_store.h"
#include "support/fake_messages.h"

namespace kestrona::test {

// Creates the QCoreApplication and points the settings root at a fresh
// temporary folder; call first in every test binary's fixtures.
void EnsureNetTestApp();

// Dispatches events until pred() holds; the limit only keeps a broken test
// from hanging and is never what a test asserts on.
bool PumpUntil(const std::function<bool()>& pred, int limitMs = 10000);
void PumpFor(int ms);
// A loopback port with nothing listening on it a moment ago.
int FreeTcpPort();

class FakeWindow : public IPhoneWindow {
  public:
    void OnIncomingCall(const RequestCall& request) override {
        log.push_back("incoming");
        lastRequest = request;
        if (onIncoming)
            onIncoming(request);
    }
    void BeginRecord(int type) override { log.push_back("record" + std::to_string(type)); }
    void OnParameters(const Paramenter& params) override {
        log.push_back("params");
        lastParams = params;
    }
    void StartTalk() override { log.push_back("starttalk"); }
    void EndCall() override {
        log.push_back("endcall");
        if (onEndCall)
            onEndCall();
    }
    void OnPeerAutoAnswer() override { log.push_back("autoanswer"); }
    void OnBusy() override { log.push_back("busy"); }
    void OnCallWhileBusy(int32_t caller) override {
        log.push_back("whilebusy " + std::to_string(caller));
    }
    void OnUnsupported() override { log.push_back("unsupported"); }
    bool PlacingCall() const override { return placing; }

    bool Saw(const std::string& entry) const;

    std::vector<std::string> log;
    RequestCall lastRequest;
    Paramenter lastParams;
    std::function<void(const RequestCall&)> onIncoming;
    std::function<void()> onEndCall;
    bool placing = false;
};

// One client: its settings, store section, context and fakes.
struct Endpoint {
    explicit Endpoint(const std::string& name);
    ~Endpoint();
    void Store(const char* name, const std::string& text) const;
    void StoreServer(int port) const;

    std::string section;
    SettingsModel model;
    FakeWindow window;
    FakeMessages messages;
    std::unique_ptr<NetContext> ctx;
};

// A directory server stand-in on loopback: greets every connection with
// "ACCEPT" (unless told not to), keeps each received chunk and answers a chunk
// with whatever `reply` returns (nothing when empty).
class ScriptedServer : public QObject {
  public:
    ScriptedServer();
    int Port() const { return m_server.serverPort(); }
    bool greet = true;
    std::function<QByteArray(const QByteArray&)> reply;
    std::vector<QByteArray> received;
    int connections = 0;

  private:
    QTcpServer m_server;
    std::vector<std::unique_ptr<QTcpSocket>> m_clients;
};

// A raw loopback client for feeding chunks to a command socket.
std::unique_ptr<QTcpSocket> RawConnect(int port);
QByteArray ReadSome(QTcpSocket& socket, int limitMs = 5000);

}  // namespace kestrona::test
