#include "e2e/call_tap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "media/frame_codec.h"
#include "media/frame_records.h"
#include "net/call_handshake.h"
#include "platform/wav_file.h"
#include "support/loopback.h"

namespace kestrona::e2e {
namespace {

using test::SendAll;

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    return test::SendAll(fd, bytes.data(), bytes.size());
}

// The port of "CONNECT host:port HTTP/1.1".
int ConnectTarget(const std::string& head) {
    const auto space = head.find(' ', 8);
    const auto colon = head.rfind(':', space);
    if (head.rfind("CONNECT ", 0) != 0 || space == std::string::npos ||
        colon == std::string::npos) {
        return 0;
    }
    return std::atoi(head.substr(colon + 1, space - colon - 1).c_str());
}

// Splits the bytes of one read into the rest of a head that ends with an
// empty line and what follows it; true once the head is complete.
bool TakeHead(std::string& head, std::string& data) {
    head += data;
    const auto end = head.find("\r\n\r\n");
    if (end == std::string::npos) {
        data.clear();
        return false;
    }
    const std::size_t headLength = end + 4;
    data = head.substr(headLength);
    head.resize(headLength);
    return true;
}

}  // namespace

// The relay's part in one key exchange: towards the caller it plays the
// callee, towards the callee the caller, each with its own records.
struct TunnelTap::Connection {
    IdentityKey identity = IdentityKey::Generate();
    std::unique_ptr<CallHandshake> toCaller;
    std::unique_ptr<CallHandshake> toCallee;
    std::string fromCaller;
    std::string fromCallee;
};

TunnelTap::~TunnelTap() {
    Stop();
}

bool TunnelTap::Start(int proxyPort) {
    m_proxyPort = proxyPort;
    m_port = 0;
    m_listenFd = test::ListenLoopback(m_port, 16);
    if (m_listenFd < 0 || ::pipe(m_wakeFds) != 0) {
        return false;
    }
    m_acceptThread = std::thread(&TunnelTap::AcceptLoop, this);
    return true;
}

void TunnelTap::Stop() {
    if (!m_acceptThread.joinable()) {
        return;
    }
    m_stopping = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFds[1], &wake, 1);
    m_acceptThread.join();
    std::list<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_threads);
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int* fd : {&m_listenFd, &m_wakeFds[0], &m_wakeFds[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
        *fd = -1;
    }
}

std::vector<TunnelTap::Tunnel> TunnelTap::Tunnels() const {
    std::lock_guard lock(m_mutex);
    return m_tunnels;
}

void TunnelTap::SetCommandPorts(std::set<int> ports) {
    std::lock_guard lock(m_mutex);
    m_commandPorts = std::move(ports);
}

void TunnelTap::FlipAudioByte(std::size_t offset) {
    std::lock_guard lock(m_mutex);
    m_flipOffset = offset;
    m_flipArmed = true;
}

void TunnelTap::InterceptKeyExchange(bool on) {
    std::lock_guard lock(m_mutex);
    m_intercept = on;
}

void TunnelTap::AcceptLoop() {
    while (!m_stopping) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN) != 0) {
            continue;
        }
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        std::lock_guard lock(m_mutex);
        m_tunnels.emplace_back();
        m_threads.emplace_back(&TunnelTap::Serve, this, client, m_tunnels.size() - 1);
    }
}

void TunnelTap::Serve(int client, std::size_t index) {
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = test::LoopbackAddress(m_proxyPort);
    if (upstream < 0 || ::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(client);
        if (upstream >= 0) {
            ::close(upstream);
        }
        return;
    }
    std::string clientHead, upstreamHead;
    bool clientHeadDone = false, upstreamHeadDone = false;
    int target = 0;
    bool audio = false;
    std::size_t sent = 0;  // payload the phone sent so far
    std::unique_ptr<Connection> middle;

    auto fromPhone = [&](std::string data) -> bool {
        {
            std::lock_guard lock(m_mutex);
            if (m_tunnels[index].toTarget.empty() && data.rfind("REQUESTCALL", 0) == 0) {
                audio = false;
                if (m_intercept) {
                    middle = std::make_unique<Connection>();
                }
            }
            m_tunnels[index].toTarget += data;
        }
        if (!middle) {
            std::lock_guard lock(m_mutex);
            if (audio && m_flipArmed && m_flipOffset >= sent && m_flipOffset < sent + data.size()) {
                data[m_flipOffset - sent] = static_cast<char>(~data[m_flipOffset - sent]);
                m_flipArmed = false;
                ++m_flipped;
            }
            sent += data.size();
            return SendAll(upstream, data);
        }
        Connection& m = *middle;
        m.fromCaller += data;
        if (!m.toCaller) {
            if (m.fromCaller.size() < 48) {
                return true;
            }
            const auto* request = reinterpret_cast<const uint8_t*>(m.fromCaller.data());
            m.toCaller =
                std::make_unique<CallHandshake>(CallHandshake::Role::kCallee, m.identity, request);
            m.toCallee =
                std::make_unique<CallHandshake>(CallHandshake::Role::kCaller, m.identity, request);
            if (!SendAll(client, m.toCaller->OutgoingRecord()) ||
                !SendAll(upstream, m.fromCaller.data(), 48) ||
                !SendAll(upstream, m.toCallee->OutgoingRecord())) {
                return false;
            }
            m.fromCaller.erase(0, 48);
        }
        while (m.toCaller->State() == CallHandshake::Step::kNeedMore &&
               m.fromCaller.size() >= CallHandshake::kRecordSize) {
            const auto step = m.toCaller->OnRecord(
                reinterpret_cast<const uint8_t*>(m.fromCaller.data()), CallHandshake::kRecordSize);
            m.fromCaller.erase(0, CallHandshake::kRecordSize);
            if (!SendAll(client, m.toCaller->OutgoingRecord())) {
                return false;
            }
            if (step == CallHandshake::Step::kDone) {
                ++m_intercepted;
            }
        }
        return true;
    };
    auto fromTarget = [&](std::string data) -> bool {
        {
            std::lock_guard lock(m_mutex);
            m_tunnels[index].fromTarget += data;
        }
        if (!middle || !middle->toCallee) {
            return SendAll(client, data);
        }
        Connection& m = *middle;
        m.fromCallee += data;
        while (m.toCallee->State() == CallHandshake::Step::kNeedMore &&
               m.fromCallee.size() >= CallHandshake::kRecordSize) {
            const auto step = m.toCallee->OnRecord(
                reinterpret_cast<const uint8_t*>(m.fromCallee.data()), CallHandshake::kRecordSize);
            m.fromCallee.erase(0, CallHandshake::kRecordSize);
            if (!SendAll(upstream, m.toCallee->OutgoingRecord())) {
                return false;
            }
            if (step == CallHandshake::Step::kDone) {
                ++m_intercepted;
            }
        }
        return true;
    };

    char buffer[8192];
    bool open = true;
    while (open && !m_stopping) {
        pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) <= 0) {
            continue;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            break;
        }
        for (int side = 0; side < 2 && open; ++side) {
            if ((fds[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = ::recv(fds[side].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            std::string data(buffer, static_cast<std::size_t>(n));
            if (side == 0) {
                if (!clientHeadDone) {
                    const std::string whole = data;
                    clientHeadDone = TakeHead(clientHead, data);
                    const std::size_t headPart = whole.size() - data.size();
                    if (!SendAll(upstream, whole.data(), headPart)) {
                        open = false;
                    }
                    if (clientHeadDone) {
                        target = ConnectTarget(clientHead);
                        std::lock_guard lock(m_mutex);
                        m_tunnels[index].targetPort = target;
                        audio = m_commandPorts.count(target) == 0;
                    }
                }
                if (open && !data.empty()) {
                    open = fromPhone(std::move(data));
                }
            } else {
                if (!upstreamHeadDone) {
                    const std::string whole = data;
                    upstreamHeadDone = TakeHead(upstreamHead, data);
                    const std::size_t headPart = whole.size() - data.size();
                    if (!SendAll(client, whole.data(), headPart)) {
                        open = false;
                    }
                }
                if (open && !data.empty()) {
                    open = fromTarget(std::move(data));
                }
            }
        }
    }
    ::close(client);
    ::close(upstream);
}

std::vector<int16_t> DecodeFramesAsOpus(const std::string& bytes, std::size_t from,
                                        std::vector<std::size_t>& lengths) {
    auto codec = MakeOpusFrameCodec();
    FrameRecordReader reader(kFrameRecordLimit);
    std::vector<int16_t> wide, frame(std::size_t(codec->FrameSamples()));
    std::span<const uint8_t> in(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    in = in.subspan(std::min(from, in.size()));
    while (reader.Read(in) == FrameRecordReader::Result::kFrame) {
        lengths.push_back(reader.Frame().size());
        codec->Decode(reader.Frame(), frame);
        wide.insert(wide.end(), frame.begin(), frame.end());
    }
    std::vector<int16_t> narrow;
    ResampleLinear(wide.data(), wide.size(), uint32_t(codec->SampleRate()), 8000, narrow);
    return narrow;
}

}  // namespace kestrona::e2e
