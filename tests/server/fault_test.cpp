// The server under load while its PostgreSQL stops answering: stopped by
// signal, and cut off by a firewall rule that drops its packets. Each
// exchange is answered within its deadline and a second, the health check
// turns within three seconds, a stop does not wait for the database, the
// service is back within two seconds of the database, and nothing that was
// registered is lost or given twice.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "raw_client.h"
#include "server_process.h"
#include "server_test_util.h"
#include "support/postgres_fixture.h"

namespace kestrona::server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Bytes;
namespace rec = records;

constexpr auto kDeadline = 2000ms;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

Bytes Talk(std::uint16_t port, const Bytes& record) {
    test::RawClient client(port, 15);
    if (client.ReadExactly(6).size() != 6) {
        return {};
    }
    client.Send(record);
    return client.ReadToEnd();
}

int HealthStatus(std::uint16_t port) {
    std::string response = test::HttpGet(port, "/healthz");
    if (response.rfind("HTTP/1.1 200", 0) == 0) {
        return 200;
    }
    return response.rfind("HTTP/1.1 503", 0) == 0 ? 503 : 0;
}

struct Registered {
    std::int32_t number;
    std::string password;
};

// Runs the whole scenario on cluster; outage(true) begins the outage and
// outage(false) ends it. Returns what went wrong, one line each; the
// figures measured go to standard output.
std::vector<std::string> OutageUnderLoad(kestrona::test::PostgresCluster& cluster,
                                         const std::function<bool(bool)>& outage) {
    std::vector<std::string> problems;
    auto problem = [&](const std::string& what) { problems.push_back(what); };
    std::string db = cluster.CreateDatabase();
    if (db.empty()) {
        return {"cannot create a database: " + cluster.Error()};
    }
    std::uint16_t metrics = static_cast<std::uint16_t>(kestrona::test::FreeLoopbackPort());
    auto server = std::make_unique<test::ServerProcess>(
        db, 0,
        std::vector<std::string>{"--metrics", "127.0.0.1:" + std::to_string(metrics),
                                 "--request-deadline", std::to_string(kDeadline.count()),
                                 "--registrations-per-hour", "0"});
    std::uint16_t port = server->port();
    if (port == 0) {
        return {"the server did not start: " + server->first_line()};
    }

    std::mutex mutex;
    std::vector<Registered> registered;
    auto register_one = [&](const std::string& email) {
        Bytes reply = Talk(port, test::RegisterRecord("n", "pw-" + email, email));
        if (test::Prefix(reply, 18) != "REGISTERNEWSUCCESS" || reply.size() < 22) {
            return false;
        }
        std::lock_guard lock(mutex);
        registered.push_back({rec::GetInt(reply.data(), 18), "pw-" + email});
        return true;
    };
    for (int i = 0; i < 12; ++i) {
        if (!register_one("first" + std::to_string(i) + "@x")) {
            return {"registration before the outage failed"};
        }
    }
    std::vector<Registered> first = registered;
    for (const Registered& r : first) {
        Talk(port, test::LoginRecord(r.number, r.password, 7000));
    }

    // Load: keep-alives, look-ups and registrations from several clients,
    // each exchange timed from connect to the server's close.
    std::atomic<bool> stop{false};
    std::atomic<long> exchanges{0};
    std::atomic<long> unanswered{0};
    std::atomic<long> slowest_us{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                const Registered& me = first[static_cast<std::size_t>(t + i) % first.size()];
                auto began = Clock::now();
                Bytes reply;
                if (i % 10 == 9) {
                    std::string email = "load" + std::to_string(t) + "_" + std::to_string(i) + "@x";
                    reply = Talk(port, test::RegisterRecord("n", "pw-" + email, email));
                    if (test::Prefix(reply, 18) == "REGISTERNEWSUCCESS" && reply.size() >= 22) {
                        std::lock_guard lock(mutex);
                        registered.push_back({rec::GetInt(reply.data(), 18), "pw-" + email});
                    }
                } else if (i % 2 == 0) {
                    reply = Talk(port, test::LiveRecord(me.number));
                } else {
                    reply = Talk(port, test::QueryRecord(me.number, first[0].number));
                }
                long took = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began)
                        .count());
                ++exchanges;
                if (reply.empty()) {
                    ++unanswered;
                }
                long seen = slowest_us.load();
                while (took > seen && !slowest_us.compare_exchange_weak(seen, took)) {
                }
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    std::this_thread::sleep_for(1s);
    if (HealthStatus(metrics) != 200) {
        problem("/healthz is not 200 before the outage");
    }

    // The outage: ten seconds.
    if (!outage(true)) {
        problem("cannot begin the outage");
    }
    auto began = Clock::now();
    std::optional<Clock::duration> to_503;
    while (Clock::now() - began < 10s) {
        if (!to_503 && HealthStatus(metrics) == 503) {
            to_503 = Clock::now() - began;
        }
        std::this_thread::sleep_for(100ms);
    }
    if (!outage(false)) {
        problem("cannot end the outage");
    }
    auto ended = Clock::now();
    std::optional<Clock::duration> to_service;
    std::optional<Clock::duration> to_200;
    while (Clock::now() - ended < 15s && (!to_service || !to_200)) {
        if (!to_service &&
            test::ReplyWord(Talk(port, test::LiveRecord(first[0].number))) == "GENERALCMDSUCCESS") {
            to_service = Clock::now() - ended;
        }
        if (!to_200 && HealthStatus(metrics) == 200) {
            to_200 = Clock::now() - ended;
        }
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(500ms);
    stop = true;
    for (std::thread& c : clients) {
        c.join();
    }
    std::printf(
        "outage: %ld exchanges, slowest %.2f s, /healthz 503 after %.2f s, service back %.2f s "
        "and /healthz 200 %.2f s after the database\n",
        exchanges.load(), slowest_us.load() / 1e6, to_503 ? Seconds(*to_503) : -1.0,
        to_service ? Seconds(*to_service) : -1.0, to_200 ? Seconds(*to_200) : -1.0);
    if (unanswered > 0) {
        problem(std::to_string(unanswered.load()) + " exchanges got no answer");
    }
    if (slowest_us.load() > std::chrono::microseconds(kDeadline + 1s).count()) {
        problem("an exchange took " + std::to_string(slowest_us.load() / 1e6) + " s");
    }
    if (!to_503 || *to_503 > 3s) {
        problem("/healthz did not turn 503 within 3 s");
    }
    if (!to_service || *to_service > 2s) {
        problem("the service was not back within 2 s of the database");
    }

    // Nothing registered is lost, no number was given twice.
    std::set<std::int32_t> numbers;
    for (const Registered& r : registered) {
        if (!numbers.insert(r.number).second) {
            problem("number " + std::to_string(r.number) + " given twice");
        }
        Bytes login = Talk(port, test::LoginRecord(r.number, r.password, 7000));
        if (login.size() != rec::login_result::kSize || rec::GetInt(login.data(), 20) != 0) {
            problem("subscriber " + std::to_string(r.number) + " cannot log in");
        }
    }
    std::printf("%zu subscribers registered, all unique and able to log in\n", registered.size());

    // A stop while the database does not answer, with work in flight.
    outage(true);
    std::atomic<bool> busy{true};
    std::thread late([&] {
        while (busy) {
            Talk(port, test::LiveRecord(first[0].number));
        }
    });
    std::this_thread::sleep_for(1s);
    auto stopping = Clock::now();
    server->Stop(SIGTERM);
    auto stopped = Clock::now() - stopping;
    busy = false;
    late.join();
    outage(false);
    std::printf("stop during the outage: %.2f s\n", Seconds(stopped));
    if (stopped > 5s) {
        problem("SIGTERM took " + std::to_string(Seconds(stopped)) + " s");
    }
    return problems;
}

TEST(ServerFault, ADatabaseStoppedBySignalUnderLoad) {
    kestrona::test::PostgresCluster cluster;
    ASSERT_TRUE(cluster.Start()) << cluster.Error() << cluster.Log();
    for (const std::string& p :
         OutageUnderLoad(cluster, [&](bool on) { return cluster.Freeze(on); })) {
        ADD_FAILURE() << p;
    }
}

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The database's packets dropped by nftables, in a network namespace of its
// own so that nothing else on the machine is touched. The scenario runs in a
// child process, which alone moves into the namespace.
TEST(ServerFault, ADatabaseCutOffByAFirewallUnderLoad) {
    if (::geteuid() != 0 || !Shell("command -v nft")) {
        GTEST_SKIP() << "needs root and nft to make a network namespace with a firewall";
    }
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        std::FILE* report = ::fdopen(out[1], "w");
        if (::unshare(CLONE_NEWNET) != 0 || !Shell("ip link set lo up")) {
            std::fputs("SKIP cannot make a network namespace\n", report);
            std::fclose(report);
            ::_exit(0);
        }
        kestrona::test::PostgresCluster cluster;
        if (!cluster.Start()) {
            std::fprintf(report, "FAIL %s\n", cluster.Error().c_str());
            std::fclose(report);
            ::_exit(0);
        }
        const std::string port = std::to_string(cluster.Port());
        auto drop = [&](bool on) {
            if (!on) {
                return Shell("nft delete table inet kestrona_fault");
            }
            return Shell("nft add table inet kestrona_fault") &&
                   Shell(
                       "nft add chain inet kestrona_fault out "
                       "'{ type filter hook output priority 0; }'") &&
                   Shell("nft add rule inet kestrona_fault out tcp dport " + port + " drop") &&
                   Shell("nft add rule inet kestrona_fault out tcp sport " + port + " drop");
        };
        std::fflush(stdout);
        for (const std::string& p : OutageUnderLoad(cluster, drop)) {
            std::fprintf(report, "FAIL %s\n", p.c_str());
        }
        std::fflush(stdout);
        std::fclose(report);
        ::_exit(0);
    }
    ::close(out[1]);
    std::FILE* in = ::fdopen(out[0], "r");
    char line[512];
    std::string skipped;
    while (std::fgets(line, sizeof line, in)) {
        std::string text(line);
        if (text.rfind("SKIP ", 0) == 0) {
            skipped = text.substr(5);
        } else {
            ADD_FAILURE() << text;
        }
    }
    std::fclose(in);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

}  // namespace
}  // namespace kestrona::server
