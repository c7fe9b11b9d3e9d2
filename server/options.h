// Command line of kestrona-server.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/relay.h"

namespace kestrona::server {

struct Options {
    std::string db_path;     // empty: the per-user default; or postgresql://…
    int db_connections = 0;  // PostgreSQL pool; 0: one per thread and one more
    std::string listen_address = "0.0.0.0";
    std::uint16_t port = 10004;
    bool no_plain = false;
    std::optional<std::uint16_t> tls_port;
    std::string tls_certificate;  // PEM chain
    std::string tls_key;          // PEM
    std::int32_t first_number = 10000;
    std::int32_t live_period_s = 60;
    std::optional<std::int32_t> session_timeout_s;  // default three live periods
    std::string welcome;                            // UTF-8
    std::string notice;                             // UTF-8
    std::chrono::milliseconds idle_timeout{5000};
    int max_per_address = 64;
    int max_connections = 4096;
    int threads = 2;
    int hash_threads = 1;
    int store_threads = 4;
    int store_queue = 1024;
    std::chrono::milliseconds request_deadline{2000};
    int max_pending_hashes = 32;
    bool minimum_hash_cost = false;
    std::vector<std::string> trusted_proxies;  // CIDR ranges, checked by the parser
    bool proxy_only = false;
    std::string metrics;  // ADDR:PORT, empty: no metrics listener
    int login_failures_per_address = 10;
    int login_failures_per_number = 10;
    std::int32_t login_failure_window_s = 120;
    std::int32_t login_cooldown_s = 300;
    std::int32_t login_cooldown_max_s = 3600;
    int registrations_per_hour = 10;
    int presence_lookups_per_number = 20;
    int presence_lookups_per_address = 40;
    std::vector<RelaySpec> turn;  // relays offered to phones
    std::string turn_secret_file;
    std::int32_t turn_ttl_s = 86400;
    bool quiet = false;
    bool help = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the command line was understood
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);
std::string HelpText();
// $XDG_DATA_HOME/kestrona/directory.db, or ~/.local/share/kestrona/directory.db.
std::string DefaultDatabasePath();

// Splits "ADDR:PORT" ("[::1]:9100" for IPv6); false when it is not one.
bool SplitHostPort(const std::string& text, std::string& address, std::uint16_t& port);

}  // namespace kestrona::server
