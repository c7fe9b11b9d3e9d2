// What a presence look-up of 64 numbers costs the directory server against
// one QUERYUSER, as whole exchanges over loopback (connect, greeting,
// request, reply, close) with one kestrona-server on SQLite and one on
// PostgreSQL (a cluster of its own in a temporary folder). Besides the time
// per exchange, each case counts the CPU the server process used per
// exchange ("server_us") and, on PostgreSQL, the CPU of the database's
// processes ("db_us"). At the end the ratios of the medians over the
// repetitions are printed; the goal is at most 2 for the server's CPU.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "bench/server_bench_util.h"
#include "server/records.h"
#include "support/postgres_fixture.h"

namespace {

namespace rec = kestrona::server::records;
using kestrona::bench::Bytes;
using kestrona::bench::ClusterCpuSeconds;
using kestrona::bench::CpuSeconds;
using kestrona::bench::Exchange;
using kestrona::bench::Record;
using kestrona::bench::StartsWith;

constexpr int kSubscribers = 65;

struct Instance {
    pid_t pid = 0;
    std::uint16_t port = 0;
    pid_t database = -1;  // the postmaster, on PostgreSQL
    std::vector<std::int32_t> numbers;
};

Instance Start(const std::string& db) {
    Instance server;
    // No limit on look-ups: the benchmark asks thousands of times a minute.
    std::vector<std::string> args{KESTRONA_SERVER_BINARY,
                                  "--db",
                                  db,
                                  "--listen",
                                  "127.0.0.1",
                                  "--port",
                                  "0",
                                  "--max-per-address",
                                  "0",
                                  "--max-connections",
                                  "0",
                                  "--registrations-per-hour",
                                  "0",
                                  "--presence-lookups-per-number",
                                  "0",
                                  "--presence-lookups-per-address",
                                  "0",
                                  "--minimum-hash-cost",
                                  "--quiet"};
    const kestrona::bench::SpawnedServer spawned = kestrona::bench::SpawnServer(std::move(args));
    server.pid = spawned.pid;
    server.port = spawned.port;
    for (int i = 0; server.port != 0 && i < kSubscribers; ++i) {
        namespace f = rec::register_new;
        Bytes reg = Record(f::kWord, f::kSize);
        std::string email = "p" + std::to_string(i) + "@bench";
        std::memcpy(reg.data() + f::kName, "p", 1);
        std::memcpy(reg.data() + f::kPassword, "pw", 2);
        std::memcpy(reg.data() + f::kEmail, email.data(), email.size());
        Bytes reply = Exchange(server.port, reg);
        if (!StartsWith(reply, rec::register_success::kWord) ||
            reply.size() < rec::register_success::kSize) {
            break;
        }
        std::int32_t number = rec::GetInt(reply.data(), rec::register_success::kNumber);
        Bytes login = Record(rec::login::kWord, rec::login::kSize);
        rec::PutInt(login.data(), rec::login::kNumber, number);
        std::memcpy(login.data() + rec::login::kPassword, "pw", 2);
        rec::PutInt(login.data(), rec::login::kPort, 7000);
        reply = Exchange(server.port, login);
        if (StartsWith(reply, rec::login_result::kWord) &&
            rec::GetInt(reply.data(), rec::login_result::kResult) == 0) {
            server.numbers.push_back(number);
        }
    }
    return server;
}

void Stop(Instance& server) {
    kestrona::bench::StopSpawned(server.pid);
}

// Started at the first use, stopped at the end of main.
std::vector<Instance*> g_started;
std::string g_sqlite_dir;

Instance& Sqlite() {
    static Instance server = [] {
        static char folder[] = "/tmp/kestrona-presence-bench-XXXXXX";
        g_sqlite_dir = ::mkdtemp(folder);
        return Start("sqlite:" + g_sqlite_dir + "/directory.db");
    }();
    static bool noted = (g_started.push_back(&server), true);
    (void)noted;
    return server;
}

Instance& Postgres() {
    static kestrona::test::PostgresCluster cluster;
    static Instance server = [] {
        // PostgreSQL's own durability settings, as in production.
        if (!cluster.Start(true)) {
            std::fprintf(stderr, "PostgreSQL: %s\n", cluster.Error().c_str());
            return Instance{};
        }
        Instance s = Start(cluster.CreateDatabase());
        s.database = cluster.Pid();
        return s;
    }();
    static bool noted = (g_started.push_back(&server), true);
    (void)noted;
    return server;
}

struct Sample {
    benchmark::IterationCount iterations = 0;
    double wall_us = 0;
    double server_us = 0;
    double db_us = 0;
};
std::map<std::string, std::vector<Sample>> g_samples;

enum class Kind { kQueryUser, kPresence64 };

void Measure(benchmark::State& state, Instance& (*instance)(), Kind kind, const std::string& name) {
    Instance& server = instance();
    if (server.numbers.size() < 2) {
        state.SkipWithError("the server did not start or nobody could log in");
        return;
    }
    const std::int32_t asker = server.numbers[0];
    Bytes request;
    std::string_view expected;
    if (kind == Kind::kQueryUser) {
        request = Record(rec::query::kWord, rec::query::kSize);
        rec::PutInt(request.data(), rec::query::kCaller, asker);
        expected = rec::query_result::kWord;
    } else {
        namespace f = rec::query_presence;
        request = Record(f::kWord, f::kSize);
        rec::PutInt(request.data(), f::kAsker, asker);
        rec::PutInt(request.data(), f::kCount, f::kMaxNumbers);
        for (std::size_t i = 0; i < static_cast<std::size_t>(f::kMaxNumbers); ++i) {
            rec::PutInt(request.data(), f::kNumbers + 4 * i,
                        server.numbers[1 + i % (server.numbers.size() - 1)]);
        }
        expected = rec::presence_result::kWord;
    }
    std::size_t next = 1;
    double cpu0 = CpuSeconds(server.pid);
    double db0 = server.database > 0 ? ClusterCpuSeconds(server.database) : 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (kind == Kind::kQueryUser) {
            rec::PutInt(request.data(), rec::query::kCallee, server.numbers[next]);
            next = next + 1 < server.numbers.size() ? next + 1 : 1;
        }
        Bytes reply = Exchange(server.port, request);
        if (!StartsWith(reply, expected) ||
            (kind == Kind::kPresence64 &&
             rec::GetInt(reply.data(), rec::presence_result::kResult) != 0)) {
            state.SkipWithError("unexpected reply");
            break;
        }
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = CpuSeconds(server.pid) - cpu0;
    double db = server.database > 0 ? ClusterCpuSeconds(server.database) - db0 : 0;
    auto n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["server_us"] = cpu * 1e6 / n;
    if (server.database > 0) {
        state.counters["db_us"] = db * 1e6 / n;
    }
    g_samples[name].push_back({state.iterations(), wall * 1e6 / n, cpu * 1e6 / n, db * 1e6 / n});
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Medians over the repetitions only (the runs that find the iteration count
// are shorter and left out).
Sample MedianOf(const std::string& name) {
    const std::vector<Sample>& all = g_samples[name];
    benchmark::IterationCount most = 0;
    for (const Sample& s : all) {
        most = std::max(most, s.iterations);
    }
    std::vector<double> wall, server, db;
    for (const Sample& s : all) {
        if (s.iterations == most) {
            wall.push_back(s.wall_us);
            server.push_back(s.server_us);
            db.push_back(s.db_us);
        }
    }
    return {most, Median(wall), Median(server), Median(db)};
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    for (auto [backend, instance] : {std::pair{std::string("Sqlite"), &Sqlite},
                                     std::pair{std::string("Postgres"), &Postgres}}) {
        for (auto [label, kind] : {std::pair{"QueryUser", Kind::kQueryUser},
                                   std::pair{"Presence64", Kind::kPresence64}}) {
            std::string name = std::string("BM_") + label + "/" + backend;
            benchmark::RegisterBenchmark(name.c_str(), Measure, instance, kind, name)
                ->UseRealTime()
                ->MinTime(1.0)
                ->Repetitions(5)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    // The cases of both kinds take turns, so that what else the machine does
    // falls on both alike.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nPresence of 64 numbers against one QUERYUSER (medians of the repetitions):\n");
    for (const char* backend : {"Sqlite", "Postgres"}) {
        std::string q = std::string("BM_QueryUser/") + backend;
        std::string p = std::string("BM_Presence64/") + backend;
        if (g_samples[q].empty() || g_samples[p].empty()) {
            continue;
        }
        Sample a = MedianOf(q);
        Sample b = MedianOf(p);
        auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
        std::printf(
            "  %-8s QUERYUSER %.1f us (server %.1f us CPU, database %.1f), QUERYPRESENCE x64 "
            "%.1f us (server %.1f, database %.1f)\n"
            "           ratio: exchange %.2f, server CPU %.2f%s, server and database CPU %.2f "
            "(goal <= 2)\n",
            backend, a.wall_us, a.server_us, a.db_us, b.wall_us, b.server_us, b.db_us,
            ratio(b.wall_us, a.wall_us), ratio(b.server_us, a.server_us),
            ratio(b.server_us, a.server_us) <= 2 ? " (met)" : " (NOT met)",
            ratio(b.server_us + b.db_us, a.server_us + a.db_us));
    }
    for (Instance* server : g_started) {
        Stop(*server);
    }
    if (!g_sqlite_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_sqlite_dir, ec);
    }
    return 0;
}
