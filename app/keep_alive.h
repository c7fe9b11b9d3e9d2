// The keep-alive worker: while a session exists it tells the directory server
// every period that this client is still there ("USERLIVE"). When the server
// answers that the session has already timed out, it starts a fresh,
// hidden instance of the program (argument "DELAY") and ends this process at
// once, without logging out.
//
// The worker makes its own blocking exchanges on its own thread and never
// touches the user interface.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/server_exchange.h"

namespace kestrona {

class CancelToken;

// The 12-byte keep-alive request: the 8 letters "USERLIVE", then the number.
std::array<uint8_t, 12> MakeUserLive(int32_t number);
// True when a reply begins with the 14 bytes "ALREADYTIMEOUT".
bool IsAlreadyTimeout(const char* data, std::size_t size);

// Where one exchange goes; read afresh before every exchange.
using KeepAliveTarget = ServerTarget;

enum class LiveResult {
    kNoSession,  // not connected, no greeting, or the connection ended
    kAlive,      // the server answered something else
    kAlreadyTimeout,
    kStopped,  // the worker was asked to stop
};

class CKeepAlive {
  public:
    using TargetFn = std::function<KeepAliveTarget()>;
    using TimeoutFn = std::function<void()>;

    // number and period are read before every round; onTimeout runs on the
    // worker thread and is expected not to return (the relaunch).
    CKeepAlive(TargetFn target, std::function<int32_t()> number, std::function<int()> periodSec,
               TimeoutFn onTimeout);
    ~CKeepAlive();
    CKeepAlive(const CKeepAlive&) = delete;
    CKeepAlive& operator=(const CKeepAlive&) = delete;

    void Start();
    void Stop();
    int Rounds() const { return m_rounds.load(); }

    // One exchange, blocking (the reply wait ends only with data, the end of
    // the connection or stop).
    LiveResult Exchange(const KeepAliveTarget& target, int32_t number);

  private:
    void Run();
    bool StopRequested() const { return m_stop.load(); }

    TargetFn m_target;
    std::function<int32_t()> m_number;
    std::function<int()> m_period;
    TimeoutFn m_onTimeout;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_rounds{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Cuts a connect or a proxy exchange short when Stop is called.
    std::unique_ptr<CancelToken> m_cancel;
    std::thread m_thread;
};

// The relaunch: marks it, starts program with "DELAY" in the current
// directory and ends this process at once with code 0.
[[noreturn]] void RelaunchAndTerminate(const std::string& program);

}  // namespace kestrona
