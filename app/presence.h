// Presence: which numbers of the phone book and the call lists can be
// called now, as the directory server says, and whether this phone appears
// offline to others. The look-ups run on a worker thread of their own; the
// answers come to the user-interface thread as updated(). A server that does
// not know the presence records (it answers anything else, or nothing in
// time) is not asked again until the next login: everyone is then "unknown".
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "net/server_exchange.h"
#include "net/thread_handoff.h"

namespace kestrona {

class CancelToken;

enum class PresenceState { kUnknown, kOffline, kOnline };
// "online", "offline", "unknown".
const char* PresenceWord(PresenceState state);

// What a window sees of presence: the states of the numbers it shows.
class PresenceSource : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    // Ends the look-ups of a window when it goes.
    class Watch {
      public:
        virtual ~Watch() = default;
    };
    // While the handle lives, `numbers` are looked up at once and again at
    // every refresh.
    virtual std::unique_ptr<Watch> WatchNumbers(std::vector<int32_t> numbers) = 0;
    virtual PresenceState StateOf(int32_t number) const = 0;

  signals:
    void updated();
};

class CPresence : public PresenceSource {
    Q_OBJECT
  public:
    using TargetFn = std::function<ServerTarget()>;

    // target is read on the worker thread before every exchange.
    explicit CPresence(TargetFn target, int refreshMs = 30000, QObject* parent = nullptr);
    ~CPresence() override;

    // A session of `ownNumber` exists (again): the server is asked anew, and
    // told at once when this phone is to appear offline.
    void LoggedIn(int32_t ownNumber, bool appearOffline);
    // The user's setting; told to the server when it changes in a session.
    void SetAppearOffline(bool on);
    // Ends the look-ups and joins the worker; no answer arrives afterwards.
    void Stop();

    std::unique_ptr<Watch> WatchNumbers(std::vector<int32_t> numbers) override;
    PresenceState StateOf(int32_t number) const override;
    // One look-up now, outside any watch (`rpc presence`).
    void Refresh(std::vector<int32_t> numbers);
    // False once the server has shown it does not know the records.
    bool ServerKnows() const { return m_bServerKnows; }

  private:
    class WatchHandle;
    struct Job {
        bool mode = false;  // PRESENCEMODE, else a look-up
        bool appearOffline = false;
        int32_t own = 0;
        int login = 0;
        std::vector<int32_t> numbers;
    };
    // What the worker found, for the user-interface thread.
    struct Found {
        std::map<int32_t, PresenceState> states;
        bool serverUnknown = false;
    };

    void Post(Job job);
    void AskWatched();
    void Unwatch(int id);
    void Deliver(int login, const Found& found);
    void Run();
    Found Query(const ServerTarget& target, int32_t own, std::vector<int32_t> numbers);
    // False when the server does not know the record, nothing when no
    // server was reached.
    std::optional<bool> SendMode(const ServerTarget& target, int32_t own, bool appearOffline);

    TargetFn m_target;
    QTimer m_refresh;
    // The user-interface thread's view.
    std::map<int32_t, PresenceState> m_states;
    std::map<int, std::vector<int32_t>> m_watches;
    int m_nNextWatch = 1;
    int32_t m_nOwn = 0;
    bool m_bLoggedIn = false;
    bool m_bServerKnows = true;
    bool m_bAppearOffline = false;
    // Counts the logins: an answer from before the last one is dropped.
    int m_nLogin = 0;

    // Shared with the worker.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    std::atomic<bool> m_stop{false};
    std::unique_ptr<CancelToken> m_cancel;
    // The worker's answers, with the login they were asked under.
    CThreadHandoff<std::pair<int, Found>> m_answers{
        this, [this](std::vector<std::pair<int, Found>>& answers) {
            for (const auto& [login, found] : answers) Deliver(login, found);
        }};
    std::thread m_thread;
};

}  // namespace kestrona
