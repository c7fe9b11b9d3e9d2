// A relay put between a phone and its HTTP proxy: every connection the phone
// opens to the proxy is carried on to the proxy, and the bytes of every
// tunnel it asks for (after the CONNECT request and the proxy's answer) are
// kept per tunnel. It can also spoil a call on purpose: flip one byte of
// the audio a phone sends, or stand in the middle of the key exchange of an
// encrypted call with keys of its own. A thread per connection, all joined
// by Stop or the destructor. Plain C++ and POSIX, no Qt.
#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrona::e2e {

class TunnelTap {
  public:
    struct Tunnel {
        int targetPort = 0;
        std::string toTarget;    // what the phone sent through the tunnel
        std::string fromTarget;  // what came back through it
    };

    TunnelTap() = default;
    ~TunnelTap();
    TunnelTap(const TunnelTap&) = delete;
    TunnelTap& operator=(const TunnelTap&) = delete;

    bool Start(int proxyPort);
    void Stop();
    int Port() const { return m_port; }

    // Every tunnel so far, in the order they were opened.
    std::vector<Tunnel> Tunnels() const;

    // Tunnels to these ports carry commands (the directory server); so does
    // a tunnel whose first bytes are a call request. Every other tunnel is
    // an audio stream.
    void SetCommandPorts(std::set<int> ports);
    // Flips the byte at `offset` of what the phone sends on the next audio
    // stream that gets that far (once).
    void FlipAudioByte(std::size_t offset);
    int Flipped() const { return m_flipped.load(); }
    // From now on, on a tunnel that opens with a call request: answers the
    // caller's offer of encryption itself and makes an exchange of its own
    // with the callee, each under this relay's own identity; nothing is
    // carried between them afterwards.
    void InterceptKeyExchange(bool on);
    // Key exchanges finished towards the caller and towards the callee.
    int Intercepted() const { return m_intercepted.load(); }

  private:
    struct Connection;
    void AcceptLoop();
    void Serve(int client, std::size_t tunnelIndex);

    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    int m_port = 0;
    int m_proxyPort = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    mutable std::mutex m_mutex;
    std::list<std::thread> m_threads;
    std::vector<Tunnel> m_tunnels;
    std::set<int> m_commandPorts;
    std::size_t m_flipOffset = 0;
    bool m_flipArmed = false;
    bool m_intercept = false;
    std::atomic<int> m_flipped{0};
    std::atomic<int> m_intercepted{0};
};

// Cuts `bytes` from `from` on into frame records (a 2-byte little-endian
// length, then the frame), puts each record's length in `lengths`, and decodes
// each frame as Opus at 16 kHz, whatever it holds, into 8000 Hz samples. A
// record cut off at the end is left out.
std::vector<int16_t> DecodeFramesAsOpus(const std::string& bytes, std::size_t from,
                                        std::vector<std::size_t>& lengths);

}  // namespace kestrona::e2e
