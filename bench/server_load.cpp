// Load generator for kestrona-server: concurrent clients doing login and
// look-up exchanges on loopback, each exchange on a new TCP connection.
// Without --server it starts its own kestrona-server on a temporary database.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <libpq-fe.h>

#include "bench/server_bench_util.h"
#include "server/records.h"
#include "support/haproxy_fixture.h"
#include "support/postgres_fixture.h"

extern char** environ;

namespace {

namespace rec = kestrona::server::records;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using kestrona::bench::ClusterCpuSeconds;
using kestrona::bench::CpuSeconds;

struct Settings {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;  // 0: start our own server
    std::string server_binary = KESTRONA_SERVER_BINARY;
    int server_threads = 2;
    int store_threads = 4;
    int clients = 16;
    int client_threads = 1;
    double seconds = 5;
    double rate = 2000;
    int subscribers = 16;
    bool blocking = true;  // closed loop: one thread per client, blocking sockets
};

Bytes Word(std::string_view word, std::size_t size) {
    Bytes r(size, 0);
    std::memcpy(r.data(), word.data(), word.size());
    return r;
}

Bytes Login(std::int32_t number, std::string_view password) {
    Bytes r = Word(rec::login::kWord, rec::login::kSize);
    rec::PutInt(r.data(), rec::login::kNumber, number);
    std::memcpy(r.data() + rec::login::kPassword, password.data(), password.size());
    rec::PutInt(r.data(), rec::login::kPort, 7000);
    return r;
}

Bytes Query(std::int32_t caller, std::int32_t callee) {
    Bytes r = Word(rec::query::kWord, rec::query::kSize);
    rec::PutInt(r.data(), rec::query::kCaller, caller);
    rec::PutInt(r.data(), rec::query::kCallee, callee);
    return r;
}

Bytes Register(int i) {
    namespace f = rec::register_new;
    Bytes r = Word(f::kWord, f::kSize);
    std::string email = "load" + std::to_string(i) + "-" + std::to_string(::getpid()) + "@bench";
    std::memcpy(r.data() + f::kName, "load", 4);
    std::memcpy(r.data() + f::kPassword, "benchpw", 7);
    std::memcpy(r.data() + f::kEmail, email.data(), email.size());
    return r;
}

// The first few failures, with their reason, for the report.
std::atomic<int> g_failures_noted{0};
bool g_waiting_for_server = false;  // refusals are expected while it starts
void NoteFailure(const char* step, const std::error_code& ec) {
    if (!g_waiting_for_server && g_failures_noted++ < 3) {
        std::fprintf(stderr, "exchange failed at %s: %s\n", step, ec.message().c_str());
    }
}

// One exchange: connect, greeting, request, reply, end. Empty on failure.
asio::awaitable<Bytes> Exchange(tcp::endpoint server, const Bytes& request) {
    auto executor = co_await asio::this_coro::executor;
    tcp::socket socket(executor);
    std::error_code ec;
    co_await socket.async_connect(server, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        NoteFailure("connect", ec);
        co_return Bytes{};
    }
    socket.set_option(tcp::no_delay(true), ec);
    std::array<std::uint8_t, 6> greeting;
    co_await asio::async_read(socket, asio::buffer(greeting),
                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec || std::memcmp(greeting.data(), "ACCEPT", 6) != 0) {
        NoteFailure("greeting", ec);
        co_return Bytes{};
    }
    co_await asio::async_write(socket, asio::buffer(request),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        co_return Bytes{};
    }
    Bytes reply(512);
    std::size_t n = co_await asio::async_read(socket, asio::buffer(reply),
                                              asio::redirect_error(asio::use_awaitable, ec));
    reply.resize(n);
    co_return reply;
}

// The same exchange on a blocking socket, for client threads: fewer system
// calls than the event loop needs, so more of the machine is left to the server.
Bytes BlockingExchange(const sockaddr_in& server, const Bytes& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        NoteFailure("socket", std::error_code(errno, std::system_category()));
        return {};
    }
    Bytes reply;
    std::uint8_t buffer[512];
    std::size_t got = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        NoteFailure("connect", std::error_code(errno, std::system_category()));
    } else {
        while (got < 6) {
            ssize_t n = ::recv(fd, buffer + got, 6 - got, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (got == 6 && std::memcmp(buffer, "ACCEPT", 6) == 0 &&
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size())) {
            for (;;) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                reply.insert(reply.end(), buffer, buffer + n);
            }
        } else {
            NoteFailure("greeting", std::error_code(errno, std::system_category()));
        }
    }
    ::close(fd);
    return reply;
}

bool Good(const Bytes& reply) {
    auto starts = [&](std::string_view w) {
        return reply.size() >= w.size() && std::memcmp(reply.data(), w.data(), w.size()) == 0;
    };
    if (starts("LOGINRESULT")) {
        return reply.size() == rec::login_result::kSize && rec::GetInt(reply.data(), 20) == 0;
    }
    return starts("QUERYUSERRESULT") && reply.size() == rec::query_result::kSize;
}

struct Samples {
    std::vector<double> latency_ms;
    long failures = 0;
};

void Report(const char* title, Samples& s, double seconds) {
    auto& v = s.latency_ms;
    std::sort(v.begin(), v.end());
    auto pct = [&](double p) {
        if (v.empty()) {
            return 0.0;
        }
        std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * v.size()));
        return v[i];
    };
    std::printf(
        "%s: %zu exchanges in %.2f s = %.0f exchanges/s, %ld failed\n"
        "  latency ms: p50 %.3f  p90 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
        title, v.size(), seconds, v.size() / seconds, s.failures, pct(50), pct(90), pct(99),
        pct(99.9), v.empty() ? 0.0 : v.back());
    std::fflush(stdout);
}

Bytes RequestFor(long i, const std::vector<std::int32_t>& numbers) {
    std::int32_t n = numbers[static_cast<std::size_t>(i) % numbers.size()];
    return (i % 2 == 0) ? Login(n, "benchpw") : Query(numbers[0], n);
}

// As many exchanges as the clients can do, each client one after another.
Samples ClosedLoop(const Settings& s, tcp::endpoint server,
                   const std::vector<std::int32_t>& numbers, double& elapsed) {
    asio::io_context io;
    Samples total;
    std::vector<Samples> per_client(static_cast<std::size_t>(s.clients));
    auto end = Clock::now() + std::chrono::duration<double>(s.seconds);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    if (s.blocking) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server.port());
        addr.sin_addr.s_addr = htonl(server.address().to_v4().to_uint());
        for (int c = 0; c < s.clients; ++c) {
            threads.emplace_back([&, c] {
                Samples& mine = per_client[static_cast<std::size_t>(c)];
                for (long i = c; Clock::now() < end; i += s.clients) {
                    auto t0 = Clock::now();
                    Bytes reply = BlockingExchange(addr, RequestFor(i, numbers));
                    if (!Good(reply)) {
                        ++mine.failures;
                        continue;
                    }
                    mine.latency_ms.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                }
            });
        }
    }
    for (int c = 0; c < s.clients && !s.blocking; ++c) {
        asio::co_spawn(
            io,
            [&, c]() -> asio::awaitable<void> {
                Samples& mine = per_client[static_cast<std::size_t>(c)];
                for (long i = c; Clock::now() < end; i += s.clients) {
                    auto t0 = Clock::now();
                    Bytes reply = co_await Exchange(server, RequestFor(i, numbers));
                    if (!Good(reply)) {
                        ++mine.failures;
                        continue;
                    }
                    mine.latency_ms.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                }
            },
            asio::detached);
    }
    for (int t = 1; t < s.client_threads && !s.blocking; ++t) {
        threads.emplace_back([&] { io.run(); });
    }
    io.run();
    for (auto& t : threads) {
        t.join();
    }
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& m : per_client) {
        total.latency_ms.insert(total.latency_ms.end(), m.latency_ms.begin(), m.latency_ms.end());
        total.failures += m.failures;
    }
    return total;
}

// Exchanges started on a fixed schedule; latency counts from the scheduled
// start, so a stalled server cannot hide its queue.
Samples OpenLoop(const Settings& s, tcp::endpoint server, const std::vector<std::int32_t>& numbers,
                 double& elapsed) {
    asio::io_context io;
    Samples total;
    auto start = Clock::now();
    long count = static_cast<long>(s.rate * s.seconds);
    auto interval = std::chrono::duration<double>(1.0 / s.rate);
    if (s.blocking) {
        // Workers take the next slot of the schedule; when all are busy the
        // next exchange starts late and its latency shows it.
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server.port());
        addr.sin_addr.s_addr = htonl(server.address().to_v4().to_uint());
        std::atomic<long> next{0};
        std::vector<Samples> per_worker(static_cast<std::size_t>(s.clients));
        std::vector<std::thread> workers;
        for (int w = 0; w < s.clients; ++w) {
            workers.emplace_back([&, w] {
                Samples& mine = per_worker[static_cast<std::size_t>(w)];
                for (long i = next++; i < count; i = next++) {
                    auto due = start + std::chrono::duration_cast<Clock::duration>(interval * i);
                    std::this_thread::sleep_until(due);
                    Bytes reply = BlockingExchange(addr, RequestFor(i, numbers));
                    if (!Good(reply)) {
                        ++mine.failures;
                        continue;
                    }
                    mine.latency_ms.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - due).count());
                }
            });
        }
        for (auto& w : workers) {
            w.join();
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        for (auto& m : per_worker) {
            total.latency_ms.insert(total.latency_ms.end(), m.latency_ms.begin(),
                                    m.latency_ms.end());
            total.failures += m.failures;
        }
        return total;
    }
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(io);
            for (long i = 0; i < count; ++i) {
                auto due = start + std::chrono::duration_cast<Clock::duration>(interval * i);
                if (due > Clock::now()) {
                    timer.expires_at(due);
                    co_await timer.async_wait(asio::use_awaitable);
                }
                asio::co_spawn(
                    io,
                    [&, i, due]() -> asio::awaitable<void> {
                        Bytes reply = co_await Exchange(server, RequestFor(i, numbers));
                        if (!Good(reply)) {
                            ++total.failures;
                            co_return;
                        }
                        total.latency_ms.push_back(
                            std::chrono::duration<double, std::milli>(Clock::now() - due).count());
                    },
                    asio::detached);
            }
        },
        asio::detached);
    io.run();
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return total;
}

// threads: connection threads of this instance; 0: --server-threads.
pid_t StartServer(const Settings& s, const std::string& db, std::uint16_t port,
                  const std::vector<std::string>& extra = {}, int threads = 0) {
    std::vector<std::string> args{s.server_binary,
                                  "--db",
                                  db,
                                  "--listen",
                                  "127.0.0.1",
                                  "--port",
                                  std::to_string(port),
                                  "--threads",
                                  std::to_string(threads > 0 ? threads : s.server_threads),
                                  "--store-threads",
                                  std::to_string(s.store_threads),
                                  "--max-per-address",
                                  "0",
                                  "--max-connections",
                                  "0",
                                  "--registrations-per-hour",
                                  "0",
                                  "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return 0;
    }
    return pid;
}

std::uint16_t FreePort() {
    asio::io_context io;
    tcp::acceptor a(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

void Usage() {
    std::puts(
        "Usage: server_load [--server HOST:PORT] [--server-binary PATH] [--server-threads N]\n"
        "                   [--clients N] [--client-threads N] [--seconds S] [--rate R]\n"
        "                   [--subscribers N] [--event-loop] [--single] [--compare [--repeat N]\n"
        "                   [--only DIGITS]]\n"
        "Runs a closed loop of N clients (login and look-up, one connection each),\n"
        "then an open loop at R exchanges per second, and prints exchanges per\n"
        "second and latency percentiles. Without --server it starts kestrona-server\n"
        "on SQLite, then (unless --single) two instances on one PostgreSQL database\n"
        "behind HAProxy, and measures both the same way.\n"
        "The closed loop runs one thread per client on blocking sockets, or with\n"
        "--event-loop all clients as coroutines on --client-threads threads.\n"
        "--compare measures keep-alives and look-ups (closed loop) of one instance on\n"
        "SQLite, one and two on PostgreSQL, and SQLite and two PostgreSQL instances\n"
        "behind HAProxy: all started at once, then measured in turns N times (3),\n"
        "with the CPU time per exchange of the load generator, HAProxy, the\n"
        "instances and PostgreSQL, and the share of the machine others used;\n"
        "then medians and the ratios of each repetition. The instances of a set-up\n"
        "share --server-threads between them. --only 45 runs set-ups 4\n"
        "and 5 of the five alone (to profile one).");
}

void StopServer(pid_t pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

double CpuSecondsOf(const std::vector<pid_t>& pids) {
    double sum = 0;
    for (pid_t p : pids) {
        sum += CpuSeconds(p);
    }
    return sum;
}

// Registers the subscribers, logs each in once (paying the one argon2id check
// per subscriber before measuring), then runs the closed and the open loop
// against server. servers: the processes whose CPU time counts as the
// service's; empty when they are not ours.
int RunLoad(const Settings& s, tcp::endpoint server, const std::vector<pid_t>& servers,
            const std::string& label) {
    std::vector<std::int32_t> numbers;
    {
        asio::io_context io;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                asio::steady_timer timer(io);
                g_waiting_for_server = true;
                for (int attempt = 0; attempt < 100; ++attempt) {
                    Bytes r = co_await Exchange(server, Query(1, 1));
                    if (!r.empty()) {
                        break;
                    }
                    timer.expires_after(std::chrono::milliseconds(50));
                    co_await timer.async_wait(asio::use_awaitable);
                }
                g_waiting_for_server = false;
                for (int i = 0; i < s.subscribers; ++i) {
                    Bytes r = co_await Exchange(server, Register(i));
                    if (r.size() >= 22 && std::memcmp(r.data(), "REGISTERNEWSUCCESS", 18) == 0) {
                        numbers.push_back(rec::GetInt(r.data(), 18));
                    }
                }
                // Behind the balancer each instance pays its own first check.
                for (std::size_t round = 0; round < std::max<std::size_t>(1, servers.size());
                     ++round) {
                    for (std::int32_t n : numbers) {
                        co_await Exchange(server, Login(n, "benchpw"));
                    }
                    // One exchange more shifts the round robin, so that the
                    // next round takes each subscriber to the next instance.
                    co_await Exchange(server, Query(1, 1));
                }
            },
            asio::detached);
        io.run();
    }
    if (numbers.empty()) {
        std::fprintf(stderr, "could not register subscribers at %s:%u\n",
                     server.address().to_string().c_str(), server.port());
        return 1;
    }
    std::printf("%s: %d subscribers, server threads %d, clients %s\n", label.c_str(),
                static_cast<int>(numbers.size()), s.server_threads,
                s.blocking ? "on blocking threads" : "on an event loop");
    double elapsed = 0;
    double cpu0 = CpuSecondsOf(servers);
    double self0 = CpuSeconds(::getpid());
    Samples closed = ClosedLoop(s, server, numbers, elapsed);
    char title[160];
    std::snprintf(title, sizeof title, "%s, closed loop, %d concurrent clients", label.c_str(),
                  s.clients);
    Report(title, closed, elapsed);
    auto cpu_line = [&](std::size_t exchanges, double server_cpu, double client_cpu) {
        if (exchanges == 0) {
            return;
        }
        std::printf("  cpu per exchange: server %.1f us, load generator %.1f us%s\n",
                    server_cpu * 1e6 / static_cast<double>(exchanges),
                    client_cpu * 1e6 / static_cast<double>(exchanges),
                    servers.empty() ? " (server not ours: not measured)" : "");
        std::fflush(stdout);
    };
    double cpu1 = CpuSecondsOf(servers);
    double self1 = CpuSeconds(::getpid());
    cpu_line(closed.latency_ms.size(), cpu1 - cpu0, self1 - self0);
    Samples open = OpenLoop(s, server, numbers, elapsed);
    std::snprintf(title, sizeof title, "%s, open loop at %.0f exchanges/s", label.c_str(), s.rate);
    Report(title, open, elapsed);
    cpu_line(open.latency_ms.size(), CpuSecondsOf(servers) - cpu1, CpuSeconds(::getpid()) - self1);
    return 0;
}

// Two instances on one PostgreSQL database behind HAProxy, which hands each
// connection on with a PROXY v2 header, measured the same way.
int RunBalanced(const Settings& s) {
    std::string why;
    kestrona::test::PostgresCluster* cluster = kestrona::test::PostgresCluster::Shared(&why);
    if (!cluster) {
        std::printf("behind HAProxy on PostgreSQL: not measured, %s\n", why.c_str());
        return 0;
    }
    if (!kestrona::test::HaproxyProcess::Available()) {
        std::printf("behind HAProxy on PostgreSQL: not measured, haproxy is not installed\n");
        return 0;
    }
    std::string db = cluster->CreateDatabase();
    if (db.empty()) {
        std::fprintf(stderr, "cannot create a database: %s\n", cluster->Error().c_str());
        return 1;
    }
    std::vector<pid_t> pids;
    std::vector<int> ports;
    for (int i = 0; i < 2; ++i) {
        std::uint16_t port = FreePort();
        pid_t pid = StartServer(s, db, port, {"--trusted-proxy", "127.0.0.1", "--proxy-only"});
        if (pid == 0) {
            std::fprintf(stderr, "cannot start %s\n", s.server_binary.c_str());
            for (pid_t p : pids) {
                StopServer(p);
            }
            return 1;
        }
        pids.push_back(pid);
        ports.push_back(port);
        // The first creates the schema; the second must find it done.
        kestrona::test::WaitForPort(port, 15000);
    }
    int rc = 1;
    {
        kestrona::test::HaproxyProcess haproxy;
        if (haproxy.Start(ports)) {
            tcp::endpoint front(asio::ip::make_address("127.0.0.1"),
                                static_cast<std::uint16_t>(haproxy.Port()));
            rc = RunLoad(s, front, pids, "2 instances on PostgreSQL behind HAProxy");
        } else {
            std::fprintf(stderr, "haproxy did not start:\n%s\n", haproxy.Log().c_str());
        }
    }
    for (pid_t p : pids) {
        StopServer(p);
    }
    return rc;
}

Bytes Live(std::int32_t number) {
    Bytes r = Word(rec::live::kWord, rec::live::kSize);
    rec::PutInt(r.data(), rec::live::kNumber, number);
    return r;
}

// Closed loop of one kind of exchange, clients spread over the endpoints;
// exchanges per second. keepalive: USERLIVE, else QUERYUSER.
double RunMix(const Settings& s, const std::vector<tcp::endpoint>& endpoints,
              const std::vector<std::int32_t>& numbers, bool keepalive, long& failures) {
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    auto end = Clock::now() + std::chrono::duration<double>(s.seconds);
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < s.clients; ++c) {
        threads.emplace_back([&, c] {
            const tcp::endpoint& server = endpoints[static_cast<std::size_t>(c) % endpoints.size()];
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(server.port());
            addr.sin_addr.s_addr = htonl(server.address().to_v4().to_uint());
            for (long i = c; Clock::now() < end; i += s.clients) {
                std::int32_t n = numbers[static_cast<std::size_t>(i) % numbers.size()];
                Bytes reply = BlockingExchange(addr, keepalive ? Live(n) : Query(numbers[0], n));
                bool good = keepalive ? reply.size() >= 17 &&
                                            std::memcmp(reply.data(), "GENERALCMDSUCCESS", 17) == 0
                                      : Good(reply);
                ++(good ? done : failed);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    failures = failed.load();
    return static_cast<double>(done.load()) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

// Busy and total CPU time of the whole machine so far, in clock ticks.
std::pair<double, double> MachineTicks() {
    FILE* f = std::fopen("/proc/stat", "r");
    if (!f) {
        return {0, 0};
    }
    unsigned long long v[8] = {};
    int got = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                          &v[3], &v[4], &v[5], &v[6], &v[7]);
    std::fclose(f);
    if (got < 5) {
        return {0, 0};
    }
    double idle = static_cast<double>(v[3] + v[4]);
    double total = 0;
    for (unsigned long long x : v) {
        total += static_cast<double>(x);
    }
    return {total - idle, total};
}

double LoadAverage() {
    FILE* f = std::fopen("/proc/loadavg", "r");
    double load = -1;
    if (f) {
        if (std::fscanf(f, "%lf", &load) != 1) {
            load = -1;
        }
        std::fclose(f);
    }
    return load;
}

// Of the updates to the sessions table so far, how many stayed on their page
// (HOT); empty when the statistics cannot be read.
std::string HotUpdates(const std::string& uri) {
    if (uri.empty()) {
        return {};
    }
    PGconn* c = PQconnectdb(uri.c_str());
    std::string out;
    if (PQstatus(c) == CONNECTION_OK) {
        // The counts reach the statistics within a second or so.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        PGresult* r = PQexec(c,
                             "SELECT n_tup_upd, n_tup_hot_upd FROM pg_stat_user_tables "
                             "WHERE relname = 'sessions'");
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
            out = std::string(PQgetvalue(r, 0, 1)) + " of " + PQgetvalue(r, 0, 0) +
                  " session updates HOT";
        }
        PQclear(r);
    }
    PQfinish(c);
    return out;
}

// One set-up of the comparison, running for the whole of it.
struct Setup {
    std::string label;
    std::vector<pid_t> servers;
    std::unique_ptr<kestrona::test::HaproxyProcess> haproxy;
    bool postgres = false;
    std::string db;  // PostgreSQL URI, for the statistics
    std::vector<tcp::endpoint> endpoints;
    std::vector<std::int32_t> numbers;
    // Exchanges per second of each repetition, and the CPU time of all
    // parties per exchange (microseconds).
    std::vector<double> keepalive, lookup, keepalive_cpu, lookup_cpu;
};

// Registers the subscribers and logs them in through the first endpoint
// (their sessions then carry 127.0.0.1 behind a balancer too).
bool Prepare(const Settings& s, Setup& setup) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(setup.endpoints[0].port());
    addr.sin_addr.s_addr = htonl(setup.endpoints[0].address().to_v4().to_uint());
    g_waiting_for_server = true;
    for (int attempt = 0; attempt < 200 && BlockingExchange(addr, Query(1, 1)).empty(); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    g_waiting_for_server = false;
    for (int i = 0; i < s.subscribers; ++i) {
        Bytes r = BlockingExchange(addr, Register(i));
        if (r.size() >= 22 && std::memcmp(r.data(), "REGISTERNEWSUCCESS", 18) == 0) {
            setup.numbers.push_back(rec::GetInt(r.data(), 18));
        }
    }
    for (std::int32_t n : setup.numbers) {
        BlockingExchange(addr, Login(n, "benchpw"));
    }
    if (setup.numbers.empty()) {
        std::printf("%s: could not register\n", setup.label.c_str());
        std::fflush(stdout);
        return false;
    }
    return true;
}

// One closed loop against a set-up, with the CPU time each party spent on it
// per exchange: the load generator, HAProxy, the instances, PostgreSQL (all
// of its processes), and the rest of the machine (other people's work).
void MeasureOnce(const Settings& s, Setup& setup, pid_t postmaster, bool keepalive) {
    pid_t haproxy = setup.haproxy ? setup.haproxy->Pid() : 0;
    auto sample = [&] {
        std::array<double, 4> cpu{CpuSeconds(::getpid()), haproxy > 0 ? CpuSeconds(haproxy) : 0,
                                  CpuSecondsOf(setup.servers),
                                  setup.postgres ? ClusterCpuSeconds(postmaster) : 0};
        return cpu;
    };
    double load = LoadAverage();
    auto machine0 = MachineTicks();
    auto cpu0 = sample();
    auto t0 = Clock::now();
    long failed = 0;
    double rate = RunMix(s, setup.endpoints, setup.numbers, keepalive, failed);
    double took = std::chrono::duration<double>(Clock::now() - t0).count();
    auto cpu1 = sample();
    auto machine1 = MachineTicks();
    double exchanges = std::max(1.0, rate * took);
    double ours = 0;
    std::array<double, 4> us{};
    for (std::size_t i = 0; i < us.size(); ++i) {
        ours += cpu1[i] - cpu0[i];
        us[i] = (cpu1[i] - cpu0[i]) * 1e6 / exchanges;
    }
    double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    double busy = (machine1.first - machine0.first) / tick;
    double cores = (machine1.second - machine0.second) / tick / std::max(took, 1e-9);
    double others = std::max(0.0, busy - ours) / std::max(took, 1e-9);
    std::printf("  %-42s %-11s %7.0f/s %3ld failed | CPU us/exchange: generator %5.1f",
                setup.label.c_str(), keepalive ? "keep-alives" : "look-ups", rate, failed, us[0]);
    if (setup.haproxy) {
        std::printf("  HAProxy %5.1f", us[1]);
    }
    std::printf("  instances %5.1f", us[2]);
    if (setup.postgres) {
        std::printf("  PostgreSQL %5.1f", us[3]);
    }
    std::printf("  all %5.1f | others %.2f of %.0f cores, load %.2f\n", ours * 1e6 / exchanges,
                others, cores, load);
    std::fflush(stdout);
    (keepalive ? setup.keepalive : setup.lookup).push_back(rate);
    (keepalive ? setup.keepalive_cpu : setup.lookup_cpu).push_back(ours * 1e6 / exchanges);
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The set-ups side by side, all started first and then measured in turns
// (the order reversed every other repetition), so that a busy spell of the
// machine touches every set-up alike: one instance on SQLite, one on
// PostgreSQL, two on one PostgreSQL with the clients split between them, and
// SQLite and two PostgreSQL instances behind the same HAProxy configuration.
// Prints every measurement, then medians and the ratios of each repetition.
int Compare(const Settings& s, int repeat, const std::string& only) {
    std::string why;
    kestrona::test::PostgresCluster* cluster = kestrona::test::PostgresCluster::Shared(&why);
    if (!cluster) {
        std::fprintf(stderr, "no PostgreSQL: %s\n", why.c_str());
        return 1;
    }
    if (!kestrona::test::HaproxyProcess::Available()) {
        std::fprintf(stderr, "haproxy is not installed\n");
        return 1;
    }
    char pattern[] = "/tmp/kestrona-load-XXXXXX";
    std::filesystem::path temp = ::mkdtemp(pattern);
    auto local = [](int port) {
        return tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(port));
    };
    std::vector<pid_t> all;
    // Instances that share the machine share its connection threads too, as
    // an operator would set them: every set-up gets --server-threads in all.
    // Two instances with that many each wake twice the threads for the same
    // work, and the machine pays for the extra sleeps and wake-ups.
    auto start = [&](const std::string& db, std::vector<std::string> extra, int instances) {
        extra.push_back("--minimum-hash-cost");
        std::uint16_t port = FreePort();
        pid_t pid = StartServer(s, db, port, extra, std::max(1, s.server_threads / instances));
        if (pid > 0) {
            all.push_back(pid);
        }
        // One at a time: the first on a database creates the schema.
        kestrona::test::WaitForPort(port, 15000);
        return std::make_pair(pid, static_cast<int>(port));
    };
    const std::vector<std::string> behind{"--trusted-proxy", "127.0.0.1"};
    enum { kSqlite, kPostgres, kPostgresPair, kSqliteBalanced, kPostgresBalanced, kCount };
    std::vector<Setup> setups(kCount);
    bool ready = true;
    // only: the set-ups to run, by their numbers from 1 (to profile one).
    auto chosen = [&](int i) {
        return only.empty() || only.find(static_cast<char>('1' + i)) != std::string::npos;
    };
    for (int i = 0; i < kCount && ready; ++i) {
        Setup& setup = setups[static_cast<std::size_t>(i)];
        if (!chosen(i)) {
            continue;
        }
        bool balanced = i == kSqliteBalanced || i == kPostgresBalanced;
        setup.postgres = i == kPostgres || i == kPostgresPair || i == kPostgresBalanced;
        int instances = (i == kPostgresPair || i == kPostgresBalanced) ? 2 : 1;
        setup.label =
            std::to_string(instances) + (instances == 1 ? " instance on " : " instances on ") +
            (setup.postgres ? "PostgreSQL" : "SQLite") + (balanced ? " behind HAProxy" : "");
        std::string db = setup.postgres ? cluster->CreateDatabase()
                                        : (temp / ("db" + std::to_string(i))).string();
        if (setup.postgres) {
            setup.db = db;
        }
        std::vector<int> ports;
        for (int k = 0; k < instances; ++k) {
            auto [pid, port] = start(db, balanced ? behind : std::vector<std::string>{}, instances);
            setup.servers.push_back(pid);
            ports.push_back(port);
            setup.endpoints.push_back(local(port));
            ready = ready && pid > 0;
        }
        if (balanced && ready) {
            setup.haproxy = std::make_unique<kestrona::test::HaproxyProcess>();
            ready = setup.haproxy->Start(ports);
            if (!ready) {
                std::fprintf(stderr, "haproxy did not start:\n%s\n", setup.haproxy->Log().c_str());
            }
            setup.endpoints = {local(setup.haproxy->Port())};
        }
        ready = ready && Prepare(s, setup);
    }
    if (ready) {
        std::printf("%d repetitions, %d clients, %.0f s per measurement, load %.2f at the start\n",
                    repeat, s.clients, s.seconds, LoadAverage());
        for (int r = 0; r < repeat; ++r) {
            std::printf("repetition %d\n", r + 1);
            for (int k = 0; k < kCount; ++k) {
                int i = r % 2 ? kCount - 1 - k : k;
                if (!chosen(i)) {
                    continue;
                }
                Setup& setup = setups[static_cast<std::size_t>(i)];
                MeasureOnce(s, setup, cluster->Pid(), true);
                MeasureOnce(s, setup, cluster->Pid(), false);
            }
        }
        std::printf("medians over %d repetitions:\n", repeat);
        for (Setup& setup : setups) {
            if (setup.keepalive.empty()) {
                continue;
            }
            std::printf("  %-42s keep-alives %7.0f/s  look-ups %7.0f/s\n", setup.label.c_str(),
                        Median(setup.keepalive), Median(setup.lookup));
        }
        std::string hot = HotUpdates(setups[kPostgres].db);
        if (!hot.empty()) {
            std::printf("  one instance on PostgreSQL: %s\n", hot.c_str());
        }
        // Each ratio is taken within a repetition, where both figures met the
        // same spell of the machine; beside them the same from the CPU time
        // of all parties per exchange, what the ratio would be on a machine
        // that the set-ups had to themselves.
        auto ratios = [&](const char* title, int a, int b, bool keepalive) {
            if (!chosen(a) || !chosen(b)) {
                return;
            }
            const Setup& x = setups[static_cast<std::size_t>(a)];
            const Setup& y = setups[static_cast<std::size_t>(b)];
            std::vector<double> v, cpu;
            for (std::size_t r = 0; r < static_cast<std::size_t>(repeat); ++r) {
                double num = keepalive ? x.keepalive[r] : x.lookup[r];
                double den = keepalive ? y.keepalive[r] : y.lookup[r];
                v.push_back(den > 0 ? num / den : 0);
                double xc = keepalive ? x.keepalive_cpu[r] : x.lookup_cpu[r];
                double yc = keepalive ? y.keepalive_cpu[r] : y.lookup_cpu[r];
                cpu.push_back(xc > 0 ? yc / xc : 0);
            }
            std::printf("  %-56s median %.2f  (", title, Median(v));
            for (std::size_t i = 0; i < v.size(); ++i) {
                std::printf("%s%.2f", i ? " " : "", v[i]);
            }
            std::printf(");  from CPU per exchange %.2f\n", Median(cpu));
        };
        std::printf("ratios:\n");
        ratios("PostgreSQL/SQLite, keep-alives", kPostgres, kSqlite, true);
        ratios("PostgreSQL/SQLite, look-ups", kPostgres, kSqlite, false);
        ratios("two PostgreSQL/one SQLite, keep-alives", kPostgresPair, kSqlite, true);
        ratios("two PostgreSQL/one SQLite, look-ups", kPostgresPair, kSqlite, false);
        ratios("behind HAProxy, two PostgreSQL/one SQLite, keep-alives", kPostgresBalanced,
               kSqliteBalanced, true);
        ratios("behind HAProxy, two PostgreSQL/one SQLite, look-ups", kPostgresBalanced,
               kSqliteBalanced, false);
    }
    for (Setup& setup : setups) {
        setup.haproxy.reset();
    }
    for (pid_t pid : all) {
        StopServer(pid);
    }
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
    return ready ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    bool balanced = true;
    bool compare = false;
    int repeat = 3;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--server") {
            std::string hp = next();
            auto colon = hp.rfind(':');
            s.host = hp.substr(0, colon);
            s.port = static_cast<std::uint16_t>(std::stoi(hp.substr(colon + 1)));
        } else if (a == "--server-binary") {
            s.server_binary = next();
        } else if (a == "--server-threads") {
            s.server_threads = std::stoi(next());
        } else if (a == "--store-threads") {
            s.store_threads = std::stoi(next());
        } else if (a == "--clients") {
            s.clients = std::stoi(next());
        } else if (a == "--client-threads") {
            s.client_threads = std::stoi(next());
        } else if (a == "--seconds") {
            s.seconds = std::stod(next());
        } else if (a == "--rate") {
            s.rate = std::stod(next());
        } else if (a == "--event-loop") {
            s.blocking = false;
        } else if (a == "--subscribers") {
            s.subscribers = std::max(1, std::stoi(next()));
        } else if (a == "--single") {
            balanced = false;
        } else if (a == "--compare") {
            compare = true;
        } else if (a == "--only") {
            only = next();
        } else if (a == "--repeat") {
            repeat = std::max(1, std::stoi(next()));
        } else {
            Usage();
            return a == "--help" ? 0 : 2;
        }
    }

    if (compare) {
        return Compare(s, repeat, only);
    }
    if (s.port != 0) {
        tcp::endpoint server(asio::ip::make_address(s.host), s.port);
        return RunLoad(s, server, {}, "kestrona-server at " + s.host);
    }
    char pattern[] = "/tmp/kestrona-load-XXXXXX";
    std::filesystem::path temp = ::mkdtemp(pattern);
    std::uint16_t port = FreePort();
    pid_t server_pid = StartServer(s, (temp / "load.db").string(), port);
    if (server_pid == 0) {
        std::fprintf(stderr, "cannot start %s\n", s.server_binary.c_str());
        return 1;
    }
    tcp::endpoint server(asio::ip::make_address("127.0.0.1"), port);
    int rc = RunLoad(s, server, {server_pid}, "1 instance on SQLite");
    StopServer(server_pid);
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
    if (rc == 0 && balanced) {
        rc = RunBalanced(s);
    }
    return rc;
}
