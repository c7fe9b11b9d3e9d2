// Time for the call controller: the current time and timers that call back
// on the controller's thread. The program uses Qt's; tests use a clock they
// move by hand, so that no test waits for a timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kestrona {

class ICallTimer {
  public:
    virtual ~ICallTimer() = default;
    // (Re)starts the timer: it fires every periodMs until stopped.
    virtual void Start(int periodMs) = 0;
    virtual void Stop() = 0;
    virtual bool IsActive() const = 0;
};

class ICallClock {
  public:
    virtual ~ICallClock() = default;
    // Seconds since the epoch.
    virtual int64_t Now() const = 0;
    virtual std::unique_ptr<ICallTimer> MakeTimer(std::function<void()> onExpiry) = 0;
};

// Wall-clock time and QTimer-backed timers on the calling thread.
std::unique_ptr<ICallClock> MakeQtCallClock();

}  // namespace kestrona
