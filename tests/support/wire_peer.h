// A scripted peer for end-to-end tests: plain blocking TCP on loopback that
// writes and reads a phone's command records byte by byte, so a test can send
// what no well-behaved phone would. Every wait has a deadline. Plain C++ and
// POSIX, no Qt.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrona::test {

class WireConnection {
  public:
    explicit WireConnection(int fd) : m_fd(fd) {}
    ~WireConnection();
    WireConnection(const WireConnection&) = delete;
    WireConnection& operator=(const WireConnection&) = delete;

    // A connection to 127.0.0.1:port, or null when none could be made.
    static std::unique_ptr<WireConnection> Connect(int port, int timeoutMs = 5000);

    bool Send(const std::string& bytes);
    // Reads until `word` shows up among the bytes received since the last
    // Take, the far end closes or timeoutMs pass; true when it showed up.
    bool ReceiveUntil(const std::string& word, int timeoutMs);
    // The same for several words: the index of the first one found, or -1.
    int ReceiveUntilAny(const std::vector<std::string>& words, int timeoutMs);
    // Waits for the far end to close (or reset) the connection, reading and
    // keeping whatever arrives before that.
    bool WaitClosed(int timeoutMs);
    // Everything received so far, handed out once.
    std::string Take();
    bool Closed() const { return m_closed; }
    void Close();

  private:
    // One read of what is there within timeoutMs; false on time-out or close.
    bool ReadSome(int timeoutMs);

    int m_fd = -1;
    bool m_closed = false;
    std::string m_received;
};

// A listening socket on 127.0.0.1 at a chosen port (SO_REUSEADDR), for a
// scripted callee.
class WireListener {
  public:
    WireListener() = default;
    ~WireListener();
    WireListener(const WireListener&) = delete;
    WireListener& operator=(const WireListener&) = delete;
    bool Listen(int port);
    std::unique_ptr<WireConnection> Accept(int timeoutMs);

  private:
    int m_fd = -1;
};

// Command records as a peer writes them: 32-bit little-endian integers at
// fixed offsets, all other bytes zero.
std::string RequestCallRecord(int32_t rate, int32_t caller, int32_t features, int32_t delayMs);
std::string ParamenterRecord(int32_t rate, int32_t portIn, int32_t portOut);
// Reads the little-endian 32-bit integer at `offset`; 0 when out of range.
int32_t RecordInt(const std::string& record, std::size_t offset);

}  // namespace kestrona::test
