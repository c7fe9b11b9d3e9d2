// A host-name look-up that hangs until released, put in place of the
// system's resolver for the life of the object: a name server that never
// answers. The destructor releases it and joins the look-up threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/background_work.h"
#include "platform/proxy_tunnel.h"

namespace kestrona::test {

class HungLookup {
  public:
    HungLookup() {
        SetNameLookup([state = m_state](const std::string&, in_addr&) {
            std::unique_lock lock(state->mutex);
            ++state->entered;
            state->changed.notify_all();
            state->changed.wait(lock, [&] { return state->released; });
            ++state->left;
            return false;
        });
    }
    ~HungLookup() {
        Release();
        SetNameLookup(nullptr);
        BackgroundWork::Process().Drain();
    }
    HungLookup(const HungLookup&) = delete;
    HungLookup& operator=(const HungLookup&) = delete;

    void Release() {
        std::lock_guard lock(m_state->mutex);
        m_state->released = true;
        m_state->changed.notify_all();
    }
    // Waits until n look-ups have begun.
    bool WaitEntered(int n) {
        std::unique_lock lock(m_state->mutex);
        return m_state->changed.wait_for(lock, std::chrono::seconds(30),
                                         [&] { return m_state->entered >= n; });
    }
    // Look-ups that have returned.
    int Left() const {
        std::lock_guard lock(m_state->mutex);
        return m_state->left;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        int entered = 0;
        int left = 0;
        bool released = false;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

}  // namespace kestrona::test
