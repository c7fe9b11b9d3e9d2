#include "app/presence.h"

#include <QPointer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <span>
#include <string_view>

#include "net/presence_records.h"
#include "platform/proxy_tunnel.h"

namespace kestrona {
namespace {

// The answer wait when the settings give no time-out.
constexpr int kDefaultReplyMs = 5000;
constexpr std::size_t kPlainReplySize = 20;
// How long a PRESENCEMODE that found no server waits before it goes again.
constexpr int kModeRetryMs = 3000;

bool IsWord(const char* data, std::size_t size, std::string_view word) {
    return size >= word.size() + 1 && std::memcmp(data, word.data(), word.size()) == 0 &&
           data[word.size()] == 0;
}

}  // namespace

const char* PresenceWord(PresenceState state) {
    switch (state) {
        case PresenceState::kOnline:
            return "online";
        case PresenceState::kOffline:
            return "offline";
        case PresenceState::kUnknown:
            break;
    }
    return "unknown";
}

class CPresence::WatchHandle : public PresenceSource::Watch {
  public:
    WatchHandle(CPresence* owner, int id) : m_owner(owner), m_id(id) {}
    ~WatchHandle() override {
        if (m_owner)
            m_owner->Unwatch(m_id);
    }

  private:
    QPointer<CPresence> m_owner;
    int m_id;
};

CPresence::CPresence(TargetFn target, int refreshMs, QObject* parent)
    : PresenceSource(parent), m_target(std::move(target)) {
    m_refresh.setInterval(refreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &CPresence::AskWatched);
}

CPresence::~CPresence() {
    Stop();
}

void CPresence::LoggedIn(int32_t ownNumber, bool appearOffline) {
    m_nOwn = ownNumber;
    m_bLoggedIn = true;
    m_bServerKnows = true;
    m_bAppearOffline = appearOffline;
    ++m_nLogin;
    m_states.clear();
    if (!m_thread.joinable()) {
        m_stop = false;
        m_cancel = std::make_unique<CancelToken>();
        m_thread = std::thread([this] { Run(); });
    }
    // A login starts a session shown to others.
    if (appearOffline)
        Post(Job{true, true, m_nOwn, m_nLogin, {}});
    if (!m_watches.empty()) {
        AskWatched();
        m_refresh.start();
    }
    emit updated();
}

void CPresence::SetAppearOffline(bool on) {
    if (on == m_bAppearOffline)
        return;
    m_bAppearOffline = on;
    if (m_bLoggedIn && m_bServerKnows)
        Post(Job{true, on, m_nOwn, m_nLogin, {}});
}

void CPresence::Stop() {
    m_refresh.stop();
    m_bLoggedIn = false;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_jobs.clear();
        if (m_cancel)
            m_cancel->Cancel();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

std::unique_ptr<PresenceSource::Watch> CPresence::WatchNumbers(std::vector<int32_t> numbers) {
    const int id = m_nNextWatch++;
    m_watches[id] = numbers;
    Refresh(std::move(numbers));
    if (m_bLoggedIn && m_bServerKnows && !m_refresh.isActive())
        m_refresh.start();
    return std::make_unique<WatchHandle>(this, id);
}

void CPresence::Unwatch(int id) {
    m_watches.erase(id);
    if (m_watches.empty())
        m_refresh.stop();
}

PresenceState CPresence::StateOf(int32_t number) const {
    if (!m_bLoggedIn || !m_bServerKnows)
        return PresenceState::kUnknown;
    if (number <= 0)
        return PresenceState::kOffline;
    const auto it = m_states.find(number);
    return it == m_states.end() ? PresenceState::kUnknown : it->second;
}

void CPresence::Refresh(std::vector<int32_t> numbers) {
    if (!m_bLoggedIn || !m_bServerKnows)
        return;
    Post(Job{false, false, m_nOwn, m_nLogin, std::move(numbers)});
}

void CPresence::AskWatched() {
    std::set<int32_t> all;
    for (const auto& [id, numbers] : m_watches) all.insert(numbers.begin(), numbers.end());
    Refresh(std::vector<int32_t>(all.begin(), all.end()));
}

void CPresence::Post(Job job) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stop)
            return;
        // A slow server must not make look-ups pile up: one that waits
        // takes in the numbers of the next.
        if (!job.mode && !m_jobs.empty() && !m_jobs.back().mode &&
            m_jobs.back().login == job.login) {
            auto& waiting = m_jobs.back().numbers;
            waiting.insert(waiting.end(), job.numbers.begin(), job.numbers.end());
        } else {
            m_jobs.push_back(std::move(job));
        }
    }
    m_wake.notify_all();
}

void CPresence::Deliver(int login, const Found& found) {
    if (login != m_nLogin || !m_bLoggedIn)
        return;
    if (found.serverUnknown) {
        m_bServerKnows = false;
        m_refresh.stop();
        m_states.clear();
    } else {
        for (const auto& [number, state] : found.states) m_states[number] = state;
    }
    emit updated();
}

void CPresence::Run() {
    int unknownIn = 0;  // the login whose server does not know the records
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop.load() || !m_jobs.empty(); });
            if (m_stop)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        if (job.login == unknownIn)
            continue;
        const ServerTarget target = m_target();
        Found found;
        if (job.mode) {
            const std::optional<bool> known = SendMode(target, job.own, job.appearOffline);
            if (!known) {
                // Others must not see this phone online because the server
                // was out of reach for a moment: the wish goes again, unless
                // a newer one has come meanwhile.
                std::unique_lock lock(m_mutex);
                m_wake.wait_for(lock, std::chrono::milliseconds(kModeRetryMs),
                                [this] { return m_stop.load(); });
                const bool newer = std::any_of(m_jobs.begin(), m_jobs.end(), [&](const Job& j) {
                    return j.mode || j.login != job.login;
                });
                if (!newer && !m_stop)
                    m_jobs.push_front(std::move(job));
                continue;
            }
            found.serverUnknown = !*known;
        } else {
            found = Query(target, job.own, std::move(job.numbers));
        }
        if (m_stop)
            return;
        if (found.serverUnknown)
            unknownIn = job.login;
        if (found.serverUnknown || !found.states.empty()) {
            m_answers.Post({job.login, std::move(found)});
        }
    }
}

CPresence::Found CPresence::Query(const ServerTarget& target, int32_t own,
                                  std::vector<int32_t> numbers) {
    Found found;
    // Numbers that are none are offline without asking.
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    numbers.erase(numbers.begin(),
                  std::find_if(numbers.begin(), numbers.end(), [](int32_t n) { return n > 0; }));
    const int replyMs = target.timeoutMs > 0 ? target.timeoutMs : kDefaultReplyMs;
    for (std::size_t at = 0; at < numbers.size(); at += kPresenceBatch) {
        const std::span<const int32_t> batch =
            std::span(numbers).subspan(at, std::min(kPresenceBatch, numbers.size() - at));
        CServerExchange exchange([this] { return m_stop.load(); }, m_cancel.get());
        const ExchangeStatus opened = exchange.Open(target);
        if (opened != ExchangeStatus::kDone) {
            // No server to ask now: the states stay as they were.
            return found;
        }
        const auto record = BuildQueryPresenceRecord(own, batch);
        if (!exchange.Send(record.data(), record.size()))
            return found;
        char reply[kPresenceReplySize] = {};
        std::size_t got = 0;
        const ExchangeStatus read = exchange.Read(
            reply, sizeof reply, replyMs,
            [](const char* data, std::size_t n) {
                return n >= kPresenceReplySize || !CouldBePresenceReply(data, n);
            },
            &got);
        if (read == ExchangeStatus::kStopped)
            return found;
        const PresenceReply answer = ParsePresenceReply(reply, got, batch.size());
        switch (answer.result) {
            case PresenceResult::kAnswered:
                for (std::size_t i = 0; i < batch.size(); ++i)
                    found.states[batch[i]] =
                        answer.Online(i) ? PresenceState::kOnline : PresenceState::kOffline;
                break;
            case PresenceResult::kRefused:
                for (const int32_t n : batch) found.states[n] = PresenceState::kUnknown;
                break;
            case PresenceResult::kTooMany:
                return found;  // asked again at the next refresh
            case PresenceResult::kNotOne:
                // Another answer, a cut one, or none in time: a server that
                // does not know the record.
                found.states.clear();
                found.serverUnknown = true;
                return found;
        }
    }
    return found;
}

std::optional<bool> CPresence::SendMode(const ServerTarget& target, int32_t own,
                                        bool appearOffline) {
    CServerExchange exchange([this] { return m_stop.load(); }, m_cancel.get());
    if (exchange.Open(target) != ExchangeStatus::kDone)
        return std::nullopt;
    const auto record = BuildPresenceModeRecord(own, appearOffline);
    if (!exchange.Send(record.data(), record.size()))
        return std::nullopt;
    char reply[kPlainReplySize] = {};
    std::size_t got = 0;
    const int replyMs = target.timeoutMs > 0 ? target.timeoutMs : kDefaultReplyMs;
    const ExchangeStatus read = exchange.Read(
        reply, sizeof reply, replyMs,
        [](const char*, std::size_t n) { return n >= kPlainReplySize; }, &got);
    if (read == ExchangeStatus::kStopped)
        return std::nullopt;
    // A refusal comes from a server that knows the record (the session is
    // not this address's); the next login tries again.
    return IsWord(reply, got, "GENERALCMDSUCCESS") || IsWord(reply, got, "GENERALCMDFAIL");
}

}  // namespace kestrona
