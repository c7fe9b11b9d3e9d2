// What TLS costs the directory server. Starts kestrona-server with both
// listeners on a temporary database, registers a few subscribers and logs
// them in, then runs closed loops of look-ups (a new connection for each, as
// phones make them) alternately on the plain and the TLS port, and prints
// exchanges per second, latency percentiles and the server's CPU time per
// exchange for each, with the ratios. The TLS clients verify the server's
// certificate and make a full handshake each time, as phones do.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/server_bench_util.h"
#include "server/records.h"
#include "support/test_certs.h"

extern char** environ;

namespace {

using kestrona::bench::CpuSeconds;

namespace rec = kestrona::server::records;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct Settings {
    int clients = 16;
    double seconds = 4;
    int rounds = 2;
    int server_threads = 2;
};

Bytes Word(std::string_view word, std::size_t size) {
    Bytes r(size, 0);
    std::memcpy(r.data(), word.data(), word.size());
    return r;
}

int Connect(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One exchange: greeting, request, reply to the end. ctx null: plain.
Bytes Exchange(std::uint16_t port, SSL_CTX* ctx, const Bytes& request) {
    Bytes reply;
    int fd = Connect(port);
    if (fd < 0) {
        return reply;
    }
    SSL* ssl = nullptr;
    auto read = [&](std::uint8_t* into, std::size_t n) -> long {
        return ssl ? SSL_read(ssl, into, static_cast<int>(n)) : ::recv(fd, into, n, 0);
    };
    if (ctx) {
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");
        if (SSL_connect(ssl) != 1) {
            ERR_clear_error();
            SSL_free(ssl);
            ::close(fd);
            return reply;
        }
    }
    std::uint8_t buffer[512];
    std::size_t got = 0;
    while (got < 6) {
        long n = read(buffer + got, 6 - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    bool sent = got == 6 && (ssl ? SSL_write(ssl, request.data(), static_cast<int>(request.size()))
                                 : ::send(fd, request.data(), request.size(), MSG_NOSIGNAL)) ==
                                static_cast<long>(request.size());
    while (sent) {
        long n = read(buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        reply.insert(reply.end(), buffer, buffer + n);
    }
    if (ssl) {
        ERR_clear_error();
        SSL_free(ssl);
    }
    ::close(fd);
    return reply;
}

std::uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

struct Result {
    double per_second = 0;
    double p50 = 0, p99 = 0;
    double cpu_us = 0;  // server CPU per exchange
    long failures = 0;
};

Result Run(const Settings& s, pid_t server, std::uint16_t port, SSL_CTX* ctx,
           const std::vector<std::int32_t>& numbers) {
    std::vector<std::vector<double>> latency(static_cast<std::size_t>(s.clients));
    std::atomic<long> failures{0};
    double cpu0 = CpuSeconds(server);
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(s.seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < s.clients; ++c) {
        threads.emplace_back([&, c] {
            for (long i = c; Clock::now() < end; i += s.clients) {
                Bytes q = Word(rec::query::kWord, rec::query::kSize);
                rec::PutInt(q.data(), rec::query::kCaller, numbers[0]);
                rec::PutInt(q.data(), rec::query::kCallee,
                            numbers[static_cast<std::size_t>(i) % numbers.size()]);
                auto t0 = Clock::now();
                Bytes reply = Exchange(port, ctx, q);
                if (reply.size() != rec::query_result::kSize) {
                    ++failures;
                    continue;
                }
                latency[static_cast<std::size_t>(c)].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = CpuSeconds(server) - cpu0;
    std::vector<double> all;
    for (auto& l : latency) {
        all.insert(all.end(), l.begin(), l.end());
    }
    std::sort(all.begin(), all.end());
    Result r;
    r.failures = failures;
    if (!all.empty()) {
        r.per_second = static_cast<double>(all.size()) / elapsed;
        r.p50 = all[all.size() / 2];
        r.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
        r.cpu_us = cpu * 1e6 / static_cast<double>(all.size());
    }
    return r;
}

void Print(const char* name, const Result& r) {
    std::printf(
        "  %-5s %8.0f exchanges/s  p50 %6.3f ms  p99 %6.3f ms  server CPU %6.1f us/exchange"
        "  %ld failed\n",
        name, r.per_second, r.p50, r.p99, r.cpu_us, r.failures);
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::atof(argv[++i]) : 0.0; };
        if (a == "--clients") {
            s.clients = std::max(1, static_cast<int>(next()));
        } else if (a == "--seconds") {
            s.seconds = next();
        } else if (a == "--rounds") {
            s.rounds = std::max(1, static_cast<int>(next()));
        } else if (a == "--server-threads") {
            s.server_threads = std::max(1, static_cast<int>(next()));
        } else {
            std::puts(
                "Usage: server_tls_load [--clients N] [--seconds S] [--rounds N] "
                "[--server-threads N]\n"
                "Look-ups per second, latency and the server's CPU per exchange on the plain\n"
                "and the TLS port of one kestrona-server, each exchange on a new connection,\n"
                "the two taking turns for N rounds.");
            return a == "--help" ? 0 : 2;
        }
    }
    char pattern[] = "/tmp/kestrona-tls-load-XXXXXX";
    std::filesystem::path dir = ::mkdtemp(pattern);
    kestrona::test::TestCertificates certs(dir.string());
    std::uint16_t plain = FreePort();
    std::uint16_t tls = FreePort();
    std::vector<std::string> args{KESTRONA_SERVER_BINARY,
                                  "--db",
                                  (dir / "load.db").string(),
                                  "--listen",
                                  "127.0.0.1",
                                  "--port",
                                  std::to_string(plain),
                                  "--tls-port",
                                  std::to_string(tls),
                                  "--tls-cert",
                                  certs.good.certificate,
                                  "--tls-key",
                                  certs.good.key,
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
    std::vector<char*> argvs;
    for (auto& a : args) {
        argvs.push_back(a.data());
    }
    argvs.push_back(nullptr);
    pid_t server = 0;
    if (posix_spawn(&server, argvs[0], nullptr, nullptr, argvs.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", KESTRONA_SERVER_BINARY);
        return 1;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, certs.authority.certificate.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);

    // Subscribers that are online, so that every look-up finds its number.
    std::vector<std::int32_t> numbers;
    for (int i = 0; i < 16; ++i) {
        namespace f = rec::register_new;
        Bytes r = Word(f::kWord, f::kSize);
        std::string email = "tls" + std::to_string(i) + "@bench";
        std::memcpy(r.data() + f::kName, "load", 4);
        std::memcpy(r.data() + f::kPassword, "benchpw", 7);
        std::memcpy(r.data() + f::kEmail, email.data(), email.size());
        Bytes reply;
        for (int tries = 0; tries < 100 && reply.empty(); ++tries) {
            reply = Exchange(plain, nullptr, r);
            if (reply.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (reply.size() < 22) {
            std::fprintf(stderr, "registration failed\n");
            ::kill(server, SIGTERM);
            return 1;
        }
        std::int32_t number = rec::GetInt(reply.data(), 18);
        Bytes login = Word(rec::login::kWord, rec::login::kSize);
        rec::PutInt(login.data(), rec::login::kNumber, number);
        std::memcpy(login.data() + rec::login::kPassword, "benchpw", 7);
        rec::PutInt(login.data(), rec::login::kPort, 7000);
        Exchange(tls, ctx, login);
        numbers.push_back(number);
    }

    std::printf(
        "kestrona-server, %d threads; %d clients, look-ups, a new connection each, "
        "%.0f s per run\n",
        s.server_threads, s.clients, s.seconds);
    std::vector<double> ratios, cpu_ratios;
    for (int round = 1; round <= s.rounds; ++round) {
        std::printf("round %d\n", round);
        Result p = Run(s, server, plain, nullptr, numbers);
        Print("plain", p);
        Result t = Run(s, server, tls, ctx, numbers);
        Print("TLS", t);
        if (p.per_second > 0 && t.per_second > 0) {
            ratios.push_back(t.per_second / p.per_second);
            cpu_ratios.push_back(t.cpu_us / p.cpu_us);
        }
    }
    for (std::size_t i = 0; i < ratios.size(); ++i) {
        std::printf("round %zu: TLS/plain exchanges/s %.2f, server CPU per exchange %.2fx\n", i + 1,
                    ratios[i], cpu_ratios[i]);
    }
    SSL_CTX_free(ctx);
    ::kill(server, SIGTERM);
    int status = 0;
    ::waitpid(server, &status, 0);
    std::filesystem::remove_all(dir);
    return 0;
}
