// A TCP relay on loopback that holds back a server's answer: every
// connection to Port() is carried to a target port, and in each connection
// the first chunk from the target that begins with a chosen prefix reaches
// the client only after a delay (later chunks wait behind it, so nothing is
// reordered). Put in front of a SOCKS5 proxy with the prefix of a success
// reply, it makes the proxy answer each BIND request late, while its notice
// of a peer's connection and the data that follows are not held.
// One thread, joined by Stop or the destructor. Plain C++ and POSIX, no Qt.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace kestrona::test {

class DelayRelay {
  public:
    DelayRelay() = default;
    ~DelayRelay();
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;

    bool Start(int targetPort, std::string delayedPrefix, int delayMs);
    void Stop();
    int Port() const { return m_port; }
    // Chunks held back so far.
    int Delayed() const { return m_delayed.load(); }

  private:
    void Run();

    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    int m_port = 0;
    int m_targetPort = 0;
    int m_delayMs = 0;
    std::string m_prefix;
    std::atomic<int> m_delayed{0};
    std::thread m_thread;
};

}  // namespace kestrona::test
