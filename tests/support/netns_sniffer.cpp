#include "support/netns_sniffer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kestrona::testing {
namespace {

constexpr std::size_t kIpHeaderMin = 20;
constexpr std::size_t kTcpHeaderMin = 20;
constexpr uint8_t kTcpProtocol = 6;
constexpr uint8_t kTcpSyn = 0x02;
// An IPv4 packet is at most 65535 bytes; the rest is room for a link layer
// should a capture ever hand one over.
constexpr std::size_t kCaptureBuffer = 65536 + 256;
constexpr int kSocketBuffer = 4 << 20;
constexpr int kPollMs = 100;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string Dotted(uint32_t address) {
    in_addr addr{};
    addr.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A name under /run/netns, never a path that leads elsewhere.
bool PlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The capture socket, made in the namespace `netns` by a thread that enters
// it and then ends; the socket stays in that namespace. -1 with `error`.
int OpenCaptureSocket(const std::string& netns, const std::string& interface, std::string& error) {
    int fd = -1;
    std::thread opener([&] {
        if (!netns.empty()) {
            const std::string path = "/run/netns/" + netns;
            const int nsFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (nsFd < 0) {
                error = Errno("cannot open " + path);
                return;
            }
            const int entered = ::setns(nsFd, CLONE_NEWNET);
            ::close(nsFd);
            if (entered != 0) {
                error = Errno("cannot enter namespace " + netns);
                return;
            }
        }
        const unsigned index = ::if_nametoindex(interface.c_str());
        if (index == 0) {
            error = Errno("no interface " + interface);
            return;
        }
        // Made with no protocol so that nothing is queued before the bind
        // narrows the socket to one interface.
        const int sock = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (sock < 0) {
            error = Errno("cannot open a packet socket");
            return;
        }
        // FORCE goes past net.core.rmem_max, which is small by default.
        if (::setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &kSocketBuffer, sizeof kSocketBuffer) !=
            0) {
            ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
        }
        // ETH_P_ALL rather than ETH_P_IP: only taps for all protocols are
        // shown the packets the interface sends.
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_ALL);
        link.sll_ifindex = static_cast<int>(index);
        if (::bind(sock, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
            error = Errno("cannot bind to " + interface);
            ::close(sock);
            return;
        }
        fd = sock;
    });
    opener.join();
    return fd;
}

}  // namespace

void TcpStreamAssembler::Take(const uint8_t* packet, std::size_t length) {
    if (length < 1 || (packet[0] >> 4) != 4) {
        return;
    }
    const std::size_t ipHeader = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
    if (length < kIpHeaderMin || ipHeader < kIpHeaderMin || ipHeader > length) {
        ++m_counters.malformed;
        return;
    }
    // The captured bytes may run on past the packet (link padding) but
    // must not stop short of it.
    const std::size_t total = Be16(packet + 2);
    if (total < ipHeader || total > length) {
        ++m_counters.malformed;
        return;
    }
    if (packet[9] != kTcpProtocol) {
        return;
    }
    // More-fragments set or a non-zero offset.
    if ((Be16(packet + 6) & 0x3fffu) != 0) {
        ++m_counters.fragments;
        return;
    }
    const uint8_t* tcp = packet + ipHeader;
    const std::size_t tcpLength = total - ipHeader;
    if (tcpLength < kTcpHeaderMin) {
        ++m_counters.malformed;
        return;
    }
    const std::size_t tcpHeader = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (tcpHeader < kTcpHeaderMin || tcpHeader > tcpLength) {
        ++m_counters.malformed;
        return;
    }
    const Key key{Be32(packet + 12), Be16(tcp), Be32(packet + 16), Be16(tcp + 2)};
    TakeSegment(key, Be32(tcp + 4), (tcp[13] & kTcpSyn) != 0, tcp + tcpHeader,
                tcpLength - tcpHeader);
}

void TcpStreamAssembler::TakeSegment(const Key& key, uint32_t seq, bool syn, const uint8_t* data,
                                     std::size_t length) {
    // A SYN takes one sequence number; any data it carries comes after.
    const uint32_t start = syn ? seq + 1 : seq;
    auto it = m_flows.find(key);
    if (it == m_flows.end()) {
        if (m_flows.size() >= kMaxFlows) {
            ++m_counters.flowsRefused;
            return;
        }
        State state;
        state.flow.source = Dotted(std::get<0>(key));
        state.flow.sourcePort = std::get<1>(key);
        state.flow.destination = Dotted(std::get<2>(key));
        state.flow.destinationPort = std::get<3>(key);
        state.next = start;
        it = m_flows.emplace(key, std::move(state)).first;
        m_order.push_back(key);
    }
    State& state = it->second;
    if (syn && state.flow.payload.empty()) {
        // The flow may have begun at a segment seen before its SYN.
        state.next = start;
    }
    if (length == 0) {
        return;
    }
    // Signed distance so that the comparison holds across the wrap at 2^32.
    const auto ahead = static_cast<int32_t>(start - state.next);
    if (ahead > 0) {
        ++state.flow.outOfOrder;
        return;
    }
    const std::size_t overlap = static_cast<std::size_t>(-static_cast<int64_t>(ahead));
    if (overlap >= length) {
        return;
    }
    const std::size_t fresh = length - overlap;
    state.next += static_cast<uint32_t>(fresh);
    const std::size_t room = kMaxFlowBytes - state.flow.payload.size();
    if (fresh > room) {
        state.flow.capped = true;
    }
    state.flow.payload.append(reinterpret_cast<const char*>(data + overlap),
                              fresh < room ? fresh : room);
}

std::vector<TcpStreamAssembler::Flow> TcpStreamAssembler::Flows() const {
    std::vector<Flow> flows;
    flows.reserve(m_order.size());
    for (const Key& key : m_order) {
        flows.push_back(m_flows.at(key).flow);
    }
    return flows;
}

NetnsSniffer::~NetnsSniffer() {
    Stop();
}

bool NetnsSniffer::Start(const std::string& netns, const std::string& interface,
                         std::string& error) {
    if (m_thread.joinable()) {
        error = "already capturing";
        return false;
    }
    if (!netns.empty() && !PlainName(netns)) {
        error = "not a namespace name: " + netns;
        return false;
    }
    if (interface.empty() || interface.size() >= IF_NAMESIZE) {
        error = "not an interface name: " + interface;
        return false;
    }
    error.clear();
    m_fd = OpenCaptureSocket(netns, interface, error);
    if (m_fd < 0) {
        return false;
    }
    m_stop = false;
    m_thread = std::thread(&NetnsSniffer::CaptureLoop, this);
    return true;
}

void NetnsSniffer::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        m_thread.join();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::vector<NetnsSniffer::Flow> NetnsSniffer::Flows() const {
    std::lock_guard lock(m_mutex);
    return m_assembler.Flows();
}

TcpStreamAssembler::Counters NetnsSniffer::Count() const {
    std::lock_guard lock(m_mutex);
    return m_assembler.Count();
}

std::size_t NetnsSniffer::Truncated() const {
    std::lock_guard lock(m_mutex);
    return m_truncated;
}

std::size_t NetnsSniffer::KernelDrops() const {
    std::lock_guard lock(m_mutex);
    return m_kernelDrops;
}

void NetnsSniffer::CaptureLoop() {
    std::vector<uint8_t> buffer(kCaptureBuffer);
    while (!m_stop) {
        pollfd ready{m_fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, kPollMs);
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            Drain(buffer);
        }
    }
    // What arrived before the stop is still queued: a test stops once its
    // traffic is through and expects all of it.
    Drain(buffer);
    CollectKernelDrops();
}

void NetnsSniffer::Drain(std::vector<uint8_t>& buffer) {
    for (;;) {
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC: the result is the packet's whole length, so a packet
        // larger than the buffer shows as such.
        const ssize_t got = ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            return;  // EAGAIN once the queue is empty; nothing else is recoverable here
        }
        std::lock_guard lock(m_mutex);
        if (static_cast<std::size_t>(got) > buffer.size()) {
            ++m_truncated;
            continue;
        }
        // The kernel gives the address only as far as the link address it has.
        if (fromLength < offsetof(sockaddr_ll, sll_addr) || from.sll_protocol != htons(ETH_P_IP)) {
            continue;
        }
        m_assembler.Take(buffer.data(), static_cast<std::size_t>(got));
    }
}

void NetnsSniffer::CollectKernelDrops() {
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(m_fd, SOL_PACKET, PACKET_STATISTICS, &stats, &length) == 0) {
        std::lock_guard lock(m_mutex);
        m_kernelDrops += stats.tp_drops;
    }
}

}  // namespace kestrona::testing
