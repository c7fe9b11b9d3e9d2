// Hands items from worker threads to the thread of an owning QObject: Post
// from any thread, and the owner's event loop runs `take` with everything
// posted since. The items travel under a lock and an event counter only
// wakes the owner, so no Qt event crosses threads and the thread checker
// sees the whole hand-over (Qt's own queue is invisible to it).
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/unique_fd.h"

namespace kestrona {

template <class T>
class CThreadHandoff {
  public:
    CThreadHandoff(QObject* owner, std::function<void(std::vector<T>&)> take)
        : m_take(std::move(take)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (m_wake.get() < 0) {
            qFatal("kestrona: no event counter: %s", std::strerror(errno));
        }
        auto* notifier = new QSocketNotifier(m_wake.get(), QSocketNotifier::Read, owner);
        QObject::connect(notifier, &QSocketNotifier::activated, owner, [this] { Take(); });
    }
    CThreadHandoff(const CThreadHandoff&) = delete;
    CThreadHandoff& operator=(const CThreadHandoff&) = delete;

    void Post(T item) {
        {
            std::lock_guard lock(m_mutex);
            m_items.push_back(std::move(item));
        }
        const uint64_t one = 1;
        while (::write(m_wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

  private:
    void Take() {
        uint64_t count = 0;
        while (::read(m_wake.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::vector<T> items;
        {
            std::lock_guard lock(m_mutex);
            items.swap(m_items);
        }
        if (!items.empty()) {
            m_take(items);
        }
    }

    std::function<void(std::vector<T>&)> m_take;
    std::mutex m_mutex;
    std::vector<T> m_items;
    UniqueFd m_wake;
};

}  // namespace kestrona
