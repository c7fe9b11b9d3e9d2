// The relay client's worker thread: one poll() loop over every connection to
// the relay and every joined pair, with the queues that carry jobs to it and
// results back to the owner's thread.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/relay_client.h"
#include "net/relay_socket.h"
#include "net/stun_message.h"

namespace kestrona::relay {

struct Job {
    enum Kind { kCredentials, kMap, kUnmap, kRoute, kStop } kind = kMap;
    int id = 0;
    RelayServer server;
    int localPort = 0;
    stun::Address peer;
    RelayCredentials credentials;
    Fd listener;  // a route's local listening socket
};

struct Result {
    int id = 0;
    bool lost = false;  // a granted address was lost, else a Map's answer
    RelayGrant grant;
};

// Shared by the owner and the worker, each access under `mutex`; the event
// counters wake the other side.
struct Queues {
    Queues();
    void PushJob(Job job);
    void PostResult(Result result);

    std::mutex mutex;
    std::deque<Job> jobs;
    std::deque<Result> results;
    int active = 0;
    Fd jobWake;
    Fd resultWake;
};

class Worker {
  public:
    Worker(const CRelayClient::Options& options, Queues& queues);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    void Run();

  private:
    using Clock = std::chrono::steady_clock;
    using Answer = std::function<void(const stun::Message*)>;  // null: failed

    struct Request {
        stun::Method method = stun::Method::kRefresh;
        std::function<void(stun::MessageBuilder&)> attributes;
        Answer done;
        Clock::time_point deadline;
        bool sentAuth = false;
        bool retried401 = false;
        bool retried438 = false;
        stun::Key key;
    };
    // A TCP connection to the relay that carries STUN messages.
    struct Link {
        Stream stream;
        bool tcpUp = false;
        bool connected = false;  // and the TLS handshake done, if any
        bool broken = false;
        bool raw = false;  // what follows is a peer's bytes, not STUN
        Clock::time_point connectDeadline;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        std::string realm;
        std::string nonce;
        RelayCredentials credentials;
        std::map<stun::TransactionId, Request> requests;
    };
    struct Allocation {
        enum State { kAllocating, kReady, kReleasing } state = kAllocating;
        int mapId = 0;  // the owner's Map, 0 for this client's own (routes)
        int localPort = 0;
        std::string serverKey;
        sockaddr_in server{};
        std::string host;  // as the relay's certificate must name it
        bool tls = false;
        Link link;
        stun::Address relayed;
        std::vector<stun::Address> permitted;
        Clock::time_point refreshAt = Clock::time_point::max();
        Clock::time_point permitAt = Clock::time_point::max();
        bool granted = false;
        bool released = false;  // given back on purpose: nothing to report
        bool dead = false;
    };
    // A fresh connection to the relay for one peer, until ConnectionBind is
    // answered.
    struct DataLink {
        int allocId = 0;
        int routeId = 0;  // 0: for a Map's local port
        uint32_t connectionId = 0;
        stun::Address peer;  // a route's
        Link link;
        bool bound = false;
        bool dead = false;
    };
    // A bound peer connection waiting for the connect to the local port.
    struct LocalConnect {
        int allocId = 0;
        Stream relayed;
        std::vector<uint8_t> early;
        Fd local;
        Clock::time_point deadline;
        bool dead = false;
    };
    struct Route {
        int allocId = 0;
        Fd listener;
        Fd local;
        Clock::time_point acceptDeadline;
        stun::Address peer;
        bool started = false;
        bool dead = false;
    };
    struct Join {
        int allocId = 0;
        stun::Address peer;  // a route's; empty for a Map's
        Splice splice;
        bool dead = false;
    };
    enum class Slot { kWake, kControl, kData, kLocal, kRoute, kJoinA, kJoinB };

    // Jobs.
    void TakeJobs();
    void DoMap(Job& job);
    void DoRoute(Job& job);
    int NewAllocation(const RelayServer& server, int mapId, int localPort);

    // STUN exchanges: every request goes through Send and its answer through
    // OnAnswer, which retries once for a challenge or a stale nonce.
    void Send(Link& link, Request request);
    void OnAnswer(Link& link, const stun::Message& message);
    short LinkEvents(const Link& link) const;
    // Reads and writes; `indication` gets the relay's indications.
    void LinkReady(Link& link, short revents,
                   const std::function<void(const stun::Message&)>& indication);
    void FailLink(Link& link);
    void ExpireLink(Link& link, Clock::time_point now);

    // Allocations.
    void SendAllocate(int allocId);
    void OnAllocated(int allocId, const stun::Message* answer);
    void SendPermission(int allocId, const std::vector<stun::Address>& peers,
                        std::function<void(bool)> done);
    void OnIndication(int allocId, const stun::Message& message);
    void Release(Allocation& allocation);
    void Lose(Allocation& allocation);
    void Tick(Clock::time_point now);
    Allocation* Alive(int allocId);

    // Peer connections.
    void StartRoute(int routeId);
    void SendConnect(int routeId);
    void OpenDataLink(int allocId, int routeId, uint32_t connectionId);
    void SendBind(int dataId);
    void Promote(DataLink& data);
    void AddJoin(int allocId, const stun::Address& peer, Stream a, Stream b,
                 std::span<const uint8_t> early);
    // A connecting socket to the relay, inside TLS when it asks for that;
    // invalid when TLS cannot be set up.
    Stream RelayStream(Fd fd, bool tls, const std::string& host);
    bool PeerInUse(int allocId, const stun::Address& peer) const;
    int Pairs() const;

    void Sweep();
    int PollTimeout(Clock::time_point now) const;

    const CRelayClient::Options m_options;
    Queues& m_queues;
    const std::string m_extraAuthorities;
    std::unique_ptr<TlsContext> m_tls;  // made for the first TLS relay
    bool m_tlsTried = false;
    RelayCredentials m_credentials;
    bool m_stopping = false;
    Clock::time_point m_stopDeadline;
    int m_nextId = 0;
    std::map<int, Allocation> m_allocations;
    std::map<int, DataLink> m_data;
    std::map<int, LocalConnect> m_locals;
    std::map<int, Route> m_routes;
    std::map<int, Join> m_joins;
};

}  // namespace kestrona::relay
