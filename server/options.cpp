#include "server/options.h"

#include <charconv>
#include <cstdlib>
#include <limits>

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
The Kestrona directory server: registers subscribers, checks logins, keeps the
sessions of logged-in phones and tells callers where a number can be reached.
Every connection is greeted, answers one request and is closed.

  --db PATH               SQLite database file, created when missing
                          (default $XDG_DATA_HOME/kestrona/directory.db,
                          i.e. ~/.local/share/kestrona/directory.db)
  --listen ADDR           address to listen on (default 0.0.0.0)
  --port N                TCP port (default 10004, the phones' default)
  --first-number N        first number that registration gives out (default 10000)
  --live-period SECONDS   keep-alive period sent to phones at login (default 60)
  --session-timeout SECONDS
                          a session without keep-alive for this long is dropped
                          (default three keep-alive periods)
  --welcome TEXT          welcome text sent at login, at most 49 bytes in code
                          page 936 (UTF-8 here; longer text is cut)
  --notice TEXT           notice sent at login, at most 149 bytes in code page 936
  --idle-timeout MS       a connection must send its whole request within this
                          many milliseconds (default 5000)
  --max-per-address N     open connections allowed from one address; more are
                          answered GENERALERROR and closed (default 64, 0: no limit)
  --max-connections N     open connections in all (default 4096, 0: no limit)
  --threads N             threads serving connections (default 2)
  --hash-threads N        threads checking passwords (default 1)
  --max-pending-hashes N   logins and registrations waiting for a password
                          check; more are answered GENERALERROR (default 32)
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
        } else if (arg == "--listen") {
            ok = value(o.listen_address);
        } else if (arg == "--port") {
            ok = number(o.port, 0, 65535);
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
        } else if (arg == "--max-pending-hashes") {
            ok = number(o.max_pending_hashes, 1, 100000);
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
    return parsed;
}

}  // namespace kestrona::server
