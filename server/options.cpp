#include "server/options.h"

#include <asio/ip/address.hpp>
#include <charconv>
#include <sstream>

#include <cstdlib>
#include <limits>
#include "server/metrics_endpoint.h"
#include "server/proxy_header.h"

namespace kestrona::server {

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T low, T high, T& out) {
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

}  // namespace

std::string HelpText() {
    return R"(Usage: kestrona-server [OPTION]...
       kestrona-server admin sessions|remove NUMBER|set-password NUMBER [--db DB]
       kestrona-server migrate --from DB --to DB
The Kestrona directory server: registers subscribers, checks logins, keeps the
sessions of logged-in phones and tells callers where a number can be reached.
Every connection is greeted, answers one request and is closed.

  --db PATH|URI           SQLite database file (PATH or sqlite:PATH), created
                          when missing (default $XDG_DATA_HOME/kestrona/directory.db,
                          i.e. ~/.local/share/kestrona/directory.db); or a
                          PostgreSQL database, postgresql://USER@HOST:PORT/NAME,
                          which several instances can share
  --db-connections N      connections to PostgreSQL per instance (default: one
                          per store and hashing thread, and one more)
  --listen ADDR           address to listen on (default 0.0.0.0)
  --port N                TCP port (default 10004, the phones' default)
  --tls-port N            also serve the same exchanges inside TLS (1.2 or
                          1.3) on this TCP port; needs --tls-cert and --tls-key
  --tls-cert FILE         the TLS certificate, PEM, followed by any
                          intermediate certificates
  --tls-key FILE          its private key, PEM, unencrypted
  --no-plain              serve TLS only: no plain listener on --port (phones
                          without TLS can then not reach this server)
  --first-number N        first number that registration gives out (default 10000)
  --live-period SECONDS   keep-alive period sent to phones at login (default 60)
  --session-timeout SECONDS
                          a session without keep-alive for this long is dropped
                          (default three keep-alive periods)
  --welcome TEXT          welcome text sent at login, at most 49 bytes in code
                          page 936 (UTF-8 here; longer text is cut)
  --notice TEXT           notice sent at login, at most 149 bytes in code page 936
  --idle-timeout MS       a connection must send its whole request within this
                          many milliseconds, TLS handshake included (default 5000)
  --max-per-address N     open connections allowed from one address; more are
                          answered GENERALERROR and closed (default 64, 0: no limit)
  --max-connections N     open connections in all (default 4096, 0: no limit)
  --threads N             threads serving connections (default 2)
  --hash-threads N        threads checking passwords (default 1)
  --store-threads N       threads doing the database work of every other
                          request (default 4); the threads serving
                          connections never wait on the database
  --store-queue N         requests waiting for those threads; more are
                          answered GENERALERROR at once (default 1024)
  --request-deadline MS   every request is answered within this many
                          milliseconds of its arrival; one the database has
                          not answered by then gets GENERALERROR, which phones
                          take as "try again" (default 2000)
  --max-pending-hashes N   logins and registrations waiting for a password
                          check; more are answered GENERALERROR (default 32)
  --trusted-proxy CIDR... load balancers (address ranges such as 10.0.0.0/8 or
                          a single address; several may follow, or be given
                          with commas, or the option repeated) whose
                          connections begin with a PROXY protocol header (v1
                          or v2); the client address in it is then the one
                          look-ups give out and limits count. Such a
                          connection without a header is refused, and so is a
                          header from any other address. On the TLS port the
                          header comes before the TLS handshake
  --proxy-only            refuse every connection that does not come from a
                          trusted proxy
  --metrics ADDR:PORT     serve counters in the Prometheus text format at
                          http://ADDR:PORT/metrics (default: none)
  --login-failures-per-address N
                          failed logins from one address within the window
                          that start a cool-down for that address (default 10,
                          0: no limit)
  --login-failures-per-number N
                          failed logins for one number from addresses it has
                          not logged in from that start a cool-down for the
                          number; its owner's usual addresses still get in
                          (default 10, 0: no limit)
  --login-failure-window SECONDS
                          the window in which failures count (default 120)
  --login-cooldown SECONDS
                          the first cool-down; each further one doubles
                          (default 300). Logins during a cool-down are refused
                          (login result 1) without a password check
  --login-cooldown-max SECONDS
                          the longest cool-down (default 3600)
  --registrations-per-hour N
                          registrations allowed from one address per hour;
                          more are answered GENERALERROR (default 10, 0: no limit)
  --presence-lookups-per-number N
                          presence look-ups one number may ask per minute of
                          this instance (default 20, 0: no limit)
  --presence-lookups-per-address N
                          presence look-ups from one address per minute of this
                          instance (default 40, 0: no limit)
  --turn [tls:]HOST:PORT  a relay (TURN over TCP; tls: for a TLS listener) that
                          phones nobody can dial into use; repeat for more.
                          Each phone is handed one chosen by its number, and
                          the next as its fallback.
                          HOST is resolved to its IPv4 addresses at start:
                          phones may announce relayed addresses on these only
  --turn-secret-file FILE the secret shared with the relays, on the first line
                          of FILE; needed with --turn
  --turn-ttl SECONDS      how long relay credentials stay valid (default 86400)
  --minimum-hash-cost     hash new passwords with argon2id's lowest cost instead
                          of libsodium's interactive cost; for trials only
  --quiet                 no log line per exchange
  --help                  show this text and exit

Each exchange logs one line to standard error: UTC time, peer address and
port, command, result.
)";
}

std::string DefaultDatabasePath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else {
        base = ".";
    }
    return base + "/kestrona/directory.db";
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    constexpr auto kIntMax = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                parsed.error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](auto& out, auto low, auto high) {
            std::string text;
            if (!value(text)) {
                return false;
            }
            using T = std::remove_reference_t<decltype(out)>;
            if (!ParseNumber<T>(text, static_cast<T>(low), static_cast<T>(high), out)) {
                parsed.error = arg + ": not a number from " + std::to_string(low) + " to " +
                               std::to_string(high) + ": " + text;
                return false;
            }
            return true;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--db") {
            ok = value(o.db_path);
        } else if (arg == "--db-connections") {
            ok = number(o.db_connections, 1, 256);
        } else if (arg == "--listen") {
            ok = value(o.listen_address);
        } else if (arg == "--port") {
            ok = number(o.port, 0, 65535);
        } else if (arg == "--tls-port") {
            std::uint16_t port = 0;
            ok = number(port, 0, 65535);
            o.tls_port = port;
        } else if (arg == "--tls-cert") {
            ok = value(o.tls_certificate);
        } else if (arg == "--tls-key") {
            ok = value(o.tls_key);
        } else if (arg == "--no-plain") {
            o.no_plain = true;
        } else if (arg == "--first-number") {
            ok = number(o.first_number, 1, kIntMax);
        } else if (arg == "--live-period") {
            ok = number(o.live_period_s, 1, 86400);
        } else if (arg == "--session-timeout") {
            std::int32_t s = 0;
            ok = number(s, 1, 86400 * 3);
            o.session_timeout_s = s;
        } else if (arg == "--welcome") {
            ok = value(o.welcome);
        } else if (arg == "--notice") {
            ok = value(o.notice);
        } else if (arg == "--idle-timeout") {
            int ms = 0;
            ok = number(ms, 1, 600000);
            o.idle_timeout = std::chrono::milliseconds(ms);
        } else if (arg == "--max-per-address") {
            ok = number(o.max_per_address, 0, 1000000);
        } else if (arg == "--max-connections") {
            ok = number(o.max_connections, 0, 1000000);
        } else if (arg == "--threads") {
            ok = number(o.threads, 1, 64);
        } else if (arg == "--hash-threads") {
            ok = number(o.hash_threads, 1, 64);
        } else if (arg == "--store-threads") {
            ok = number(o.store_threads, 1, 64);
        } else if (arg == "--store-queue") {
            ok = number(o.store_queue, 1, 1000000);
        } else if (arg == "--request-deadline") {
            int ms = 0;
            ok = number(ms, 10, 600000);
            o.request_deadline = std::chrono::milliseconds(ms);
        } else if (arg == "--max-pending-hashes") {
            ok = number(o.max_pending_hashes, 1, 100000);
        } else if (arg == "--trusted-proxy") {
            std::string list;
            ok = value(list);
            // More ranges may follow as separate words until the next option.
            while (ok && i + 1 < args.size() && !args[i + 1].starts_with("-")) {
                list += "," + args[++i];
            }
            std::istringstream in(list);
            for (std::string cidr; ok && std::getline(in, cidr, ',');) {
                if (cidr.empty()) {
                    continue;
                }
                AddressRanges check;
                if (!check.Add(cidr)) {
                    parsed.error = "--trusted-proxy: not an address range: " + cidr;
                    ok = false;
                } else {
                    o.trusted_proxies.push_back(cidr);
                }
            }
        } else if (arg == "--proxy-only") {
            o.proxy_only = true;
        } else if (arg == "--metrics") {
            ok = value(o.metrics);
            std::string host;
            std::uint16_t port = 0;
            if (ok && !SplitHostPort(o.metrics, host, port)) {
                parsed.error = "--metrics: not ADDR:PORT: " + o.metrics;
                ok = false;
            }
        } else if (arg == "--login-failures-per-address") {
            ok = number(o.login_failures_per_address, 0, 1000000);
        } else if (arg == "--login-failures-per-number") {
            ok = number(o.login_failures_per_number, 0, 1000000);
        } else if (arg == "--login-failure-window") {
            ok = number(o.login_failure_window_s, 1, 86400);
        } else if (arg == "--login-cooldown") {
            ok = number(o.login_cooldown_s, 1, 86400);
        } else if (arg == "--login-cooldown-max") {
            ok = number(o.login_cooldown_max_s, 1, 86400 * 7);
        } else if (arg == "--registrations-per-hour") {
            ok = number(o.registrations_per_hour, 0, 1000000);
        } else if (arg == "--presence-lookups-per-number") {
            ok = number(o.presence_lookups_per_number, 0, 1000000);
        } else if (arg == "--presence-lookups-per-address") {
            ok = number(o.presence_lookups_per_address, 0, 1000000);
        } else if (arg == "--turn") {
            std::string text;
            RelaySpec spec;
            std::string why;
            ok = value(text);
            if (ok && !ParseRelaySpec(text, spec, &why)) {
                parsed.error = "--turn: " + why;
                ok = false;
            } else if (ok) {
                o.turn.push_back(std::move(spec));
            }
        } else if (arg == "--turn-secret-file") {
            ok = value(o.turn_secret_file);
        } else if (arg == "--turn-ttl") {
            ok = number(o.turn_ttl_s, 60, 86400 * 7);
        } else if (arg == "--minimum-hash-cost") {
            o.minimum_hash_cost = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else {
            parsed.error = "unknown option: " + arg;
            ok = false;
        }
        if (!ok) {
            return parsed;
        }
    }
    if (!o.turn.empty() && o.turn_secret_file.empty()) {
        parsed.error = "--turn needs --turn-secret-file";
    } else if (o.proxy_only && o.trusted_proxies.empty()) {
        parsed.error = "--proxy-only needs --trusted-proxy";
    } else if ((o.tls_port || !o.tls_certificate.empty() || !o.tls_key.empty()) &&
               (!o.tls_port || o.tls_certificate.empty() || o.tls_key.empty())) {
        parsed.error = "--tls-port, --tls-cert and --tls-key go together";
    } else if (o.no_plain && !o.tls_port) {
        parsed.error = "--no-plain needs --tls-port";
    } else if (o.tls_port && !o.no_plain && *o.tls_port == o.port && o.port != 0) {
        parsed.error = "--tls-port and --port must differ";
    }
    return parsed;
}

bool SplitHostPort(const std::string& text, std::string& address, std::uint16_t& port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    std::string_view digits(text.data() + colon + 1, text.size() - colon - 1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
        value > 65535) {
        return false;
    }
    std::error_code bad;
    asio::ip::make_address(host, bad);
    if (bad) {
        return false;
    }
    address = host;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace kestrona::server
