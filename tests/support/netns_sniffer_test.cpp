#include "support/netns_sniffer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace kestrona::testing {
namespace {

// An IPv4 TCP packet from 10.0.0.1:1000 to 10.0.0.2:2000.
std::vector<uint8_t> Segment(uint32_t seq, const std::string& data, bool syn = false) {
    const std::size_t total = 40 + data.size();
    std::vector<uint8_t> p(total, 0);
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(total >> 8);
    p[3] = static_cast<uint8_t>(total);
    p[8] = 64;
    p[9] = 6;
    const uint8_t addresses[] = {10, 0, 0, 1, 10, 0, 0, 2};
    std::copy(std::begin(addresses), std::end(addresses), p.begin() + 12);
    p[20] = 1000 >> 8;
    p[21] = 1000 & 0xff;
    p[22] = 2000 >> 8;
    p[23] = 2000 & 0xff;
    for (int i = 0; i < 4; ++i) {
        p[24 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    }
    p[32] = 5 << 4;
    p[33] = syn ? 0x02 : 0x10;
    std::copy(data.begin(), data.end(), p.begin() + 40);
    return p;
}

void Take(TcpStreamAssembler& assembler, const std::vector<uint8_t>& packet) {
    assembler.Take(packet.data(), packet.size());
}

TEST(TcpStreamAssembler, RebuildsTheStreamAcrossRetransmissionsGapsAndTheSequenceWrap) {
    TcpStreamAssembler assembler;
    // The SYN sits just below the wrap, so the data crosses 2^32.
    const uint32_t isn = 0xfffffffdu;
    Take(assembler, Segment(isn, "", true));
    Take(assembler, Segment(isn + 1, "abcd"));
    Take(assembler, Segment(isn + 1, "abcd"));    // a retransmission
    Take(assembler, Segment(isn + 3, "cdefgh"));  // repeats part, adds the rest
    Take(assembler, Segment(isn + 20, "late"));   // past a gap
    Take(assembler, Segment(isn + 9, "ij"));

    const auto flows = assembler.Flows();
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0].source, "10.0.0.1");
    EXPECT_EQ(flows[0].sourcePort, 1000);
    EXPECT_EQ(flows[0].destination, "10.0.0.2");
    EXPECT_EQ(flows[0].destinationPort, 2000);
    EXPECT_EQ(flows[0].payload, "abcdefghij");
    EXPECT_EQ(flows[0].outOfOrder, 1u);
    EXPECT_FALSE(flows[0].capped);
}

TEST(TcpStreamAssembler, CountsPacketsWhoseHeadersDoNotFitWhatWasCaptured) {
    TcpStreamAssembler assembler;
    const auto good = Segment(100, "payload");

    auto ipHeaderTooLong = good;
    ipHeaderTooLong[0] = 0x4f;  // 60 bytes of header in a 47-byte packet
    ipHeaderTooLong.resize(47);
    auto totalPastCapture = good;
    totalPastCapture.resize(good.size() - 1);
    auto tcpHeaderTooLong = good;
    tcpHeaderTooLong[32] = 0xf0;
    auto fragment = good;
    fragment[6] = 0x20;  // more fragments
    const std::vector<uint8_t> tiny = {0x45, 0, 0};

    for (const auto& bad : {ipHeaderTooLong, totalPastCapture, tcpHeaderTooLong, fragment, tiny}) {
        Take(assembler, bad);
    }
    EXPECT_TRUE(assembler.Flows().empty());
    EXPECT_EQ(assembler.Count().malformed, 4u);
    EXPECT_EQ(assembler.Count().fragments, 1u);

    // Link padding after the packet is not payload.
    auto padded = good;
    padded.resize(good.size() + 6, 0);
    Take(assembler, padded);
    ASSERT_EQ(assembler.Flows().size(), 1u);
    EXPECT_EQ(assembler.Flows()[0].payload, "payload");
}

bool RunBounded(const std::string& command) {
    return std::system(("timeout 10 " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// A TCP socket made in the namespace `netns`; it stays there whichever
// thread uses it later.
int TcpSocketIn(const std::string& netns) {
    int fd = -1;
    std::thread maker([&] {
        const int nsFd = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0) {
            return;
        }
        if (::setns(nsFd, CLONE_NEWNET) == 0) {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        }
        ::close(nsFd);
    });
    maker.join();
    if (fd >= 0) {
        // Bounds every send, receive and connect of the test.
        const timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    return fd;
}

// Closes the socket however the test ends.
struct Socket {
    explicit Socket(int fd) : fd(fd) {}
    ~Socket() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

sockaddr_in Address(const char* ip, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

// Reads both sockets until each has ended or the deadline passes.
void ReadBoth(int a, std::string& fromA, int b, std::string& fromB) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    bool openA = true;
    bool openB = true;
    char chunk[65536];
    while ((openA || openB) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{openA ? a : -1, POLLIN, 0}, {openB ? b : -1, POLLIN, 0}};
        if (::poll(fds, 2, 200) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t got = ::recv(fds[i].fd, chunk, sizeof chunk, 0);
            if (got <= 0) {
                (i == 0 ? openA : openB) = false;
            } else {
                (i == 0 ? fromA : fromB).append(chunk, static_cast<std::size_t>(got));
            }
        }
    }
}

// Two namespaces joined by a veth pair: 10.201.0.1 on `kVethA` in the
// first, 10.201.0.2 on `kVethB` in the second.
class NetnsSnifferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
        const std::string id = std::to_string(::getpid());
        m_nsA = "ksnf" + id + "a";
        m_nsB = "ksnf" + id + "b";
        m_vethA = "ksa" + id;
        m_vethB = "ksb" + id;
        if (!RunBounded("ip netns add " + m_nsA)) {
            m_nsA.clear();
            GTEST_SKIP() << "network namespaces cannot be made here";
        }
        ASSERT_TRUE(RunBounded("ip netns add " + m_nsB));
        ASSERT_TRUE(RunBounded("ip -n " + m_nsA + " link add " + m_vethA + " type veth peer name " +
                               m_vethB + " netns " + m_nsB));
        ASSERT_TRUE(RunBounded("ip -n " + m_nsA + " addr add 10.201.0.1/24 dev " + m_vethA));
        ASSERT_TRUE(RunBounded("ip -n " + m_nsB + " addr add 10.201.0.2/24 dev " + m_vethB));
        ASSERT_TRUE(RunBounded("ip -n " + m_nsA + " link set " + m_vethA + " up"));
        ASSERT_TRUE(RunBounded("ip -n " + m_nsB + " link set " + m_vethB + " up"));
    }

    void TearDown() override {
        // Deleting a namespace takes its end of the veth pair, and so both.
        for (const std::string& ns : {m_nsA, m_nsB}) {
            if (!ns.empty()) {
                RunBounded("ip netns del " + ns);
            }
        }
    }

    std::string m_nsA, m_nsB, m_vethA, m_vethB;
};

TEST_F(NetnsSnifferTest, CapturesBothDirectionsOfAConnectionByteForByte) {
    NetnsSniffer sniffer;
    std::string error;
    EXPECT_FALSE(sniffer.Start(m_nsA + "-missing", m_vethA, error));
    EXPECT_NE(error, "");
    EXPECT_FALSE(sniffer.Start(m_nsA, m_vethB, error));  // that end is in the other one
    EXPECT_NE(error, "");
    ASSERT_TRUE(sniffer.Start(m_nsA, m_vethA, error)) << error;

    const Socket listenerSocket(TcpSocketIn(m_nsB));
    const Socket clientSocket(TcpSocketIn(m_nsA));
    const int listener = listenerSocket.fd;
    const int client = clientSocket.fd;
    ASSERT_GE(listener, 0);
    ASSERT_GE(client, 0);
    sockaddr_in serverAddress = Address("10.201.0.2", 0);
    socklen_t length = sizeof serverAddress;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&serverAddress), length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&serverAddress), &length), 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&serverAddress), length), 0);
    const Socket serverSocket(::accept(listener, nullptr, nullptr));
    const int server = serverSocket.fd;
    ASSERT_GE(server, 0);
    sockaddr_in clientAddress{};
    length = sizeof clientAddress;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length);

    const std::string up = RandomBytes(300 * 1024, 1);
    const std::string down = RandomBytes(100 * 1024, 2);
    std::thread upSender([&] {
        test::SendAll(client, up);
        ::shutdown(client, SHUT_WR);
    });
    std::thread downSender([&] {
        test::SendAll(server, down);
        ::shutdown(server, SHUT_WR);
    });
    std::string atServer, atClient;
    ReadBoth(server, atServer, client, atClient);
    upSender.join();
    downSender.join();
    sniffer.Stop();
    ASSERT_EQ(atServer.size(), up.size());
    ASSERT_EQ(atClient.size(), down.size());

    const int clientPort = ntohs(clientAddress.sin_port);
    const int serverPort = ntohs(serverAddress.sin_port);
    const NetnsSniffer::Flow* upFlow = nullptr;
    const NetnsSniffer::Flow* downFlow = nullptr;
    const auto flows = sniffer.Flows();
    for (const auto& flow : flows) {
        if (flow.source == "10.201.0.1" && flow.sourcePort == clientPort &&
            flow.destination == "10.201.0.2" && flow.destinationPort == serverPort) {
            upFlow = &flow;
        } else if (flow.source == "10.201.0.2" && flow.sourcePort == serverPort &&
                   flow.destination == "10.201.0.1" && flow.destinationPort == clientPort) {
            downFlow = &flow;
        }
    }
    ASSERT_NE(upFlow, nullptr);
    ASSERT_NE(downFlow, nullptr);
    EXPECT_EQ(sniffer.KernelDrops(), 0u);
    EXPECT_EQ(sniffer.Truncated(), 0u);
    EXPECT_EQ(upFlow->payload.size(), up.size());
    EXPECT_TRUE(upFlow->payload == up) << "outgoing stream differs";
    EXPECT_EQ(downFlow->payload.size(), down.size());
    EXPECT_TRUE(downFlow->payload == down) << "incoming stream differs";
}

}  // namespace
}  // namespace kestrona::testing
