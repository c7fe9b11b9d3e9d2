#include "server/exchange.h"

#include <array>

#include "server/records.h"

namespace kestrona::server {

ExchangeHandler::ExchangeHandler(const ServerConfig& config, Directory& directory, Metrics& metrics)
    : config_(config),
      directory_(directory),
      metrics_(metrics),
      limits_(config.limits, directory.store()) {
    metrics_.relay = &directory.relay_counters();
    metrics_.presence = &directory.presence_counters();
    metrics_.database = directory.store().database_counters();
}

ExchangeHandler::~ExchangeHandler() {
    Stop();
}

void ExchangeHandler::Start() {
    StoreExecutorConfig work_config;
    work_config.threads = config_.store_threads;
    work_config.queue_limit = config_.store_queue;
    work_config.deadline = config_.request_deadline;
    store_work_ = std::make_unique<StoreExecutor>(work_config);
    StoreExecutorConfig hash_config = work_config;
    hash_config.threads = config_.hash_threads;
    hash_config.queue_limit = static_cast<std::size_t>(std::max(1, config_.max_pending_hashes));
    hash_work_ = std::make_unique<StoreExecutor>(hash_config);
    batcher_ = std::make_unique<KeepAliveBatcher>(*store_work_, directory_);
    SubscriberStore& store = directory_.store();
    store_work_->Start(
        [this, &store] {
            bool ok = store.Ping();
            // The count of sessions online is a scan: every other second is
            // enough.
            if (ok && probes_++ % 4 == 0) {
                sessions_online_ = static_cast<std::int64_t>(directory_.SessionCount());
            }
            return ok;
        },
        [&store] { store.Interrupt(); });
    hash_work_->Start({}, [&store] { store.Interrupt(); });
}

void ExchangeHandler::Stop() {
    if (hash_work_) {
        hash_work_->Stop();
    }
    if (store_work_) {
        store_work_->Stop();
    }
}

// The store work of one request, with the abuse limits around it: a
// login or registration that a limit holds back is answered without a
// password check, and *throttled says which limit did.
Outcome ExchangeHandler::Admit(const Request& request, const std::string& address,
                               std::optional<Throttle>& throttled) {
    if (const auto* login = std::get_if<LoginRequest>(&request)) {
        LoginGate gate = limits_.BeginLogin(address, login->number);
        if (gate == LoginGate::kUnavailable) {
            return {PlainReply(records::kGeneralError), "failed: database (limits)"};
        }
        if (gate != LoginGate::kAllowed) {
            // "Refused" is the one login answer that claims nothing about
            // the password: the phone shows no message and keeps its
            // login open.
            bool by_address = gate == LoginGate::kAddressCoolingDown;
            throttled = by_address ? Throttle::kLoginAddress : Throttle::kLoginNumber;
            return {LoginResult(records::login_result::kRefused, config_.live_period_s, {}, {}),
                    by_address ? "throttled: too many failed logins from this address"
                               : "throttled: too many failed logins for this number"};
        }
        LoginEnd end = LoginEnd::kNotChecked;
        Outcome outcome;
        try {
            outcome = directory_.Handle(request, address);
        } catch (...) {
            limits_.EndLogin(address, login->number, end);
            throw;
        }
        ExchangeResult result = ResultOfReply(outcome.reply);
        if (result == ExchangeResult::kWrongPassword) {
            end = LoginEnd::kWrongPassword;
        } else if (result == ExchangeResult::kAccepted) {
            end = LoginEnd::kAccepted;
        }
        limits_.EndLogin(address, login->number, end);
        return outcome;
    }
    if (std::holds_alternative<RegisterRequest>(request) && !limits_.AllowRegistration(address)) {
        // The phone shows nothing and keeps its registration open, where
        // "e-mail taken" would send the user off to change a good address.
        throttled = Throttle::kRegistration;
        return {PlainReply(records::kGeneralError),
                "throttled: too many registrations from this address"};
    }
    return directory_.Handle(request, address);
}

// Runs one exchange on an open connection; returns the log text.
asio::awaitable<std::string> ExchangeHandler::Run(Connection& conn, const std::string& address,
                                                  const Bytes& early, std::string& command,
                                                  Tally& tally) {
    if (!SendNow(conn, AcceptGreeting())) {
        co_return "closed before the greeting";
    }
    // Larger than any record, so an oversized one shows as such; nothing
    // beyond it is ever read.
    std::array<std::uint8_t, records::kLargestRequest + 1> buffer;
    std::size_t received = std::min(early.size(), buffer.size());
    std::copy_n(early.begin(), received, buffer.begin());
    ScanResult scan;
    if (received > 0) {
        scan = ScanRequest({buffer.data(), received});
    }
    while (!conn.timed_out && scan.status == ScanStatus::kNeedMore && received < buffer.size()) {
        std::error_code ec;
        std::size_t n = co_await conn.ReadSome(
            asio::buffer(buffer.data() + received, buffer.size() - received), ec);
        if (ec) {
            break;
        }
        received += n;
        scan = ScanRequest({buffer.data(), received});
    }
    tally.request_complete = std::chrono::steady_clock::now();
    std::span<const std::uint8_t> data(buffer.data(), received);
    auto general_error = [&](std::string why) {
        SendNow(conn, PlainReply(records::kGeneralError));
        tally.result = ExchangeResult::kError;
        return "GENERALERROR: " + why;
    };
    if (received == 0) {
        co_return conn.timed_out ? "closed: nothing sent in time" : "closed: nothing sent";
    }
    if (scan.status != ScanStatus::kComplete && StartsLikeProxyHeader(data)) {
        metrics_.Refused(Refusal::kProxyUntrusted);
        co_return general_error("PROXY header from an address not trusted to send one");
    }
    switch (scan.status) {
        case ScanStatus::kNeedMore:
            command = Printable(data);
            co_return general_error("incomplete record of " + std::to_string(received) + " bytes");
        case ScanStatus::kUnknownCommand:
            command = Printable(data);
            co_return general_error("unknown command");
        case ScanStatus::kWrongSize:
            command = CommandName(scan.command);
            tally.command = scan.command;
            co_return general_error("wrong size, more than " + std::to_string(scan.size) +
                                    " bytes");
        case ScanStatus::kComplete:
            break;
    }
    command = CommandName(scan.command);
    tally.command = scan.command;
    conn.unread = false;
    DecodeResult decoded = DecodeRequest(data);
    if (decoded.status != DecodeStatus::kOk) {
        co_return general_error("text without its terminating zero");
    }
    // Password checks (argon2id) have threads of their own, so that a
    // flood of logins cannot hold up the keep-alives.
    StoreExecutor& work = directory_.IsSlow(decoded.request) ? *hash_work_ : *store_work_;
    SteadyTime deadline = tally.request_complete + config_.request_deadline;
    auto throttled = std::make_shared<std::optional<Throttle>>();
    StoreAnswer answer;
    if (const auto* live = std::get_if<LiveRequest>(&decoded.request)) {
        answer = co_await KeepAlive(*live, address, deadline);
    } else if (const auto* query = std::get_if<QueryRequest>(&decoded.request)) {
        answer = co_await LookUp(*query, deadline);
    } else {
        // Built before the co_await: GCC 12 mishandles temporaries inside one.
        std::function<Outcome()> task = [this, request = std::move(decoded.request), address,
                                         throttled]() {
            return Admit(request, address, *throttled);
        };
        answer = co_await OnStore(work, deadline, std::move(task));
    }
    switch (answer.status) {
        case StoreAnswer::kDone:
            break;
        case StoreAnswer::kBusy:
            co_return general_error(&work == hash_work_.get()
                                        ? "busy: too many password checks waiting"
                                        : "busy: too many requests waiting for the database");
        case StoreAnswer::kLate:
            co_return general_error("the database did not answer in time");
    }
    Outcome& outcome = answer.outcome;
    tally.result = ResultOfReply(outcome.reply);
    if (*throttled) {
        tally.result = ExchangeResult::kThrottled;
        metrics_.Throttled(**throttled);
    }
    if (!outcome.reply.empty() && !SendNow(conn, outcome.reply)) {
        outcome.result += " (reply not delivered)";
    }
    co_return outcome.result;
}

// Hands work on with submit and waits for its answer on the calling
// connection's thread, never past deadline: work that has not finished
// by then is left to finish on its own, and its outcome is dropped.
// submit gets the function that takes the outcome (empty: refused or
// late), and returns false when the work could not be queued.
asio::awaitable<ExchangeHandler::StoreAnswer> ExchangeHandler::Await(
    SteadyTime deadline, const std::function<bool(Answer)>& submit) {
    struct Pending {
        explicit Pending(const asio::any_io_executor& ex) : timer(ex) {}
        asio::steady_timer timer;
        bool done = false;
        std::optional<Outcome> outcome;
    };
    asio::any_io_executor executor = co_await asio::this_coro::executor;
    auto pending = std::make_shared<Pending>(executor);
    pending->timer.expires_at(deadline);
    Answer answer = [pending](std::optional<Outcome> outcome) {
        // Back to the connection's own thread; after a stop the handler
        // is dropped with the context, which the executors never outlive.
        asio::post(pending->timer.get_executor(),
                   [pending, outcome = std::move(outcome)]() mutable {
                       pending->outcome = std::move(outcome);
                       pending->done = true;
                       pending->timer.cancel();
                   });
    };
    if (!submit(std::move(answer))) {
        co_return StoreAnswer{StoreAnswer::kBusy, {}};
    }
    std::error_code ec;
    co_await pending->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!pending->done || !pending->outcome) {
        co_return StoreAnswer{StoreAnswer::kLate, {}};
    }
    co_return StoreAnswer{StoreAnswer::kDone, std::move(*pending->outcome)};
}

// Runs task on work.
asio::awaitable<ExchangeHandler::StoreAnswer> ExchangeHandler::OnStore(
    StoreExecutor& work, SteadyTime deadline, std::function<Outcome()> task) {
    std::function<bool(Answer)> submit = [&work, deadline, task = std::move(task)](Answer answer) {
        return work.Submit(deadline, [task, answer](bool run) {
            if (!run) {
                answer(std::nullopt);
                return;
            }
            try {
                answer(task());
            } catch (const std::exception& e) {
                answer(Outcome{PlainReply(records::kGeneralError),
                               std::string("failed: ") + e.what()});
            }
        });
    };
    co_return co_await Await(deadline, submit);
}

// A look-up, read together with the others that come meanwhile.
asio::awaitable<ExchangeHandler::StoreAnswer> ExchangeHandler::LookUp(const QueryRequest& request,
                                                                      SteadyTime deadline) {
    std::function<bool(Answer)> submit = [&](Answer answer) {
        batcher_->Add(request, deadline, std::move(answer));
        return true;
    };
    co_return co_await Await(deadline, submit);
}

// A keep-alive, written together with the others that come meanwhile.
asio::awaitable<ExchangeHandler::StoreAnswer> ExchangeHandler::KeepAlive(const LiveRequest& request,
                                                                         const std::string& address,
                                                                         SteadyTime deadline) {
    std::function<bool(Answer)> submit = [&](Answer answer) {
        batcher_->Add({request, address}, deadline, std::move(answer));
        return true;
    };
    co_return co_await Await(deadline, submit);
}

}  // namespace kestrona::server
