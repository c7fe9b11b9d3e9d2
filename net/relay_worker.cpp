#include "net/relay_worker.h"

#include <QDebug>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrona::relay {

namespace {

// Requests in flight on one connection; more means the relay stopped
// answering, and the deadlines will end them.
constexpr std::size_t kMaxRequests = 16;
constexpr std::size_t kMaxPermissions = 16;
constexpr std::size_t kMaxInput = stun::kHeaderSize + stun::kMaxMessageSize;

void Wake(const Fd& fd) {
    const uint64_t one = 1;
    while (::write(fd.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

std::string ServerKey(const RelayServer& server) {
    return server.host + ":" + std::to_string(server.port);
}

bool SameIp(const stun::Address& a, const stun::Address& b) {
    return a.ipv6 == b.ipv6 && a.bytes == b.bytes;
}

}  // namespace

Queues::Queues()
    : jobWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      resultWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!jobWake.Valid() || !resultWake.Valid()) {
        qFatal("kestrona: relay: no event counter: %s", std::strerror(errno));
    }
}

void Queues::PushJob(Job job) {
    {
        std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
    }
    Wake(jobWake);
}

void Queues::PostResult(Result result) {
    {
        std::lock_guard lock(mutex);
        results.push_back(std::move(result));
    }
    // The result travels in the queue under its lock; the counter only wakes
    // the owner's thread, so the thread checker sees the whole hand-over.
    Wake(resultWake);
}

Worker::Worker(const CRelayClient::Options& options, Queues& queues)
    : m_options(options),
      m_queues(queues),
      // Read here, on the owner's thread, and not by the worker while the
      // owner's thread may change the environment.
      m_extraAuthorities(qEnvironmentVariable("KESTRONA_TLS_CA_FILE").toStdString()) {}

Worker::~Worker() = default;

void Worker::Run() {
    // OpenSSL writes to its sockets without MSG_NOSIGNAL: a relay that went
    // away must not end the process. Blocked, the signal stays pending on
    // this thread and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::vector<pollfd> fds;
    std::vector<std::pair<Slot, int>> owners;
    std::vector<std::size_t> buffered;  // slots with bytes poll() cannot see
    auto linkBuffered = [](const Link& l) {
        return l.connected && !l.raw && !l.broken && l.in.size() < kMaxInput && l.stream.Buffered();
    };
    for (;;) {
        const auto now = Clock::now();
        if (m_stopping && (m_allocations.empty() || now >= m_stopDeadline)) {
            break;
        }
        fds.clear();
        owners.clear();
        buffered.clear();
        auto add = [&](int fd, short events, Slot slot, int id, bool pending = false) {
            if (pending) {
                buffered.push_back(fds.size());
            }
            fds.push_back(pollfd{events != 0 ? fd : -1, events, 0});
            owners.emplace_back(slot, id);
        };
        add(m_queues.jobWake.Get(), POLLIN, Slot::kWake, 0);
        for (auto& [id, a] : m_allocations) {
            add(a.link.stream.Get(), LinkEvents(a.link), Slot::kControl, id, linkBuffered(a.link));
        }
        for (auto& [id, d] : m_data) {
            add(d.link.stream.Get(), LinkEvents(d.link), Slot::kData, id, linkBuffered(d.link));
        }
        for (auto& [id, l] : m_locals) {
            add(l.local.Get(), l.dead ? 0 : POLLOUT, Slot::kLocal, id);
        }
        for (auto& [id, r] : m_routes) {
            add(r.listener.Get(), r.dead || !r.listener.Valid() ? 0 : POLLIN, Slot::kRoute, id);
        }
        for (auto& [id, j] : m_joins) {
            add(j.splice.FdA(), j.dead ? 0 : j.splice.EventsA(), Slot::kJoinA, id,
                !j.dead && j.splice.BufferedA());
            add(j.splice.FdB(), j.dead ? 0 : j.splice.EventsB(), Slot::kJoinB, id,
                !j.dead && j.splice.BufferedB());
        }
        int ready;
        do {
            ready = ::poll(fds.data(), fds.size(), buffered.empty() ? PollTimeout(now) : 0);
        } while (ready < 0 && errno == EINTR);
        for (const std::size_t i : buffered) {
            fds[i].revents |= POLLIN;
        }
        for (std::size_t i = 0; (ready > 0 || !buffered.empty()) && i < fds.size(); ++i) {
            const short revents = fds[i].revents;
            if (revents == 0) {
                continue;
            }
            const auto [slot, id] = owners[i];
            switch (slot) {
                case Slot::kWake:
                    TakeJobs();
                    break;
                case Slot::kControl:
                    if (auto it = m_allocations.find(id); it != m_allocations.end()) {
                        Allocation& a = it->second;
                        const bool wasConnected = a.link.connected;
                        LinkReady(a.link, revents, [this, allocId = id](const stun::Message& m) {
                            OnIndication(allocId, m);
                        });
                        if (a.link.broken) {
                            Lose(a);
                        } else if (!wasConnected && a.link.connected) {
                            SendAllocate(id);
                        }
                    }
                    break;
                case Slot::kData:
                    if (auto it = m_data.find(id); it != m_data.end()) {
                        DataLink& d = it->second;
                        const bool wasConnected = d.link.connected;
                        LinkReady(d.link, revents, [](const stun::Message&) {});
                        if (d.link.broken) {
                            d.dead = true;
                        } else if (!wasConnected && d.link.connected) {
                            SendBind(id);
                        } else if (d.bound) {
                            Promote(d);
                        }
                    }
                    break;
                case Slot::kLocal:
                    if (auto it = m_locals.find(id); it != m_locals.end()) {
                        LocalConnect& l = it->second;
                        l.dead = true;
                        if (ConnectSucceeded(l.local.Get())) {
                            AddJoin(l.allocId, stun::Address{}, std::move(l.relayed),
                                    Stream(std::move(l.local)), l.early);
                        } else {
                            qWarning("kestrona: relay: local port refused a relayed connection");
                        }
                    }
                    break;
                case Slot::kRoute:
                    if (auto it = m_routes.find(id); it != m_routes.end()) {
                        Route& r = it->second;
                        r.local = AcceptConnection(r.listener.Get());
                        if (r.local.Valid()) {
                            // One connection per route.
                            r.listener.Reset();
                            if (Allocation* a = Alive(r.allocId);
                                a && a->state == Allocation::kReady) {
                                StartRoute(id);
                            }
                        }
                    }
                    break;
                case Slot::kJoinA:
                case Slot::kJoinB:
                    if (auto it = m_joins.find(id); it != m_joins.end() && !it->second.dead) {
                        if (slot == Slot::kJoinA) {
                            it->second.splice.OnReadyA(revents);
                        } else {
                            it->second.splice.OnReadyB(revents);
                        }
                    }
                    break;
            }
        }
        Tick(Clock::now());
        Sweep();
    }
    // Whatever is left closes with the maps.
    m_joins.clear();
    m_routes.clear();
    m_locals.clear();
    m_data.clear();
    m_allocations.clear();
    std::lock_guard lock(m_queues.mutex);
    m_queues.active = 0;
}

int Worker::PollTimeout(Clock::time_point now) const {
    auto next = now + std::chrono::seconds(60);
    auto link = [&](const Link& l) {
        if (!l.connected && l.stream.Valid()) {
            next = std::min(next, l.connectDeadline);
        }
        for (const auto& [tid, r] : l.requests) next = std::min(next, r.deadline);
    };
    for (const auto& [id, a] : m_allocations) {
        link(a.link);
        if (a.state == Allocation::kReady) {
            next = std::min({next, a.refreshAt, a.permitAt});
        }
    }
    for (const auto& [id, d] : m_data) link(d.link);
    for (const auto& [id, l] : m_locals) next = std::min(next, l.deadline);
    for (const auto& [id, r] : m_routes) {
        if (r.listener.Valid()) {
            next = std::min(next, r.acceptDeadline);
        }
    }
    if (m_stopping) {
        next = std::min(next, m_stopDeadline);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    // Rounded up, so that a deadline is past when the loop wakes for it.
    return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
}

// ---- jobs

void Worker::TakeJobs() {
    uint64_t count = 0;
    while (::read(m_queues.jobWake.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::deque<Job> jobs;
    {
        std::lock_guard lock(m_queues.mutex);
        jobs.swap(m_queues.jobs);
    }
    for (Job& job : jobs) {
        if (m_stopping) {
            break;
        }
        switch (job.kind) {
            case Job::kCredentials:
                m_credentials = job.credentials;
                break;
            case Job::kMap:
                DoMap(job);
                break;
            case Job::kUnmap:
                for (auto& [id, a] : m_allocations) {
                    if (a.mapId == job.id && !a.released) {
                        Release(a);
                    }
                }
                break;
            case Job::kRoute:
                DoRoute(job);
                break;
            case Job::kStop:
                m_stopping = true;
                m_stopDeadline = Clock::now() + m_options.exchangeLimit;
                for (auto& [id, a] : m_allocations) Release(a);
                break;
        }
    }
}

int Worker::NewAllocation(const RelayServer& server, int mapId, int localPort) {
    int alive = 0;
    for (const auto& [id, a] : m_allocations) alive += a.dead ? 0 : 1;
    if (alive >= CRelayClient::kMaxAllocations) {
        qWarning("kestrona: relay: too many allocations");
        return 0;
    }
    const auto address = ResolveIpv4(server.host, server.port, m_options.exchangeLimit);
    if (!address) {
        qWarning("kestrona: relay: cannot find the relay %s", server.host.c_str());
        return 0;
    }
    Stream stream = RelayStream(StartConnect(*address), server.tls, server.host);
    if (!stream.Valid()) {
        qWarning("kestrona: relay: cannot connect to %s", ServerKey(server).c_str());
        return 0;
    }
    const int id = ++m_nextId;
    Allocation& a = m_allocations[id];
    a.mapId = mapId;
    a.localPort = localPort;
    a.serverKey = ServerKey(server);
    a.server = *address;
    a.host = server.host;
    a.tls = server.tls;
    a.link.stream = std::move(stream);
    a.link.connectDeadline = Clock::now() + m_options.exchangeLimit;
    a.link.in.reserve(kMaxInput);
    // The relay ties an allocation to the name it was made with and answers
    // any other name with 441, also on its data connections; so every
    // exchange for it keeps that name, and renewed credentials serve the
    // allocations made after them.
    a.link.credentials = m_credentials;
    return id;
}

void Worker::DoMap(Job& job) {
    if (NewAllocation(job.server, job.id, job.localPort) == 0) {
        m_queues.PostResult(Result{job.id, false, RelayGrant{}});
    }
}

void Worker::DoRoute(Job& job) {
    int routes = 0;
    for (const auto& [id, r] : m_routes) routes += r.dead ? 0 : 1;
    if (routes + Pairs() >= CRelayClient::kMaxJoins) {
        qWarning("kestrona: relay: too many routes");
        return;  // the listener closes: the caller's connect is refused
    }
    int allocId = 0;
    const std::string key = ServerKey(job.server);
    for (const auto& [id, a] : m_allocations) {
        // The relay takes one connection per allocation and peer address.
        if (a.mapId == 0 && !a.dead && a.state != Allocation::kReleasing && a.serverKey == key &&
            !PeerInUse(id, job.peer)) {
            allocId = id;
        }
    }
    if (allocId == 0 && (allocId = NewAllocation(job.server, 0, 0)) == 0) {
        return;
    }
    const int id = ++m_nextId;
    Route& r = m_routes[id];
    r.allocId = allocId;
    r.listener = std::move(job.listener);
    r.acceptDeadline = Clock::now() + m_options.routeLimit;
    r.peer = job.peer;
}

// ---- STUN exchanges

void Worker::Send(Link& link, Request request) {
    if (link.broken || link.requests.size() >= kMaxRequests) {
        if (request.done) {
            request.done(nullptr);
        }
        return;
    }
    const stun::TransactionId id = stun::NewTransactionId();
    stun::MessageBuilder builder(request.method, stun::Class::kRequest, id);
    if (request.attributes) {
        request.attributes(builder);
    }
    const std::string& realm = m_options.realm.empty() ? link.realm : m_options.realm;
    request.sentAuth = !link.nonce.empty() && !realm.empty();
    std::vector<uint8_t> bytes;
    if (request.sentAuth) {
        const RelayCredentials& credentials = link.credentials;
        builder.AddText(stun::attr::kUsername, credentials.username)
            .AddText(stun::attr::kRealm, realm)
            .AddText(stun::attr::kNonce, link.nonce);
        request.key = stun::LongTermKey(credentials.username, realm, credentials.password);
        bytes = builder.Finish(&request.key, false);
    } else {
        bytes = builder.Finish(nullptr, false);
    }
    link.out.insert(link.out.end(), bytes.begin(), bytes.end());
    request.deadline = Clock::now() + m_options.exchangeLimit;
    link.requests.emplace(id, std::move(request));
}

void Worker::OnAnswer(Link& link, const stun::Message& message) {
    auto it = link.requests.find(message.Transaction());
    if (it == link.requests.end()) {
        return;  // late, or never asked
    }
    Request request = std::move(it->second);
    link.requests.erase(it);
    if (message.GetClass() == stun::Class::kError) {
        const auto error = message.ErrorCode();
        const int code = error ? error->code : 0;
        const auto realm = message.Text(stun::attr::kRealm);
        const auto nonce = message.Text(stun::attr::kNonce);
        // 401: the relay wants credentials (or the nonce it handed another
        // connection is not good on this one); 438: the nonce went stale.
        if (code == 401 && !request.retried401 && realm && nonce && !nonce->empty()) {
            request.retried401 = true;
            link.realm = *realm;
            link.nonce = *nonce;
            Send(link, std::move(request));
            return;
        }
        if (code == 438 && !request.retried438 && nonce && !nonce->empty()) {
            request.retried438 = true;
            if (realm) {
                link.realm = *realm;
            }
            link.nonce = *nonce;
            Send(link, std::move(request));
            return;
        }
        qWarning("kestrona: relay: request %d refused: %d %s", static_cast<int>(request.method),
                 code, error ? error->reason.c_str() : "");
    } else if (message.GetClass() == stun::Class::kSuccess && request.sentAuth &&
               message.Find(stun::attr::kMessageIntegrity) &&
               !message.CheckIntegrity(request.key)) {
        qWarning("kestrona: relay: an answer failed its integrity check");
        request.done(nullptr);
        return;
    }
    request.done(&message);
}

short Worker::LinkEvents(const Link& link) const {
    if (link.broken || link.raw || !link.stream.Valid()) {
        return 0;
    }
    if (!link.tcpUp) {
        return POLLOUT;
    }
    if (!link.connected) {
        return link.stream.Events(false, false);  // the handshake's
    }
    return link.stream.Events(link.in.size() < kMaxInput, !link.out.empty());
}

void Worker::LinkReady(Link& link, short revents,
                       const std::function<void(const stun::Message&)>& indication) {
    if (link.broken || link.raw || revents == 0) {
        return;
    }
    if (!link.tcpUp) {
        if (!ConnectSucceeded(link.stream.Get())) {
            FailLink(link);
            return;
        }
        link.tcpUp = true;
    }
    if (!link.connected) {
        std::string why;
        switch (link.stream.Handshake(why)) {
            case Stream::Io::kOk:
                link.connected = true;
                break;
            case Stream::Io::kWouldBlock:
                break;
            case Stream::Io::kEnded:
            case Stream::Io::kFailed:
                qWarning("kestrona: relay: no TLS with the relay: %s", why.c_str());
                FailLink(link);
                break;
        }
        return;  // once connected, the owner of the link sends its first request
    }
    // Inside TLS either poll event may serve either operation; a try that
    // is not ready yet only says so.
    if (!link.out.empty()) {
        std::size_t sent = 0;
        const Stream::Io io = link.stream.Write(link.out, sent);
        if (io == Stream::Io::kFailed || io == Stream::Io::kEnded) {
            FailLink(link);
            return;
        }
        link.out.erase(link.out.begin(), link.out.begin() + static_cast<std::ptrdiff_t>(sent));
    }
    if (link.in.size() >= kMaxInput) {
        return;
    }
    uint8_t chunk[kMaxInput];
    std::size_t n = 0;
    switch (link.stream.Read(std::span<uint8_t>(chunk, kMaxInput - link.in.size()), n)) {
        case Stream::Io::kOk:
            break;
        case Stream::Io::kWouldBlock:
            return;
        case Stream::Io::kEnded:
        case Stream::Io::kFailed:
            FailLink(link);
            return;
    }
    link.in.insert(link.in.end(), chunk, chunk + n);
    while (!link.in.empty() && !link.raw && !link.broken) {
        const auto length = stun::MessageLength(link.in);
        if (!length) {
            qWarning("kestrona: relay: the relay sent something that is not STUN");
            FailLink(link);
            return;
        }
        if (*length == 0 || *length > link.in.size()) {
            return;  // more to come
        }
        const auto message =
            stun::Message::Parse(std::span<const uint8_t>(link.in.data(), *length));
        if (!message) {
            qWarning("kestrona: relay: the relay sent a malformed message");
            FailLink(link);
            return;
        }
        link.in.erase(link.in.begin(), link.in.begin() + static_cast<std::ptrdiff_t>(*length));
        if (message->GetClass() == stun::Class::kIndication) {
            indication(*message);
        } else if (message->GetClass() != stun::Class::kRequest) {
            OnAnswer(link, *message);
        }
    }
}

void Worker::FailLink(Link& link) {
    if (link.broken) {
        return;
    }
    link.broken = true;
    auto requests = std::move(link.requests);
    link.requests.clear();
    for (auto& [id, request] : requests) {
        if (request.done) {
            request.done(nullptr);
        }
    }
}

void Worker::ExpireLink(Link& link, Clock::time_point now) {
    if (link.broken) {
        return;
    }
    if (link.stream.Valid() && !link.connected && now >= link.connectDeadline) {
        FailLink(link);
        return;
    }
    std::vector<Answer> expired;
    for (auto it = link.requests.begin(); it != link.requests.end();) {
        if (now >= it->second.deadline) {
            expired.push_back(std::move(it->second.done));
            it = link.requests.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& done : expired) {
        if (done) {
            done(nullptr);
        }
    }
}

// ---- allocations

Worker::Allocation* Worker::Alive(int allocId) {
    auto it = m_allocations.find(allocId);
    return it == m_allocations.end() || it->second.dead ? nullptr : &it->second;
}

void Worker::SendAllocate(int allocId) {
    Allocation* a = Alive(allocId);
    if (!a) {
        return;
    }
    Request request;
    request.method = stun::Method::kAllocate;
    const uint32_t lifetime = m_options.lifetime;
    request.attributes = [lifetime](stun::MessageBuilder& b) {
        b.AddRequestedTransport(stun::kTransportTcp).AddUint32(stun::attr::kLifetime, lifetime);
    };
    request.done = [this, allocId](const stun::Message* m) { OnAllocated(allocId, m); };
    Send(a->link, std::move(request));
}

void Worker::OnAllocated(int allocId, const stun::Message* answer) {
    Allocation* a = Alive(allocId);
    if (!a) {
        return;
    }
    const auto relayed = answer && answer->GetClass() == stun::Class::kSuccess
                             ? answer->XorAddress(stun::attr::kXorRelayedAddress)
                             : std::nullopt;
    if (!relayed || relayed->ipv6 || relayed->port == 0) {
        if (!answer) {
            qWarning("kestrona: relay: no allocation from %s", a->serverKey.c_str());
        }
        Lose(*a);
        return;
    }
    a->relayed = *relayed;
    // A relay that grants more than asked is still refreshed as if it had
    // granted what was asked.
    const uint32_t lifetime = std::min(
        answer->Uint32(stun::attr::kLifetime).value_or(m_options.lifetime), m_options.lifetime);
    // Refreshed at half its lifetime, so that one lost answer does not let
    // it run out.
    a->refreshAt = Clock::now() + std::chrono::seconds(std::max<uint32_t>(1, lifetime / 2));
    if (a->mapId == 0) {
        a->state = Allocation::kReady;
        for (auto& [id, r] : m_routes) {
            if (r.allocId == allocId && r.local.Valid() && !r.started && !r.dead) {
                StartRoute(id);
            }
        }
        return;
    }
    // Only the relay itself may reach a Map's address: a caller comes
    // through its own allocation on the same relay, whose address is there.
    stun::Address relayIp = *relayed;
    relayIp.port = 0;
    SendPermission(allocId, {relayIp}, [this, allocId, relayIp](bool ok) {
        Allocation* a = Alive(allocId);
        if (!a) {
            return;
        }
        if (!ok) {
            Lose(*a);
            return;
        }
        a->permitted = {relayIp};
        a->permitAt = Clock::now() + m_options.permissionRefresh;
        a->state = Allocation::kReady;
        a->granted = true;
        m_queues.PostResult(
            Result{a->mapId, false, RelayGrant{a->relayed.Text(), a->relayed.port}});
    });
}

void Worker::SendPermission(int allocId, const std::vector<stun::Address>& peers,
                            std::function<void(bool)> done) {
    Allocation* a = Alive(allocId);
    if (!a) {
        return;
    }
    Request request;
    request.method = stun::Method::kCreatePermission;
    request.attributes = [peers](stun::MessageBuilder& b) {
        for (const auto& peer : peers) b.AddXorAddress(stun::attr::kXorPeerAddress, peer);
    };
    request.done = [done = std::move(done)](const stun::Message* m) {
        done(m && m->GetClass() == stun::Class::kSuccess);
    };
    Send(a->link, std::move(request));
}

void Worker::OnIndication(int allocId, const stun::Message& message) {
    Allocation* a = Alive(allocId);
    if (!a || a->state != Allocation::kReady || a->mapId == 0 ||
        message.GetMethod() != stun::Method::kConnectionAttempt) {
        return;
    }
    const auto connectionId = message.Uint32(stun::attr::kConnectionId);
    if (!connectionId) {
        return;
    }
    if (Pairs() >= CRelayClient::kMaxJoins) {
        qWarning("kestrona: relay: too many joined connections, one refused");
        return;
    }
    OpenDataLink(allocId, 0, *connectionId);
}

void Worker::Release(Allocation& a) {
    if (a.released || a.dead) {
        a.released = true;
        return;
    }
    a.released = true;
    if (a.state != Allocation::kReady || !a.link.connected || a.link.broken) {
        a.dead = true;
        return;
    }
    a.state = Allocation::kReleasing;
    // The relay frees the allocation when the connection closes as well;
    // the refresh with lifetime 0 only says so at once.
    Request request;
    request.method = stun::Method::kRefresh;
    request.attributes = [](stun::MessageBuilder& b) { b.AddUint32(stun::attr::kLifetime, 0); };
    Allocation* self = &a;  // map nodes stay put until Sweep erases them
    request.done = [self](const stun::Message*) { self->dead = true; };
    Send(a.link, std::move(request));
}

void Worker::Lose(Allocation& a) {
    if (a.dead) {
        return;
    }
    a.dead = true;
    if (a.released || a.mapId == 0) {
        return;
    }
    if (a.granted) {
        m_queues.PostResult(Result{a.mapId, true, RelayGrant{}});
    } else {
        m_queues.PostResult(Result{a.mapId, false, RelayGrant{}});
    }
}

void Worker::Tick(Clock::time_point now) {
    for (auto& [id, a] : m_allocations) {
        if (a.dead) {
            continue;
        }
        ExpireLink(a.link, now);
        if (a.link.broken) {
            Lose(a);
            continue;
        }
        if (a.state != Allocation::kReady) {
            continue;
        }
        const int allocId = id;
        if (now >= a.refreshAt) {
            a.refreshAt = Clock::time_point::max();
            Request request;
            request.method = stun::Method::kRefresh;
            const uint32_t lifetime = m_options.lifetime;
            request.attributes = [lifetime](stun::MessageBuilder& b) {
                b.AddUint32(stun::attr::kLifetime, lifetime);
            };
            request.done = [this, allocId, lifetime](const stun::Message* m) {
                Allocation* a = Alive(allocId);
                if (!a || a->state != Allocation::kReady) {
                    return;
                }
                if (!m || m->GetClass() != stun::Class::kSuccess) {
                    qWarning("kestrona: relay: refresh of an allocation failed");
                    Lose(*a);
                    return;
                }
                const uint32_t granted =
                    std::min(m->Uint32(stun::attr::kLifetime).value_or(lifetime), lifetime);
                a->refreshAt =
                    Clock::now() + std::chrono::seconds(std::max<uint32_t>(1, granted / 2));
            };
            Send(a.link, std::move(request));
        }
        if (now >= a.permitAt && !a.permitted.empty()) {
            a.permitAt = Clock::time_point::max();
            SendPermission(allocId, a.permitted, [this, allocId](bool ok) {
                Allocation* a = Alive(allocId);
                if (!a || a->state != Allocation::kReady) {
                    return;
                }
                if (!ok) {
                    qWarning("kestrona: relay: a permission could not be renewed");
                    Lose(*a);
                    return;
                }
                a->permitAt = Clock::now() + m_options.permissionRefresh;
            });
        }
    }
    for (auto& [id, d] : m_data) {
        ExpireLink(d.link, now);
        if (d.link.broken) {
            d.dead = true;
        }
    }
    for (auto& [id, l] : m_locals) {
        if (now >= l.deadline) {
            l.dead = true;
        }
    }
    for (auto& [id, r] : m_routes) {
        if (r.listener.Valid() && now >= r.acceptDeadline) {
            r.dead = true;
        }
    }
}

// ---- peer connections

void Worker::StartRoute(int routeId) {
    Route& r = m_routes.at(routeId);
    Allocation* a = Alive(r.allocId);
    if (!a) {
        r.dead = true;
        return;
    }
    r.started = true;
    stun::Address peerIp = r.peer;
    peerIp.port = 0;
    for (const auto& permitted : a->permitted) {
        if (SameIp(permitted, peerIp)) {
            SendConnect(routeId);
            return;
        }
    }
    const int allocId = r.allocId;
    SendPermission(allocId, {peerIp}, [this, allocId, routeId, peerIp](bool ok) {
        auto it = m_routes.find(routeId);
        Allocation* a = Alive(allocId);
        if (it == m_routes.end() || it->second.dead || !a) {
            return;
        }
        if (!ok) {
            it->second.dead = true;
            return;
        }
        if (a->permitted.size() < kMaxPermissions &&
            std::none_of(a->permitted.begin(), a->permitted.end(),
                         [&](const stun::Address& p) { return SameIp(p, peerIp); })) {
            a->permitted.push_back(peerIp);
            if (a->permitAt == Clock::time_point::max()) {
                a->permitAt = Clock::now() + m_options.permissionRefresh;
            }
        }
        SendConnect(routeId);
    });
}

void Worker::SendConnect(int routeId) {
    Route& r = m_routes.at(routeId);
    Allocation* a = Alive(r.allocId);
    if (!a) {
        r.dead = true;
        return;
    }
    Request request;
    request.method = stun::Method::kConnect;
    const stun::Address peer = r.peer;
    request.attributes = [peer](stun::MessageBuilder& b) {
        b.AddXorAddress(stun::attr::kXorPeerAddress, peer);
    };
    const int allocId = r.allocId;
    request.done = [this, allocId, routeId](const stun::Message* m) {
        auto it = m_routes.find(routeId);
        if (it == m_routes.end() || it->second.dead) {
            return;
        }
        const auto connectionId = m && m->GetClass() == stun::Class::kSuccess
                                      ? m->Uint32(stun::attr::kConnectionId)
                                      : std::nullopt;
        if (!connectionId || !Alive(allocId)) {
            // The caller sees its connection closed, as with a refused one.
            it->second.dead = true;
            return;
        }
        OpenDataLink(allocId, routeId, *connectionId);
    };
    Send(a->link, std::move(request));
}

void Worker::OpenDataLink(int allocId, int routeId, uint32_t connectionId) {
    Allocation* a = Alive(allocId);
    if (!a) {
        return;
    }
    Stream stream = RelayStream(StartConnect(a->server), a->tls, a->host);
    if (!stream.Valid()) {
        if (auto it = m_routes.find(routeId); it != m_routes.end()) {
            it->second.dead = true;
        }
        return;
    }
    const int id = ++m_nextId;
    DataLink& d = m_data[id];
    d.allocId = allocId;
    d.routeId = routeId;
    d.connectionId = connectionId;
    if (auto it = m_routes.find(routeId); it != m_routes.end()) {
        d.peer = it->second.peer;
    }
    d.link.stream = std::move(stream);
    d.link.connectDeadline = Clock::now() + m_options.exchangeLimit;
    d.link.in.reserve(kMaxInput);
    // The allocation's nonce usually serves; when not, the relay challenges
    // and the common retry takes its new one.
    d.link.realm = a->link.realm;
    d.link.nonce = a->link.nonce;
    d.link.credentials = a->link.credentials;
}

void Worker::SendBind(int dataId) {
    DataLink& d = m_data.at(dataId);
    Request request;
    request.method = stun::Method::kConnectionBind;
    const uint32_t connectionId = d.connectionId;
    request.attributes = [connectionId](stun::MessageBuilder& b) {
        b.AddUint32(stun::attr::kConnectionId, connectionId);
    };
    DataLink* self = &d;  // map nodes stay put until Sweep erases them
    request.done = [self](const stun::Message* m) {
        if (m && m->GetClass() == stun::Class::kSuccess) {
            // Every byte after this answer is the peer's.
            self->bound = true;
            self->link.raw = true;
        } else {
            self->dead = true;
        }
    };
    Send(d.link, std::move(request));
}

void Worker::Promote(DataLink& d) {
    d.dead = true;
    if (!Alive(d.allocId)) {
        return;
    }
    if (d.routeId != 0) {
        auto it = m_routes.find(d.routeId);
        if (it == m_routes.end() || it->second.dead) {
            return;
        }
        it->second.dead = true;
        AddJoin(d.allocId, d.peer, std::move(d.link.stream), Stream(std::move(it->second.local)),
                d.link.in);
        return;
    }
    const Allocation& a = m_allocations.at(d.allocId);
    Fd local = StartConnect(LoopbackAddress(a.localPort));
    if (!local.Valid()) {
        qWarning("kestrona: relay: cannot connect to local port %d", a.localPort);
        return;
    }
    const int id = ++m_nextId;
    LocalConnect& l = m_locals[id];
    l.allocId = d.allocId;
    l.relayed = std::move(d.link.stream);
    l.early = std::move(d.link.in);
    l.local = std::move(local);
    l.deadline = Clock::now() + m_options.exchangeLimit;
}

Stream Worker::RelayStream(Fd fd, bool tls, const std::string& host) {
    if (!tls || !fd.Valid()) {
        return Stream(std::move(fd));
    }
    if (!m_tlsTried) {
        m_tlsTried = true;
        m_tls = TlsContext::Make(m_extraAuthorities);
    }
    if (!m_tls) {
        qWarning("kestrona: relay: TLS cannot be set up");
        return Stream();
    }
    return Stream::Tls(std::move(fd), *m_tls, host);
}

void Worker::AddJoin(int allocId, const stun::Address& peer, Stream a, Stream b,
                     std::span<const uint8_t> early) {
    const int id = ++m_nextId;
    m_joins.emplace(std::piecewise_construct, std::forward_as_tuple(id),
                    std::forward_as_tuple(
                        Join{allocId, peer, Splice(std::move(a), std::move(b), early), false}));
}

bool Worker::PeerInUse(int allocId, const stun::Address& peer) const {
    auto same = [&](const auto& e) {
        return e.second.allocId == allocId && !e.second.dead && e.second.peer == peer;
    };
    return std::any_of(m_routes.begin(), m_routes.end(), same) ||
           std::any_of(m_data.begin(), m_data.end(), same) ||
           std::any_of(m_joins.begin(), m_joins.end(), same);
}

int Worker::Pairs() const {
    int pairs = 0;
    for (const auto& [id, d] : m_data) pairs += d.dead ? 0 : 1;
    for (const auto& [id, l] : m_locals) pairs += l.dead ? 0 : 1;
    for (const auto& [id, j] : m_joins) pairs += j.dead ? 0 : 1;
    return pairs;
}

void Worker::Sweep() {
    // What hangs on an allocation that is gone or being given back goes
    // with it: the relay drops those connections anyway.
    auto gone = [this](int allocId) {
        auto it = m_allocations.find(allocId);
        return it == m_allocations.end() || it->second.dead ||
               it->second.state == Allocation::kReleasing;
    };
    std::erase_if(m_joins, [&](auto& e) {
        return e.second.dead || e.second.splice.Finished() || gone(e.second.allocId);
    });
    std::erase_if(m_locals, [&](auto& e) { return e.second.dead || gone(e.second.allocId); });
    std::erase_if(m_data, [&](auto& e) { return e.second.dead || gone(e.second.allocId); });
    std::erase_if(m_routes, [&](auto& e) { return e.second.dead || gone(e.second.allocId); });
    std::erase_if(m_allocations, [](auto& e) { return e.second.dead; });
    // This client's own allocations are kept while routes use them.
    for (auto& [id, a] : m_allocations) {
        if (a.mapId != 0 || a.dead || a.state == Allocation::kReleasing) {
            continue;
        }
        const int allocId = id;
        auto uses = [allocId](const auto& e) { return e.second.allocId == allocId; };
        if (std::none_of(m_routes.begin(), m_routes.end(), uses) &&
            std::none_of(m_data.begin(), m_data.end(), uses) &&
            std::none_of(m_joins.begin(), m_joins.end(), uses)) {
            Release(a);
        }
    }
    int active = 0;
    for (const auto& [id, a] : m_allocations) {
        active += a.state == Allocation::kReady && !a.dead ? 1 : 0;
    }
    std::lock_guard lock(m_queues.mutex);
    m_queues.active = active;
}

}  // namespace kestrona::relay
