#include "net/relay_client.h"

#include <QSocketNotifier>
#include <cerrno>

#include <unistd.h>

#include "net/relay_worker.h"

namespace kestrona {

CRelayClient::CRelayClient(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_queues(std::make_shared<relay::Queues>()) {
    auto* notifier = new QSocketNotifier(m_queues->resultWake.Get(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { TakeResults(); });
}

CRelayClient::~CRelayClient() {
    Shutdown();
}

void CRelayClient::SetCredentials(const RelayCredentials& credentials) {
    if (m_bShutDown) {
        return;
    }
    relay::Job job;
    job.kind = relay::Job::kCredentials;
    job.credentials = credentials;
    // Queued even before the worker runs: it takes the jobs in order.
    m_queues->PushJob(std::move(job));
}

void CRelayClient::Push(relay::Job job) {
    m_queues->PushJob(std::move(job));
    if (!m_thread.joinable()) {
        m_worker = std::make_unique<relay::Worker>(m_options, *m_queues);
        m_thread = std::thread([worker = m_worker.get()] { worker->Run(); });
    }
}

void CRelayClient::PostFailure(int id) {
    // Answered like any other request: later, on this thread.
    m_queues->PostResult(relay::Result{id, false, RelayGrant{}});
}

int CRelayClient::Map(const RelayServer& server, int localPort, Done done) {
    const int id = ++m_nextId;
    m_pending.emplace(id, std::move(done));
    if (m_bShutDown || server.host.empty() || server.port <= 0 || server.port > 65535 ||
        localPort <= 0 || localPort > 65535) {
        PostFailure(id);
        return id;
    }
    relay::Job job;
    job.kind = relay::Job::kMap;
    job.id = id;
    job.server = server;
    job.localPort = localPort;
    Push(std::move(job));
    return id;
}

void CRelayClient::Unmap(int id) {
    m_pending.erase(id);
    if (m_bShutDown || !m_thread.joinable()) {
        return;
    }
    relay::Job job;
    job.kind = relay::Job::kUnmap;
    job.id = id;
    Push(std::move(job));
}

int CRelayClient::OpenRoute(const RelayServer& server, const std::string& peerAddress,
                            int peerPort) {
    if (m_bShutDown || server.host.empty() || server.port <= 0 || server.port > 65535 ||
        peerPort <= 0 || peerPort > 65535) {
        return 0;
    }
    const auto peer = stun::Address::FromText(peerAddress, static_cast<uint16_t>(peerPort));
    if (!peer) {
        return 0;
    }
    int port = 0;
    relay::Fd listener = relay::ListenLoopback(port);
    if (!listener.Valid()) {
        return 0;
    }
    relay::Job job;
    job.kind = relay::Job::kRoute;
    job.id = ++m_nextId;
    job.server = server;
    job.peer = *peer;
    job.listener = std::move(listener);
    Push(std::move(job));
    return port;
}

void CRelayClient::Shutdown() {
    m_bShutDown = true;
    m_pending.clear();
    if (!m_thread.joinable()) {
        return;
    }
    relay::Job job;
    job.kind = relay::Job::kStop;
    m_queues->PushJob(std::move(job));
    // Bounded: the worker gives the allocations exchangeLimit to be handed
    // back, then closes everything.
    m_thread.join();
    m_worker.reset();
}

int CRelayClient::ActiveAllocations() const {
    std::lock_guard lock(m_queues->mutex);
    return m_queues->active;
}

void CRelayClient::TakeResults() {
    uint64_t count = 0;
    while (::read(m_queues->resultWake.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::deque<relay::Result> results;
    {
        std::lock_guard lock(m_queues->mutex);
        results.swap(m_queues->results);
    }
    for (relay::Result& result : results) {
        if (result.lost) {
            emit mappingLost(result.id);
            continue;
        }
        if (auto it = m_pending.find(result.id); it != m_pending.end()) {
            Done call = std::move(it->second);
            m_pending.erase(it);
            if (call) {
                call(result.grant);
            }
        }
    }
}

}  // namespace kestrona
