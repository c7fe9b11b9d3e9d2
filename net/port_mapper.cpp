#include "net/port_mapper.h"

#include <QDebug>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace kestrona {

namespace {
using Clock = std::chrono::steady_clock;

// An outside address that no one on the internet can reach: a second router
// or the carrier's NAT stands in front of this one.
bool IsPrivateAddress(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
        return false;
    }
    return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
           (a == 100 && b >= 64 && b <= 127) || (a == 169 && b == 254) || a == 0 || a == 127;
}
}  // namespace

CPortMapper::CPortMapper(PortMapBackends backends, Options options, QObject* parent)
    : QObject(parent), m_makeBackends(std::move(backends)), m_options(options) {}

CPortMapper::~CPortMapper() {
    Shutdown();
}

int CPortMapper::Map(int localPort, Done done) {
    const int id = ++m_nextId;
    if (m_bShutDown || localPort <= 0 || localPort > 65535) {
        // Answered like any other request: later, on this thread.
        m_pending.emplace(id, std::move(done));
        m_results.Post(Result{id, false, Grant{}});
        return id;
    }
    m_pending.emplace(id, std::move(done));
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(Job{Job::kMap, id, localPort});
    }
    if (!m_worker.joinable()) {
        m_worker = std::thread([this] { Run(); });
    }
    m_wake.notify_one();
    return id;
}

void CPortMapper::Unmap(int id) {
    m_pending.erase(id);
    if (m_bShutDown || !m_worker.joinable()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(Job{Job::kUnmap, id, 0});
    }
    m_wake.notify_one();
}

void CPortMapper::Shutdown() {
    m_bShutDown = true;
    m_pending.clear();
    if (!m_worker.joinable()) {
        return;
    }
    m_bStopping = true;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(Job{Job::kStop, 0, 0});
    }
    m_wake.notify_one();
    m_worker.join();
}

int CPortMapper::ActiveCount() const {
    std::lock_guard lock(m_mutex);
    return m_nActive;
}

void CPortMapper::TakeResults(std::vector<Result>& results) {
    for (Result& result : results) {
        if (result.lost) {
            emit mappingLost(result.id);
            continue;
        }
        if (auto it = m_pending.find(result.id); it != m_pending.end()) {
            Done call = std::move(it->second);
            m_pending.erase(it);
            call(result.grant);
        }
    }
}

void CPortMapper::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_jobs.empty()) {
            auto next = Clock::time_point::max();
            for (const auto& [id, held] : m_held) next = std::min(next, held.renewAt);
            if (next == Clock::time_point::max()) {
                m_wake.wait(lock, [this] { return !m_jobs.empty(); });
            } else {
                m_wake.wait_until(lock, next, [this] { return !m_jobs.empty(); });
            }
        }
        if (m_jobs.empty()) {
            lock.unlock();
            RenewDue();
            lock.lock();
            continue;
        }
        const Job job = m_jobs.front();
        m_jobs.pop_front();
        lock.unlock();
        if (job.kind == Job::kStop) {
            std::vector<int> ids;
            for (const auto& [id, held] : m_held) ids.push_back(id);
            for (int id : ids) DoUnmap(id);
            return;
        }
        if (job.kind == Job::kMap) {
            DoMap(job);
        } else {
            DoUnmap(job.id);
        }
        lock.lock();
    }
}

IPortMapBackend* CPortMapper::Router() {
    if (m_router) {
        return m_router;
    }
    if (m_bSearched && Clock::now() < m_searchAgainAt) {
        return nullptr;
    }
    if (m_backends.empty() && m_makeBackends) {
        m_backends = m_makeBackends();
    }
    m_bSearched = true;
    for (const auto& backend : m_backends) {
        if (m_bStopping) {
            return nullptr;
        }
        if (backend->Discover(m_options.discoverLimit, m_bStopping)) {
            m_router = backend.get();
            m_externalAddress = m_router->ExternalAddress();
            qInfo("kestrona: port mapping through %s, router's outside address %s",
                  m_router->Name(),
                  m_externalAddress.empty() ? "unknown" : m_externalAddress.c_str());
            if (IsPrivateAddress(m_externalAddress)) {
                qWarning(
                    "kestrona: port mapping: the router's outside address %s is private; "
                    "another router or the provider's NAT is in front of it, and calls from "
                    "the internet will not get through",
                    m_externalAddress.c_str());
            }
            return m_router;
        }
    }
    m_searchAgainAt = Clock::now() + m_options.rediscoverAfter;
    qInfo("kestrona: port mapping: no router answered (UPnP IGD, NAT-PMP)");
    return nullptr;
}

void CPortMapper::DoMap(const Job& job) {
    Grant grant;
    if (IPortMapBackend* router = Router()) {
        int lease = 0;
        const int external =
            router->Map(job.localPort, job.localPort, m_options.leaseSeconds, lease);
        if (external > 0 && external <= 65535) {
            Held held{job.localPort, external, router, Clock::time_point::max()};
            if (lease > 0) {
                // Renewed at half its lease, so that one lost answer does
                // not let it run out.
                held.renewAt = Clock::now() + std::chrono::seconds(std::max(1, lease / 2));
            }
            {
                std::lock_guard lock(m_mutex);
                m_held[job.id] = held;
                m_nActive = static_cast<int>(m_held.size());
            }
            grant = Grant{m_externalAddress, external};
            qInfo("kestrona: port mapping: %s:%d forwarded to local port %d",
                  m_externalAddress.c_str(), external, job.localPort);
        } else {
            qInfo("kestrona: port mapping: the router refused local port %d", job.localPort);
        }
    }
    const int id = job.id;
    m_results.Post(Result{id, false, grant});
}

void CPortMapper::DoUnmap(int id) {
    Held held;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_held.find(id);
        if (it == m_held.end()) {
            return;
        }
        held = it->second;
        m_held.erase(it);
        m_nActive = static_cast<int>(m_held.size());
    }
    held.backend->Unmap(held.localPort, held.externalPort);
    qInfo("kestrona: port mapping: %d removed", held.externalPort);
}

void CPortMapper::RenewDue() {
    const auto now = Clock::now();
    std::vector<int> due;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, held] : m_held)
            if (held.renewAt <= now)
                due.push_back(id);
    }
    for (int id : due) {
        Held held;
        {
            std::lock_guard lock(m_mutex);
            held = m_held.at(id);
        }
        int lease = 0;
        const int external =
            held.backend->Map(held.localPort, held.externalPort, m_options.leaseSeconds, lease);
        if (external == held.externalPort) {
            std::lock_guard lock(m_mutex);
            m_held[id].renewAt = lease > 0
                                     ? Clock::now() + std::chrono::seconds(std::max(1, lease / 2))
                                     : Clock::time_point::max();
            continue;
        }
        // Lost: the router forgot us or gave the port to someone else. A
        // different port it handed out instead is not wanted.
        if (external > 0) {
            held.backend->Unmap(held.localPort, external);
        }
        {
            std::lock_guard lock(m_mutex);
            m_held.erase(id);
            m_nActive = static_cast<int>(m_held.size());
        }
        // The next request searches again: the router may have restarted.
        m_router = nullptr;
        m_bSearched = false;
        qInfo("kestrona: port mapping: renewal of %d failed", held.externalPort);
        m_results.Post(Result{id, true, Grant{}});
    }
}

}  // namespace kestrona
