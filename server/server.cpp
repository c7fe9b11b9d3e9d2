#include "server/server.h"

#include <sys/socket.h>
#include <unistd.h>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/keepalive_batcher.h"
#include "server/metrics.h"
#include "server/metrics_endpoint.h"
#include "server/records.h"
#include "server/reply.h"
#include "server/request.h"
#include "server/store_executor.h"

namespace kestrona::server {

using asio::ip::tcp;

namespace {

std::string PeerAddress(const tcp::endpoint& endpoint) {
    asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

std::string UtcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

// What an unrecognised request began with, safe to print.
std::string Printable(std::span<const std::uint8_t> data) {
    std::string out;
    for (std::size_t i = 0; i < data.size() && i < 20; ++i) {
        std::uint8_t c = data[i];
        if (c >= 0x21 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out.empty() ? "-" : out;
}

// Replies are small and go out on a fresh connection, so they always fit the
// send buffer; a peer that does not read can never hold a write open.
bool SendNow(tcp::socket& socket, const Bytes& bytes) {
    ssize_t sent =
        ::send(socket.native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(bytes.size());
}

// unread: bytes may be waiting that the exchange did not take.
void Finish(tcp::socket& socket, bool unread) {
    std::error_code ec;
    if (unread) {
        socket.shutdown(tcp::socket::shutdown_send, ec);
        // Closing over unread bytes would reset the connection and could
        // destroy the reply before the client reads it; take what is there.
        std::array<std::uint8_t, 512> scratch;
        for (int i = 0; i < 8; ++i) {
            ssize_t n =
                ::recv(socket.native_handle(), scratch.data(), scratch.size(), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
        }
    }
    socket.close(ec);
}

struct Connection {
    explicit Connection(tcp::socket s) : socket(std::move(s)), deadline(socket.get_executor()) {}
    tcp::socket socket;
    asio::steady_timer deadline;
    bool timed_out = false;
    bool unread = true;  // cleared once exactly one whole record was read
};

}  // namespace

struct Server::Impl {
    Impl(ServerConfig c, Directory& d)
        : config(std::move(c)), directory(d), limits(config.limits, d.store()) {}

    // Holds a connection's place among all connections and, once its client's
    // address is known, among that address's, until the connection ends.
    class Slot {
      public:
        explicit Slot(Impl* impl) : impl_(impl) {}
        Slot(Slot&& other) noexcept
            : impl_(std::exchange(other.impl_, nullptr)), address_(std::move(other.address_)) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() {
            if (impl_) {
                impl_->Release(address_);
            }
        }
        bool Claim(const std::string& address) {
            if (!impl_->ReserveAddress(address)) {
                return false;
            }
            address_ = address;
            return true;
        }

      private:
        Impl* impl_;
        std::string address_;
    };

    bool ReserveConnection() {
        std::lock_guard lock(slots_mutex);
        if (config.max_connections > 0 && open_connections >= config.max_connections) {
            return false;
        }
        ++open_connections;
        return true;
    }

    bool ReserveAddress(const std::string& address) {
        std::lock_guard lock(slots_mutex);
        int& count = per_address[address];
        if (config.max_per_address > 0 && count >= config.max_per_address) {
            if (count == 0) {
                per_address.erase(address);
            }
            return false;
        }
        ++count;
        return true;
    }

    // address empty: the connection had no address slot yet.
    void Release(const std::string& address) {
        std::lock_guard lock(slots_mutex);
        --open_connections;
        if (address.empty()) {
            return;
        }
        auto it = per_address.find(address);
        if (it != per_address.end() && --it->second <= 0) {
            per_address.erase(it);
        }
    }

    void Log(const std::string& peer, std::uint16_t port, std::string_view command,
             std::string_view result) {
        if (!config.log) {
            return;
        }
        std::string line = UtcNow();
        line += ' ';
        line += peer;
        line += ':';
        line += std::to_string(port);
        line += ' ';
        line += command;
        line += " -> ";
        line += result;
        config.log(line);
    }

    // Each thread runs a lane: its own context and acceptor, so a connection
    // never moves between threads and its timer and reads never overlap.
    struct Lane {
        asio::io_context io{1};
        tcp::acceptor acceptor{io};
    };

    asio::awaitable<void> AcceptLoop(Lane& lane) {
        for (;;) {
            std::error_code ec;
            tcp::endpoint remote;
            tcp::socket socket = co_await lane.acceptor.async_accept(
                remote, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                if (!lane.acceptor.is_open() || ec == asio::error::operation_aborted) {
                    co_return;
                }
                // Out of descriptors or memory: wait for connections to end
                // rather than spin on the failing accept.
                asio::steady_timer pause(lane.io, std::chrono::milliseconds(50));
                co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
                continue;
            }
            Admit(std::move(socket), remote);
        }
    }

    void Refuse(tcp::socket& socket, const std::string& address, std::uint16_t port, Refusal why,
                std::string_view text) {
        SendNow(socket, PlainReply(records::kGeneralError));
        metrics.Refused(why);
        Log(address, port, "-", text);
        Finish(socket, true);
    }

    void Admit(tcp::socket socket, const tcp::endpoint& remote) {
        std::string address = PeerAddress(remote);
        bool via_proxy = config.trusted_proxies.Contains(address);
        if (!via_proxy && config.proxy_only) {
            Refuse(socket, address, remote.port(), Refusal::kProxyMissing,
                   "refused: not from a trusted balancer");
            return;
        }
        if (!ReserveConnection()) {
            Refuse(socket, address, remote.port(), Refusal::kTooManyConnections,
                   "refused: too many connections");
            return;
        }
        Slot slot(this);
        // Behind a balancer the client's own address is known only once the
        // header has arrived; its place is claimed then.
        if (!via_proxy && !slot.Claim(address)) {
            Refuse(socket, address, remote.port(), Refusal::kTooManyConnections,
                   "refused: too many connections");
            return;
        }
        auto executor = socket.get_executor();
        asio::co_spawn(executor,
                       Serve(std::move(socket), address, remote.port(), std::move(slot), via_proxy),
                       asio::detached);
    }

    // Reads the balancer's header; the client's bytes that came behind it are
    // left in early. Empty when the connection was refused (and closed).
    asio::awaitable<std::optional<ProxyHeader>> ReadProxyHeader(Connection& conn,
                                                                const std::string& address,
                                                                std::uint16_t port, Bytes& early) {
        std::array<std::uint8_t, kMaxProxyHeader + records::kLargestRequest + 1> buffer;
        std::size_t received = 0;
        ProxyParse parse;
        while (!conn.timed_out && received < buffer.size()) {
            std::error_code ec;
            std::size_t n = co_await conn.socket.async_read_some(
                asio::buffer(buffer.data() + received, buffer.size() - received),
                asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                break;
            }
            received += n;
            parse = ParseProxyHeader({buffer.data(), received});
            if (parse.status != ProxyStatus::kNeedMore) {
                break;
            }
        }
        switch (parse.status) {
            case ProxyStatus::kDone:
                early.assign(buffer.begin() + static_cast<std::ptrdiff_t>(parse.header.length),
                             buffer.begin() + static_cast<std::ptrdiff_t>(received));
                co_return parse.header;
            case ProxyStatus::kInvalid:
                Refuse(conn.socket, address, port, Refusal::kProxyInvalid,
                       std::string("refused: ") + std::string(parse.error));
                co_return std::nullopt;
            case ProxyStatus::kNeedMore:
                if (received > 0) {
                    Refuse(conn.socket, address, port, Refusal::kProxyInvalid,
                           "refused: incomplete PROXY header");
                    co_return std::nullopt;
                }
                break;
            case ProxyStatus::kNotProxy:
                break;
        }
        if (received == 0 && !conn.timed_out) {
            // A balancer's plain connect check: nothing to refuse or count.
            Log(address, port, "-", "closed: nothing sent");
            Finish(conn.socket, false);
        } else {
            Refuse(conn.socket, address, port, Refusal::kProxyMissing,
                   "refused: no PROXY header from a trusted balancer");
        }
        co_return std::nullopt;
    }

    struct Tally {
        std::optional<Command> command;        // empty: no whole, known record
        std::optional<ExchangeResult> result;  // empty: no request came at all
        std::chrono::steady_clock::time_point request_complete{};
    };

    asio::awaitable<void> Serve(tcp::socket socket, std::string address, std::uint16_t port,
                                Slot slot, bool via_proxy) {
        auto conn = std::make_shared<Connection>(std::move(socket));
        conn->deadline.expires_after(config.idle_timeout);
        conn->deadline.async_wait([conn](std::error_code ec) {
            if (!ec) {
                conn->timed_out = true;
                conn->socket.cancel(ec);
            }
        });
        struct Disarm {
            Connection& c;
            ~Disarm() { c.deadline.cancel(); }
        } disarm{*conn};

        Bytes early;
        // A balancer's health check speaks for itself and sends no request;
        // a line for each would bury the phones' exchanges.
        bool health_check = false;
        if (via_proxy) {
            std::optional<ProxyHeader> header =
                co_await ReadProxyHeader(*conn, address, port, early);
            if (!header) {
                co_return;
            }
            if (header->local) {
                health_check = true;
            } else {
                address = header->source;
                port = header->source_port;
            }
            if (!slot.Claim(address)) {
                Refuse(conn->socket, address, port, Refusal::kTooManyConnections,
                       "refused: too many connections");
                co_return;
            }
        }

        std::string command = "-";
        std::string result;
        Tally tally;
        try {
            result = co_await Exchange(*conn, address, early, command, tally);
        } catch (const std::exception& e) {
            SendNow(conn->socket, PlainReply(records::kGeneralError));
            result = std::string("GENERALERROR: ") + e.what();
            tally.result = ExchangeResult::kError;
        }
        if (tally.result) {
            auto took = tally.request_complete == std::chrono::steady_clock::time_point{}
                            ? std::chrono::steady_clock::duration::zero()
                            : std::chrono::steady_clock::now() - tally.request_complete;
            metrics.Exchange(tally.command, *tally.result, took);
        }
        // Logged before the close, so the line exists once the client sees the end.
        if (!health_check || tally.result) {
            Log(address, port, command, result);
        }
        Finish(conn->socket, conn->unread);
    }

    // The store work of one request, with the abuse limits around it: a
    // login or registration that a limit holds back is answered without a
    // password check, and *throttled says which limit did.
    Outcome Admit(const Request& request, const std::string& address,
                  std::optional<Throttle>& throttled) {
        if (const auto* login = std::get_if<LoginRequest>(&request)) {
            LoginGate gate = limits.BeginLogin(address, login->number);
            if (gate == LoginGate::kUnavailable) {
                return {PlainReply(records::kGeneralError), "failed: database (limits)"};
            }
            if (gate != LoginGate::kAllowed) {
                // "Refused" is the one login answer that claims nothing about
                // the password: the phone shows no message and keeps its
                // login open.
                bool by_address = gate == LoginGate::kAddressCoolingDown;
                throttled = by_address ? Throttle::kLoginAddress : Throttle::kLoginNumber;
                return {LoginResult(records::login_result::kRefused, config.live_period_s, {}, {}),
                        by_address ? "throttled: too many failed logins from this address"
                                   : "throttled: too many failed logins for this number"};
            }
            LoginEnd end = LoginEnd::kNotChecked;
            Outcome outcome;
            try {
                outcome = directory.Handle(request, address);
            } catch (...) {
                limits.EndLogin(address, login->number, end);
                throw;
            }
            ExchangeResult result = ResultOfReply(outcome.reply);
            if (result == ExchangeResult::kWrongPassword) {
                end = LoginEnd::kWrongPassword;
            } else if (result == ExchangeResult::kAccepted) {
                end = LoginEnd::kAccepted;
            }
            limits.EndLogin(address, login->number, end);
            return outcome;
        }
        if (std::holds_alternative<RegisterRequest>(request) &&
            !limits.AllowRegistration(address)) {
            // The phone shows nothing and keeps its registration open, where
            // "e-mail taken" would send the user off to change a good address.
            throttled = Throttle::kRegistration;
            return {PlainReply(records::kGeneralError),
                    "throttled: too many registrations from this address"};
        }
        return directory.Handle(request, address);
    }

    // Runs one exchange on an open connection; returns the log text.
    asio::awaitable<std::string> Exchange(Connection& conn, const std::string& address,
                                          const Bytes& early, std::string& command, Tally& tally) {
        if (!SendNow(conn.socket, AcceptGreeting())) {
            co_return "closed before the greeting";
        }
        // Larger than any record, so an oversized one shows as such; nothing
        // beyond it is ever read.
        std::array<std::uint8_t, 256> buffer;
        std::size_t received = std::min(early.size(), buffer.size());
        std::copy_n(early.begin(), received, buffer.begin());
        ScanResult scan;
        if (received > 0) {
            scan = ScanRequest({buffer.data(), received});
        }
        while (!conn.timed_out && scan.status == ScanStatus::kNeedMore &&
               received < buffer.size()) {
            std::error_code ec;
            std::size_t n = co_await conn.socket.async_read_some(
                asio::buffer(buffer.data() + received, buffer.size() - received),
                asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                break;
            }
            received += n;
            scan = ScanRequest({buffer.data(), received});
        }
        tally.request_complete = std::chrono::steady_clock::now();
        std::span<const std::uint8_t> data(buffer.data(), received);
        auto general_error = [&](std::string why) {
            SendNow(conn.socket, PlainReply(records::kGeneralError));
            tally.result = ExchangeResult::kError;
            return "GENERALERROR: " + why;
        };
        if (received == 0) {
            co_return conn.timed_out ? "closed: nothing sent in time" : "closed: nothing sent";
        }
        if (scan.status != ScanStatus::kComplete && StartsLikeProxyHeader(data)) {
            metrics.Refused(Refusal::kProxyUntrusted);
            co_return general_error("PROXY header from an address not trusted to send one");
        }
        switch (scan.status) {
            case ScanStatus::kNeedMore:
                command = Printable(data);
                co_return general_error("incomplete record of " + std::to_string(received) +
                                        " bytes");
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
        StoreExecutor& work = directory.IsSlow(decoded.request) ? *hash_work : *store_work;
        SteadyTime deadline = tally.request_complete + config.request_deadline;
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
                co_return general_error(&work == hash_work.get()
                                            ? "busy: too many password checks waiting"
                                            : "busy: too many requests waiting for the database");
            case StoreAnswer::kLate:
                co_return general_error("the database did not answer in time");
        }
        Outcome& outcome = answer.outcome;
        tally.result = ResultOfReply(outcome.reply);
        if (*throttled) {
            tally.result = ExchangeResult::kThrottled;
            metrics.Throttled(**throttled);
        }
        if (!outcome.reply.empty() && !SendNow(conn.socket, outcome.reply)) {
            outcome.result += " (reply not delivered)";
        }
        co_return outcome.result;
    }

    // What became of work handed to a store executor.
    struct StoreAnswer {
        enum Status { kDone, kBusy, kLate } status = kLate;
        Outcome outcome;
    };

    // Hands work on with submit and waits for its answer on the calling
    // connection's thread, never past deadline: work that has not finished
    // by then is left to finish on its own, and its outcome is dropped.
    // submit gets the function that takes the outcome (empty: refused or
    // late), and returns false when the work could not be queued.
    using Answer = std::function<void(std::optional<Outcome>)>;
    asio::awaitable<StoreAnswer> Await(SteadyTime deadline,
                                       const std::function<bool(Answer)>& submit) {
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
    asio::awaitable<StoreAnswer> OnStore(StoreExecutor& work, SteadyTime deadline,
                                         std::function<Outcome()> task) {
        std::function<bool(Answer)> submit = [&work, deadline,
                                              task = std::move(task)](Answer answer) {
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
    asio::awaitable<StoreAnswer> LookUp(const QueryRequest& request, SteadyTime deadline) {
        std::function<bool(Answer)> submit = [&](Answer answer) {
            keepalives->Add(request, deadline, std::move(answer));
            return true;
        };
        co_return co_await Await(deadline, submit);
    }

    // A keep-alive, written together with the others that come meanwhile.
    asio::awaitable<StoreAnswer> KeepAlive(const LiveRequest& request, const std::string& address,
                                           SteadyTime deadline) {
        std::function<bool(Answer)> submit = [&](Answer answer) {
            keepalives->Add({request, address}, deadline, std::move(answer));
            return true;
        };
        co_return co_await Await(deadline, submit);
    }

    ServerConfig config;
    Directory& directory;
    AbuseLimits limits;
    Metrics metrics;
    std::unique_ptr<MetricsEndpoint> metrics_endpoint;
    std::mutex slots_mutex;
    std::unordered_map<std::string, int> per_address;
    int open_connections = 0;
    std::unique_ptr<StoreExecutor> store_work;
    std::unique_ptr<StoreExecutor> hash_work;
    std::unique_ptr<KeepAliveBatcher> keepalives;
    // Read by the metrics scrape, which never waits on the database.
    std::atomic<std::int64_t> sessions_online{0};
    std::atomic<int> probes{0};
    std::vector<std::thread> threads;
    bool started = false;
    // Last, so that connections still pending are destroyed before the state above.
    std::vector<std::unique_ptr<Lane>> lanes;
};

Server::Server(ServerConfig config, Directory& directory)
    : impl_(std::make_unique<Impl>(std::move(config), directory)) {}

Server::~Server() {
    Stop();
}

void Server::Start() {
    Impl& s = *impl_;
    if (s.started) {
        return;
    }
    std::error_code ec;
    asio::ip::address address = asio::ip::make_address(s.config.listen_address, ec);
    if (ec) {
        throw std::system_error(ec, "not an address to listen on: " + s.config.listen_address);
    }
    tcp::endpoint endpoint(address, s.config.port);
    int lanes = std::max(1, s.config.io_threads);
    try {
        auto first = std::make_unique<Impl::Lane>();
        first->acceptor.open(endpoint.protocol());
        first->acceptor.set_option(tcp::acceptor::reuse_address(true));
        first->acceptor.bind(endpoint);
        first->acceptor.listen(asio::socket_base::max_listen_connections);
        s.lanes.push_back(std::move(first));
        // The other lanes take from the same queue of waiting connections
        // through a copy of the descriptor: an idle thread serves whatever
        // arrives, and a busy or descheduled one holds nothing up.
        for (int i = 1; i < lanes; ++i) {
            int fd = ::dup(s.lanes.front()->acceptor.native_handle());
            if (fd < 0) {
                throw std::system_error(errno, std::system_category());
            }
            auto lane = std::make_unique<Impl::Lane>();
            lane->acceptor.assign(endpoint.protocol(), fd);
            s.lanes.push_back(std::move(lane));
        }
    } catch (const std::system_error& e) {
        s.lanes.clear();
        throw std::system_error(e.code(), "cannot listen on " + s.config.listen_address + " port " +
                                              std::to_string(s.config.port));
    }
    StoreExecutorConfig work_config;
    work_config.threads = s.config.store_threads;
    work_config.queue_limit = s.config.store_queue;
    work_config.deadline = s.config.request_deadline;
    s.store_work = std::make_unique<StoreExecutor>(work_config);
    StoreExecutorConfig hash_config = work_config;
    hash_config.threads = s.config.hash_threads;
    hash_config.queue_limit = static_cast<std::size_t>(std::max(1, s.config.max_pending_hashes));
    s.hash_work = std::make_unique<StoreExecutor>(hash_config);
    s.keepalives = std::make_unique<KeepAliveBatcher>(*s.store_work, s.directory);
    SubscriberStore& store = s.directory.store();
    s.store_work->Start(
        [&s, &store] {
            bool ok = store.Ping();
            // The count of sessions online is a scan: every other second is
            // enough.
            if (ok && s.probes++ % 4 == 0) {
                s.sessions_online = static_cast<std::int64_t>(s.directory.SessionCount());
            }
            return ok;
        },
        [&store] { store.Interrupt(); });
    s.hash_work->Start({}, [&store] { store.Interrupt(); });
    if (!s.config.metrics_address.empty()) {
        s.metrics.sessions_online = [&s] { return s.sessions_online.load(); };
        s.metrics.password_checks_waiting = [&s] {
            return static_cast<std::int64_t>(s.hash_work->InFlight());
        };
        s.metrics.connections_open = [&s] {
            std::lock_guard lock(s.slots_mutex);
            return static_cast<std::int64_t>(s.open_connections);
        };
        s.metrics_endpoint = std::make_unique<MetricsEndpoint>(
            s.config.metrics_address, s.config.metrics_port, [&s] { return s.metrics.Text(); },
            [&s] { return s.store_work->Healthy(); });
        try {
            s.metrics_endpoint->Start();
        } catch (...) {
            s.metrics_endpoint.reset();
            s.store_work->Stop();
            s.hash_work->Stop();
            s.lanes.clear();
            throw;
        }
    }
    for (auto& lane : s.lanes) {
        asio::co_spawn(lane->io, s.AcceptLoop(*lane), asio::detached);
        s.threads.emplace_back([l = lane.get()] { l->io.run(); });
    }
    s.started = true;
}

void Server::Stop() {
    Impl& s = *impl_;
    if (!s.started) {
        return;
    }
    s.started = false;
    for (auto& lane : s.lanes) {
        lane->io.stop();
    }
    for (auto& t : s.threads) {
        t.join();
    }
    s.threads.clear();
    for (auto& lane : s.lanes) {
        std::error_code ec;
        lane->acceptor.close(ec);
    }
    // The connections' contexts are stopped but still exist: work that
    // finishes now posts its answer into a context that drops it.
    s.hash_work->Stop();
    s.store_work->Stop();
    if (s.metrics_endpoint) {
        s.metrics_endpoint->Stop();
        s.metrics_endpoint.reset();
    }
}

std::uint16_t Server::metrics_port() const {
    return impl_->metrics_endpoint ? impl_->metrics_endpoint->port() : 0;
}

std::uint16_t Server::port() const {
    std::error_code ec;
    return impl_->lanes.empty() ? 0 : impl_->lanes.front()->acceptor.local_endpoint(ec).port();
}

}  // namespace kestrona::server
