// kestrona-server: the directory server of the Kestrona phones.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/admin.h"
#include "server/directory.h"
#include "server/metrics_endpoint.h"
#include "server/open_store.h"
#include "server/options.h"
#include "server/password.h"
#include "server/server.h"
#include "server/text.h"

using namespace kestrona::server;

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "admin") {
        return RunAdmin({args.begin() + 1, args.end()}, stdin, stdout, stderr);
    }
    if (!args.empty() && args[0] == "migrate") {
        return RunMigrate({args.begin() + 1, args.end()}, stdout, stderr);
    }
    ParsedOptions parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "kestrona-server: %s\nTry kestrona-server --help.\n",
                     parsed.error.c_str());
        return 2;
    }
    const Options& o = parsed.options;
    if (o.help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }

    // Block the stop signals before any thread starts, so only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Every open connection is a descriptor; the usual soft limit of 1024
    // would run out long before --max-connections.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    try {
        // Before the database is touched: a relay that cannot be resolved
        // or a missing secret stops the start.
        RelayConfig relay =
            LoadRelayConfig(o.turn, o.turn_secret_file, std::chrono::seconds(o.turn_ttl_s));
        std::string db_path = o.db_path.empty() ? DefaultDatabasePath() : o.db_path;
        int connections =
            o.db_connections ? o.db_connections : o.store_threads + o.hash_threads + 1;
        std::unique_ptr<SubscriberStore> store = OpenStore(db_path, connections);
        PasswordHasher hasher(o.minimum_hash_cost ? HashCost::Minimum() : HashCost::Interactive());
        DirectoryConfig dc;
        dc.first_number = o.first_number;
        dc.live_period_s = o.live_period_s;
        dc.session_timeout =
            std::chrono::seconds(o.session_timeout_s.value_or(3 * o.live_period_s));
        dc.welcome = Utf8ToCp936(o.welcome);
        dc.notice = Utf8ToCp936(o.notice);
        dc.relay = std::move(relay);
        dc.presence_lookups_per_number = o.presence_lookups_per_number;
        dc.presence_lookups_per_address = o.presence_lookups_per_address;
        Directory directory(*store, hasher, dc);

        ServerConfig sc;
        sc.listen_address = o.listen_address;
        sc.port = o.port;
        sc.plain = !o.no_plain;
        if (o.tls_port) {
            sc.tls_port = *o.tls_port;
            sc.tls_certificate = o.tls_certificate;
            sc.tls_key = o.tls_key;
        }
        sc.idle_timeout = o.idle_timeout;
        sc.max_per_address = o.max_per_address;
        sc.max_connections = o.max_connections;
        sc.io_threads = o.threads;
        sc.hash_threads = o.hash_threads;
        sc.store_threads = o.store_threads;
        sc.store_queue = static_cast<std::size_t>(o.store_queue);
        sc.request_deadline = o.request_deadline;
        sc.max_pending_hashes = o.max_pending_hashes;
        for (const std::string& cidr : o.trusted_proxies) {
            sc.trusted_proxies.Add(cidr);
        }
        sc.proxy_only = o.proxy_only;
        sc.live_period_s = o.live_period_s;
        sc.limits.address_failures = o.login_failures_per_address;
        sc.limits.number_failures = o.login_failures_per_number;
        sc.limits.failure_window = std::chrono::seconds(o.login_failure_window_s);
        sc.limits.cooldown = std::chrono::seconds(o.login_cooldown_s);
        sc.limits.max_cooldown =
            std::chrono::seconds(std::max(o.login_cooldown_max_s, o.login_cooldown_s));
        sc.limits.registrations_per_hour = o.registrations_per_hour;
        if (!o.metrics.empty()) {
            SplitHostPort(o.metrics, sc.metrics_address, sc.metrics_port);
        }
        static std::mutex log_mutex;
        if (!o.quiet) {
            sc.log = [](std::string_view line) {
                std::lock_guard lock(log_mutex);
                std::fwrite(line.data(), 1, line.size(), stderr);
                std::fputc('\n', stderr);
            };
        }
        Server server(sc, directory);
        server.Start();
        if (server.port() != 0) {
            std::fprintf(stderr, "kestrona-server: listening on %s port %u, database %s\n",
                         o.listen_address.c_str(), static_cast<unsigned>(server.port()),
                         IsPostgresSpec(db_path) ? "PostgreSQL" : db_path.c_str());
        }
        if (server.tls_port() != 0) {
            std::fprintf(stderr, "kestrona-server: listening for TLS on %s port %u, database %s\n",
                         o.listen_address.c_str(), static_cast<unsigned>(server.tls_port()),
                         IsPostgresSpec(db_path) ? "PostgreSQL" : db_path.c_str());
        }
        if (server.metrics_port() != 0) {
            std::fprintf(stderr, "kestrona-server: metrics on %s port %u\n",
                         sc.metrics_address.c_str(), static_cast<unsigned>(server.metrics_port()));
        }
        int signal = 0;
        sigwait(&stop_signals, &signal);
        std::fprintf(stderr, "kestrona-server: stopping on signal %d\n", signal);
        server.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrona-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
