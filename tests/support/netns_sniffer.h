// A capture of the TCP bytes that cross one interface of a network
// namespace, so that a test can look at what a peer or relay really sent on
// the wire. Linux only; needs root (CAP_NET_RAW, and CAP_SYS_ADMIN to enter
// another namespace).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace kestrona::testing {

// Rebuilds the byte streams of TCP connections from IPv4 packets, each
// direction of a connection being a flow of its own. Every length in a
// packet is checked against what was captured; a packet that does not hold
// together is counted and left out.
class TcpStreamAssembler {
  public:
    static constexpr std::size_t kMaxFlowBytes = 16u << 20;
    static constexpr std::size_t kMaxFlows = 4096;

    struct Flow {
        std::string source;  // dotted IPv4
        int sourcePort = 0;
        std::string destination;
        int destinationPort = 0;
        std::string payload;  // the stream's bytes in order
        // Segments that began past the end of `payload`: something was not
        // captured, so the payload stops at the first gap.
        std::size_t outOfOrder = 0;
        // The stream went on past kMaxFlowBytes; the rest was not kept.
        bool capped = false;
    };

    struct Counters {
        std::size_t malformed = 0;     // headers that do not fit the captured bytes
        std::size_t fragments = 0;     // IPv4 fragments, not reassembled
        std::size_t flowsRefused = 0;  // segments of connections past kMaxFlows
    };

    // One IPv4 packet from its first header byte; `length` is what was
    // captured of it. Anything that is not IPv4 TCP is ignored.
    void Take(const uint8_t* packet, std::size_t length);

    std::vector<Flow> Flows() const;
    Counters Count() const { return m_counters; }

  private:
    using Key = std::tuple<uint32_t, uint16_t, uint32_t, uint16_t>;
    struct State {
        Flow flow;
        uint32_t next = 0;  // sequence number of the next byte expected
    };

    void TakeSegment(const Key& key, uint32_t seq, bool syn, const uint8_t* data,
                     std::size_t length);

    std::map<Key, State> m_flows;
    std::vector<Key> m_order;  // keys in the order their flows began
    Counters m_counters;
};

// Captures on a thread of its own from an AF_PACKET socket (cooked,
// SOCK_DGRAM: frames arrive from the IP header on, whatever the link) made
// inside the namespace and bound to the interface. Packets in both
// directions are kept: on a veth end one direction is outgoing.
class NetnsSniffer {
  public:
    using Flow = TcpStreamAssembler::Flow;

    NetnsSniffer() = default;
    ~NetnsSniffer();
    NetnsSniffer(const NetnsSniffer&) = delete;
    NetnsSniffer& operator=(const NetnsSniffer&) = delete;

    // Empty netns: the caller's own namespace. False with `error` set when
    // it cannot (no such namespace or interface, not root, already running).
    bool Start(const std::string& netns, const std::string& interface, std::string& error);
    // Takes in what the socket still holds, then ends and joins the thread.
    void Stop();
    // A copy, safe while running.
    std::vector<Flow> Flows() const;
    TcpStreamAssembler::Counters Count() const;
    // Packets captured only in part (larger than the buffer), and packets
    // the kernel dropped because the socket's queue was full: either leaves
    // a gap in some flow.
    std::size_t Truncated() const;
    std::size_t KernelDrops() const;

  private:
    void CaptureLoop();
    void Drain(std::vector<uint8_t>& buffer);
    void CollectKernelDrops();

    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    TcpStreamAssembler m_assembler;  // guarded by m_mutex
    std::size_t m_truncated = 0;     // guarded by m_mutex
    std::size_t m_kernelDrops = 0;   // guarded by m_mutex
};

}  // namespace kestrona::testing
