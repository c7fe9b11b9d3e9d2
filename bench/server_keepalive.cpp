// Keep-alives per second that one kestrona-server instance sustains, on a
// PostgreSQL database (a cluster of its own in a temporary folder, with
// PostgreSQL's default durability settings) and, for
// comparison, on SQLite. Every keep-alive is a new TCP connection on loopback
// and one UPDATE of a session row, as a phone's keep-alive thread makes it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_bench_util.h"
#include "server/records.h"
#include "support/postgres_fixture.h"

extern char** environ;

namespace {

namespace rec = kestrona::server::records;
using kestrona::bench::Bytes;
using kestrona::bench::Exchange;
using kestrona::bench::Record;
using kestrona::bench::StartsWith;
using Clock = std::chrono::steady_clock;

struct Settings {
    int clients = 8;
    int subscribers = 200;
    double seconds = 5;
    int server_threads = 2;
};

struct Server {
    pid_t pid = 0;
    std::uint16_t port = 0;
};

Server StartServer(const Settings& s, const std::string& db) {
    std::vector<std::string> args{KESTRONA_SERVER_BINARY,
                                  "--db",
                                  db,
                                  "--listen",
                                  "127.0.0.1",
                                  "--port",
                                  "0",
                                  "--threads",
                                  std::to_string(s.server_threads),
                                  "--max-per-address",
                                  "0",
                                  "--max-connections",
                                  "0",
                                  "--registrations-per-hour",
                                  "0",
                                  "--minimum-hash-cost",
                                  "--quiet"};
    const kestrona::bench::SpawnedServer spawned = kestrona::bench::SpawnServer(std::move(args));
    return Server{spawned.pid, spawned.port};
}

void StopServer(Server& server) {
    kestrona::bench::StopSpawned(server.pid);
}

// Registers and logs in the subscribers; their numbers.
std::vector<std::int32_t> Prepare(const Settings& s, std::uint16_t port) {
    std::vector<std::int32_t> numbers;
    for (int i = 0; i < s.subscribers; ++i) {
        namespace f = rec::register_new;
        Bytes reg = Record(f::kWord, f::kSize);
        std::string email = "ka" + std::to_string(i) + "@bench";
        std::memcpy(reg.data() + f::kName, "ka", 2);
        std::memcpy(reg.data() + f::kPassword, "pw", 2);
        std::memcpy(reg.data() + f::kEmail, email.data(), email.size());
        Bytes reply = Exchange(port, reg);
        if (!StartsWith(reply, "REGISTERNEWSUCCESS") || reply.size() < 22) {
            break;
        }
        std::int32_t number = rec::GetInt(reply.data(), 18);
        Bytes login = Record(rec::login::kWord, rec::login::kSize);
        rec::PutInt(login.data(), rec::login::kNumber, number);
        std::memcpy(login.data() + rec::login::kPassword, "pw", 2);
        rec::PutInt(login.data(), rec::login::kPort, 7000);
        if (StartsWith(Exchange(port, login), "LOGINRESULT")) {
            numbers.push_back(number);
        }
    }
    return numbers;
}

void Measure(const char* title, const Settings& s, const std::string& db) {
    Server server = StartServer(s, db);
    if (server.port == 0) {
        std::fprintf(stderr, "%s: the server did not start\n", title);
        StopServer(server);
        return;
    }
    std::vector<std::int32_t> numbers = Prepare(s, server.port);
    if (numbers.empty()) {
        std::fprintf(stderr, "%s: no subscriber could log in\n", title);
        StopServer(server);
        return;
    }
    std::atomic<bool> stop{false};
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(s.clients));
    std::atomic<long> failures{0};
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (int c = 0; c < s.clients; ++c) {
        threads.emplace_back([&, c] {
            std::size_t i = static_cast<std::size_t>(c);
            while (!stop) {
                Bytes live = Record("USERLIVE", 12);
                rec::PutInt(live.data(), 8, numbers[i % numbers.size()]);
                i += static_cast<std::size_t>(s.clients);
                auto t0 = Clock::now();
                Bytes reply = Exchange(server.port, live);
                auto t1 = Clock::now();
                if (StartsWith(reply, "GENERALCMDSUCCESS")) {
                    latencies[static_cast<std::size_t>(c)].push_back(
                        std::chrono::duration<double, std::milli>(t1 - t0).count());
                } else {
                    ++failures;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(s.seconds));
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    StopServer(server);
    std::vector<double> all;
    for (auto& l : latencies) {
        all.insert(all.end(), l.begin(), l.end());
    }
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
        return all.empty() ? 0.0
                           : all[std::min(all.size() - 1,
                                          static_cast<std::size_t>(p / 100.0 * all.size()))];
    };
    std::printf(
        "%s: %zu keep-alives in %.2f s = %.0f keep-alives/s, %ld failed, %zu sessions\n"
        "  latency ms: p50 %.3f  p99 %.3f  max %.3f\n",
        title, all.size(), elapsed, all.size() / elapsed, failures.load(), numbers.size(), pct(50),
        pct(99), all.empty() ? 0.0 : all.back());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::stod(argv[++i]) : 0.0; };
        if (a == "--clients") {
            s.clients = std::max(1, static_cast<int>(next()));
        } else if (a == "--subscribers") {
            s.subscribers = std::max(1, static_cast<int>(next()));
        } else if (a == "--seconds") {
            s.seconds = next();
        } else if (a == "--server-threads") {
            s.server_threads = std::max(1, static_cast<int>(next()));
        } else {
            std::puts(
                "Usage: server_keepalive [--clients N] [--subscribers N] [--seconds S]\n"
                "                        [--server-threads N]\n"
                "Keep-alives per second of one kestrona-server on PostgreSQL and on SQLite.");
            return a == "--help" ? 0 : 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // PostgreSQL as installed: commits wait for the disk where they should.
    kestrona::test::PostgresCluster cluster;
    if (!cluster.Start(true)) {
        std::fprintf(stderr, "no PostgreSQL cluster: %s\n%s\n", cluster.Error().c_str(),
                     cluster.Log().c_str());
        return 1;
    }
    Measure("one instance on PostgreSQL", s, cluster.CreateDatabase());
    kestrona::test::TempDir dir;
    Measure("one instance on SQLite", s, "sqlite:" + (dir.Path() / "directory.db").string());
    return 0;
}
