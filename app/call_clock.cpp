#include "app/call_clock.h"

#include <QTimer>
#include <algorithm>
#include <ctime>

namespace kestrona {
namespace {

class QtCallTimer : public ICallTimer {
  public:
    explicit QtCallTimer(std::function<void()> onExpiry) {
        QObject::connect(&m_timer, &QTimer::timeout, std::move(onExpiry));
    }
    void Start(int periodMs) override { m_timer.start(std::max(periodMs, 0)); }
    void Stop() override { m_timer.stop(); }
    bool IsActive() const override { return m_timer.isActive(); }

  private:
    QTimer m_timer;
};

class QtCallClock : public ICallClock {
  public:
    int64_t Now() const override { return static_cast<int64_t>(std::time(nullptr)); }
    std::unique_ptr<ICallTimer> MakeTimer(std::function<void()> onExpiry) override {
        return std::make_unique<QtCallTimer>(std::move(onExpiry));
    }
};

}  // namespace

std::unique_ptr<ICallClock> MakeQtCallClock() {
    return std::make_unique<QtCallClock>();
}

}  // namespace kestrona
