#include "app/keep_alive.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/proxy_tunnel.h"

extern char** environ;

namespace kestrona {

std::array<uint8_t, 12> MakeUserLive(int32_t number) {
    std::array<uint8_t, 12> r{};
    std::memcpy(r.data(), "USERLIVE", 8);
    const auto u = static_cast<uint32_t>(number);
    for (int i = 0; i < 4; ++i) {
        r[8 + i] = static_cast<uint8_t>(u >> (8 * i));
    }
    return r;
}

bool IsAlreadyTimeout(const char* data, std::size_t size) {
    return size >= 14 && std::memcmp(data, "ALREADYTIMEOUT", 14) == 0;
}

CKeepAlive::CKeepAlive(TargetFn target, std::function<int32_t()> number,
                       std::function<int()> periodSec, TimeoutFn onTimeout)
    : m_target(std::move(target)),
      m_number(std::move(number)),
      m_period(std::move(periodSec)),
      m_onTimeout(std::move(onTimeout)) {}

CKeepAlive::~CKeepAlive() {
    Stop();
}

void CKeepAlive::Start() {
    if (!m_thread.joinable()) {
        m_stop = false;
        m_cancel = std::make_unique<CancelToken>();
        m_thread = std::thread([this] { Run(); });
    }
}

void CKeepAlive::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        if (m_cancel)
            m_cancel->Cancel();
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CKeepAlive::Run() {
    while (!StopRequested()) {
        const LiveResult result = Exchange(m_target(), m_number());
        ++m_rounds;
        if (result == LiveResult::kAlreadyTimeout) {
            if (m_onTimeout) {
                m_onTimeout();
            }
            return;
        }
        std::unique_lock lock(m_mutex);
        const int period = std::max(0, m_period());
        m_wake.wait_for(lock, std::chrono::seconds(period), [this] { return StopRequested(); });
    }
}

LiveResult CKeepAlive::Exchange(const KeepAliveTarget& target, int32_t number) {
    CServerExchange exchange([this] { return StopRequested(); }, m_cancel.get());
    switch (exchange.Open(target)) {
        case ExchangeStatus::kDone:
            break;
        case ExchangeStatus::kStopped:
            return LiveResult::kStopped;
        default:
            return LiveResult::kNoSession;
    }
    const auto record = MakeUserLive(number);
    if (!exchange.Send(record.data(), record.size()))
        return LiveResult::kNoSession;
    // One read of at most 80 bytes, with no time limit.
    char reply[80] = {};
    std::size_t got = 0;
    const ExchangeStatus status = exchange.Read(
        reply, sizeof reply, 0, [](const char*, std::size_t n) { return n > 0; }, &got);
    if (status == ExchangeStatus::kStopped)
        return LiveResult::kStopped;
    if (status != ExchangeStatus::kDone)
        return LiveResult::kNoSession;
    return IsAlreadyTimeout(reply, got) ? LiveResult::kAlreadyTimeout : LiveResult::kAlive;
}

void RelaunchAndTerminate(const std::string& program) {
    // Marks the relaunch for as long as this process lives (a moment).
    const std::string marker = "/tmp/KESTRONA_FIREREBOOT_MUTEX-" + std::to_string(getuid());
    const int lockFd = ::open(marker.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFd >= 0) {
        ::flock(lockFd, LOCK_EX | LOCK_NB);
    }
    std::string delay = "DELAY";
    char* argv[] = {const_cast<char*>(program.c_str()), delay.data(), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
    ::_exit(0);
}

}  // namespace kestrona
