#include "net_test_util.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace kestrona::test {

void EnsureNetTestApp() {
    static int argc = 1;
    static char name[] = "net_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        static std::string root;
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kestrona-net-cfg-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            root = pattern;
        ::setenv("KESTRONA_CONFIG_HOME", root.c_str(), 1);
        new QCoreApplication(argc, argv);
    }
}

bool PumpUntil(const std::function<bool()>& pred, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void PumpFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int FreeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool FakeWindow::Saw(const std::string& entry) const {
    return std::find(log.begin(), log.end(), entry) != log.end();
}

Endpoint::Endpoint(const std::string& name) {
    EnsureNetTestApp();
    static std::atomic<int> serial{0};
    section = "Software\\KestronaTest\\" + name + std::to_string(serial++);
    model.m_nTimeout = 5;
    std::strcpy(model.m_szProxyAddress, "127.0.0.1");
    ctx = std::make_unique<NetContext>(model);
    ctx->regSection = section;
    ctx->window = &window;
    ctx->messages = &messages;
    RegCreateSection(section);
    Store("proxy", "0");
}

Endpoint::~Endpoint() {
    ctx.reset();
}

void Endpoint::Store(const char* name, const std::string& text) const {
    RegWriteValue(section, name, text);
}

void Endpoint::StoreServer(int port) const {
    Store("Host", "127.0.0.1");
    Store("HostPort", std::to_string(port));
}

ScriptedServer::ScriptedServer() {
    EnsureNetTestApp();
    m_server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = m_server.nextPendingConnection()) {
            ++connections;
            s->setParent(nullptr);
            m_clients.emplace_back(s);
            if (greet) {
                s->write("ACCEPT", 6);
                s->flush();
            }
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] {
                const QByteArray chunk = s->readAll();
                received.push_back(chunk);
                if (reply) {
                    const QByteArray answer = reply(chunk);
                    if (!answer.isEmpty()) {
                        s->write(answer);
                        s->flush();
                    }
                }
            });
        }
    });
}

std::unique_ptr<QTcpSocket> RawConnect(int port) {
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!s->waitForConnected(5000))
        return nullptr;
    return s;
}

QByteArray ReadSome(QTcpSocket& socket, int limitMs) {
    PumpUntil(
        [&] {
            return socket.bytesAvailable() > 0 || socket.state() != QAbstractSocket::ConnectedState;
        },
        limitMs);
    return socket.readAll();
}

}  // namespace kestrona::test
