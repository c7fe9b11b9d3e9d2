// The relay client for phones that cannot be reached from outside: holds TCP
// allocations on the service's TURN relay (TCP relaying, over TLS when the
// relay asks for it) and joins every connection that arrives at a relayed
// address to a local listening port on 127.0.0.1, and lets a calling phone
// reach such a relayed address through a local port of its own. All relay
// traffic runs on one worker thread; the owner's thread only queues jobs and
// takes the answers, so nothing waits on it.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

class QSocketNotifier;

namespace kestrona {

struct RelayServer {
    std::string host;  // dotted IPv4 or a name
    int port = 0;
    // Every connection to it inside TLS, its certificate checked against
    // the system's authorities and KESTRONA_TLS_CA_FILE for `host`.
    bool tls = false;
};
// Time-limited credentials as the directory server issues them.
struct RelayCredentials {
    std::string username;
    std::string password;
};
struct RelayGrant {
    std::string address;
    int port = 0;  // 0: failed
};

struct RelayClientOptions {
    std::chrono::milliseconds exchangeLimit{3000};  // connect + one request/answer
    std::chrono::milliseconds routeLimit{10000};    // a route's local connection comes within
    uint32_t lifetime = 600;  // allocation lifetime asked for (s); refreshed at half
    std::chrono::seconds permissionRefresh{240};  // permissions last 300 s on the relay
    std::string realm;                            // empty: take the relay's
};

namespace relay {
class Worker;
struct Job;
struct Result;
struct Queues;
}  // namespace relay

class CRelayClient : public QObject {
    Q_OBJECT

  public:
    using Options = RelayClientOptions;
    // At most this many allocations and joined connection pairs per client;
    // requests past that are refused.
    static constexpr int kMaxAllocations = 32;
    static constexpr int kMaxJoins = 64;

    explicit CRelayClient(Options options = {}, QObject* parent = nullptr);
    ~CRelayClient() override;  // Shutdown()

    // Used by every later exchange with the relay; may be renewed any time.
    void SetCredentials(const RelayCredentials& credentials);

    using Done = std::function<void(const RelayGrant&)>;
    // A relayed address on `server`; every connection arriving there is
    // joined to 127.0.0.1:localPort. `done` runs once on this object's thread
    // unless unmapped or shut down first. Returns an id > 0.
    int Map(const RelayServer& server, int localPort, Done done);
    // Gives the allocation back (bounded, best effort) and closes its joined
    // connections.
    void Unmap(int id);
    // A port on 127.0.0.1, listening at once, whose first connection within
    // routeLimit is joined through this client's own allocation on `server`
    // to `peerAddress`:`peerPort` (a relayed address on that server). When
    // the relay cannot reach the peer the local connection is closed. 0 when
    // no local port could be opened (or the request is refused).
    int OpenRoute(const RelayServer& server, const std::string& peerAddress, int peerPort);
    // Gives every allocation back (bounded), closes every connection and
    // joins the worker. Later calls fail at once.
    void Shutdown();

    // Allocations the relay has granted and this client holds now.
    int ActiveAllocations() const;

  signals:
    // The relayed address of Map `id` was lost (the relay closed the
    // connection, or a refresh was refused or unanswered).
    void mappingLost(int id);

  private:
    void Push(relay::Job job);
    void PostFailure(int id);
    void TakeResults();

    const Options m_options;
    std::shared_ptr<relay::Queues> m_queues;
    // Goes before the queues' event counter is closed.
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::map<int, Done> m_pending;  // owner's thread
    int m_nextId = 0;
    bool m_bShutDown = false;
    std::unique_ptr<relay::Worker> m_worker;
    std::thread m_thread;
};

}  // namespace kestrona
