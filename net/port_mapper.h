// Automatic port forwarding on the home router: asks the router (UPnP IGD or
// NAT-PMP) to forward TCP ports from its outside address to this machine,
// renews the leases while the ports are needed and removes the forwardings
// when they are not. Every exchange with the router runs on one worker thread
// with a deadline; the owner's thread only queues requests and receives the
// answers as queued calls, so nothing waits on it.
#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/port_forwarder.h"
#include "net/thread_handoff.h"
#include "platform/unique_fd.h"

namespace kestrona {

// One router protocol. Called on the mapper's worker thread only.
class IPortMapBackend {
  public:
    virtual ~IPortMapBackend() = default;
    // A short name for the log ("UPnP", "NAT-PMP").
    virtual const char* Name() const = 0;
    // Looks for a router that speaks the protocol; false when none answered
    // within the deadline, or when `cancel` was set meanwhile (looked at
    // every few hundred milliseconds: a shutdown does not wait for a search).
    virtual bool Discover(std::chrono::milliseconds limit, const std::atomic<bool>& cancel) = 0;
    // Forwards TCP port `external` (a wish: NAT-PMP routers may grant
    // another) of the router to `internal` on this machine for about
    // `leaseSeconds`. Returns the granted external port, or 0 when refused;
    // `grantedLease` gets the lease in seconds (0: until removed).
    virtual int Map(int internal, int external, int leaseSeconds, int& grantedLease) = 0;
    virtual void Unmap(int internal, int external) = 0;
    // The router's outside address as it tells it ("" when unknown).
    virtual std::string ExternalAddress() = 0;
};

// Makes the backends to try, in order. The real ones: NAT-PMP, then UPnP IGD.
using PortMapBackends = std::function<std::vector<std::unique_ptr<IPortMapBackend>>()>;
PortMapBackends RouterBackends();

class CPortMapper : public QObject, public IPortForwarder {
    Q_OBJECT

  public:
    struct Options {
        int leaseSeconds = 1200;
        // How long a router has to answer the search, per protocol.
        std::chrono::milliseconds discoverLimit{2000};
        // After a search that found nothing, requests fail at once for this
        // long before the next search.
        std::chrono::milliseconds rediscoverAfter{60000};
    };

    // The result of one mapping: the outside address and port, or port 0
    // when the router refused or there is none.
    using Grant = PortGrant;

    explicit CPortMapper(PortMapBackends backends, Options options, QObject* parent = nullptr);
    explicit CPortMapper(QObject* parent = nullptr) : CPortMapper(RouterBackends(), {}, parent) {}
    ~CPortMapper() override;  // Shutdown()

    // Asks for `localPort` to be forwarded (the same port number outside when
    // the router allows). `done` runs once, on this object's thread, unless
    // the request was cancelled or the mapper shut down first. Returns the
    // request's id for Unmap.
    int Map(int localPort, Done done) override;
    // Removes the forwarding of a request (also one still in flight).
    void Unmap(int id) override;
    // Removes every forwarding and ends the worker; each removal is one
    // bounded exchange with the router. Later requests are refused at once.
    void Shutdown();

    // Forwardings the router holds for this mapper now (worker's view).
    int ActiveCount() const;

  signals:
    // A held forwarding was lost (its renewal was refused or went
    // unanswered); its request's port is no longer reachable from outside.
    void mappingLost(int id);

  private:
    struct Job {
        enum Kind { kMap, kUnmap, kStop } kind = kMap;
        int id = 0;
        int localPort = 0;
    };
    struct Held {
        int localPort = 0;
        int externalPort = 0;
        IPortMapBackend* backend = nullptr;
        std::chrono::steady_clock::time_point renewAt;
    };

    void Run();
    void DoMap(const Job& job);
    void DoUnmap(int id);
    void RenewDue();
    IPortMapBackend* Router();
    struct Result {
        int id = 0;
        bool lost = false;  // a held forwarding was lost, else a request's answer
        Grant grant;
    };
    void TakeResults(std::vector<Result>& results);

    const PortMapBackends m_makeBackends;
    const Options m_options;

    // Owner's thread: the callbacks of requests in flight.
    std::map<int, Done> m_pending;
    int m_nextId = 0;
    bool m_bShutDown = false;

    // Shared with the worker.
    std::atomic<bool> m_bStopping{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    int m_nActive = 0;
    // The worker's answers and lost forwardings, to the owner's thread.
    CThreadHandoff<Result> m_results{
        this, [this](std::vector<Result>& results) { TakeResults(results); }};

    // Worker only.
    std::vector<std::unique_ptr<IPortMapBackend>> m_backends;
    IPortMapBackend* m_router = nullptr;
    bool m_bSearched = false;
    std::chrono::steady_clock::time_point m_searchAgainAt;
    std::string m_externalAddress;
    std::map<int, Held> m_held;

    std::thread m_worker;
};

}  // namespace kestrona
