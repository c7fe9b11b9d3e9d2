#include "server/relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>

#include "server/records.h"

namespace kestrona::server {

namespace {

constexpr std::string_view kTlsPrefix = "tls:";

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// Milliseconds left until until, for poll; 0 once it has passed.
int MsLeft(std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Waits for events on fd, restarting after signals, until until.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point until) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, MsLeft(until));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

// Whether what came so far is, or may still become, a greeting.
enum class Greeting { kComplete, kPartial, kNot };

Greeting ReadGreeting(std::string_view got) {
    for (std::string_view word : {std::string_view("ACCEPT"), std::string_view("RCRESULTBUSY")}) {
        std::size_t n = std::min(got.size(), word.size());
        if (got.substr(0, n) != word.substr(0, n)) {
            continue;
        }
        if (n == word.size()) {
            return Greeting::kComplete;
        }
        return Greeting::kPartial;
    }
    return Greeting::kNot;
}

}  // namespace

bool ParseRelaySpec(const std::string& text, RelaySpec& out, std::string* error) {
    std::string_view rest(text);
    RelaySpec spec;
    if (rest.starts_with(kTlsPrefix)) {
        spec.tls = true;
        rest.remove_prefix(kTlsPrefix.size());
    }
    std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        *error = "not [tls:]HOST:PORT: " + text;
        return false;
    }
    std::string_view host = rest.substr(0, colon);
    std::string_view digits = rest.substr(colon + 1);
    if (!std::all_of(host.begin(), host.end(), HostCharacter)) {
        *error = "not a host name or IPv4 address: " + std::string(host);
        return false;
    }
    if (host.size() >= records::relay_creds_result::kHostField) {
        *error = "host name longer than " +
                 std::to_string(records::relay_creds_result::kHostField - 1) +
                 " characters: " + std::string(host);
        return false;
    }
    unsigned port = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || port == 0 ||
        port > 65535) {
        *error = "not a port from 1 to 65535: " + std::string(digits);
        return false;
    }
    spec.host = std::string(host);
    spec.port = static_cast<std::uint16_t>(port);
    out = std::move(spec);
    return true;
}

std::vector<std::string> ResolveIpv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        throw std::runtime_error("relay " + host + ": cannot resolve: " + ::gai_strerror(rc));
    }
    std::vector<std::string> addresses;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        char text[INET_ADDRSTRLEN];
        if (a->ai_family == AF_INET && ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    ::freeaddrinfo(found);
    if (addresses.empty()) {
        throw std::runtime_error("relay " + host + ": no IPv4 address");
    }
    return addresses;
}

RelayConfig LoadRelayConfig(const std::vector<RelaySpec>& specs, const std::string& secret_file,
                            std::chrono::seconds ttl) {
    RelayConfig config;
    config.ttl = ttl;
    if (specs.empty()) {
        return config;
    }
    std::ifstream in(secret_file);
    if (!in) {
        throw std::runtime_error("--turn-secret-file " + secret_file +
                                 ": cannot read: " + std::strerror(errno));
    }
    std::string line;
    std::getline(in, line);
    const char* space = " \t\r\n\v\f";
    std::size_t first = line.find_first_not_of(space);
    if (first == std::string::npos) {
        throw std::runtime_error("--turn-secret-file " + secret_file +
                                 ": the first line holds no secret");
    }
    config.secret = line.substr(first, line.find_last_not_of(space) + 1 - first);
    for (const RelaySpec& spec : specs) {
        config.relays.push_back({spec, ResolveIpv4(spec.host)});
    }
    return config;
}

std::string HmacSha1Base64(const std::string& key, const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
              &length)) {
        throw std::runtime_error("cannot compute HMAC-SHA1");
    }
    // Four characters for every three bytes, and the terminator.
    unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    int n = EVP_EncodeBlock(text, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n));
}

RelayCredentials MakeRelayCredentials(const std::string& secret, std::int32_t number,
                                      std::int64_t now_s, std::chrono::seconds ttl) {
    RelayCredentials c;
    c.username = std::to_string(now_s + ttl.count()) + ":" + std::to_string(number);
    c.password = HmacSha1Base64(secret, c.username);
    return c;
}

std::pair<std::size_t, std::optional<std::size_t>> ChooseRelays(std::int32_t number,
                                                                std::size_t count) {
    if (count == 0) {
        return {0, std::nullopt};
    }
    // FNV-1a over the number's four bytes: the same on every instance and
    // every build, which std::hash does not promise.
    auto v = static_cast<std::uint32_t>(number);
    std::uint32_t h = 2166136261u;
    for (int i = 0; i < 4; ++i) {
        h ^= (v >> (8 * i)) & 0xFFu;
        h *= 16777619u;
    }
    std::size_t first = h % count;
    if (count == 1) {
        return {first, std::nullopt};
    }
    return {first, (first + 1) % count};
}

const Relay* RelayHolding(const RelayConfig& config, const std::string& address,
                          std::int32_t number) {
    auto holds = [&](const Relay& r) {
        return std::find(r.addresses.begin(), r.addresses.end(), address) != r.addresses.end();
    };
    auto [first, second] = ChooseRelays(number, config.relays.size());
    if (config.relays.empty()) {
        return nullptr;
    }
    if (holds(config.relays[first])) {
        return &config.relays[first];
    }
    if (second && holds(config.relays[*second])) {
        return &config.relays[*second];
    }
    for (const Relay& r : config.relays) {
        if (holds(r)) {
            return &r;
        }
    }
    return nullptr;
}

std::optional<std::string> CanonicalIpv4(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) {
        return std::nullopt;
    }
    char out[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &a, out, sizeof out);
    return std::string(out);
}

ReachVerdict ProbeReach(const std::string& address, std::uint16_t port,
                        std::chrono::milliseconds connect_within,
                        std::chrono::steady_clock::time_point until) {
    sockaddr_storage target{};
    socklen_t target_size = 0;
    int family = AF_INET;
    if (in_addr a{}; ::inet_pton(AF_INET, address.c_str(), &a) == 1) {
        auto* in = reinterpret_cast<sockaddr_in*>(&target);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr = a;
        target_size = sizeof(sockaddr_in);
    } else if (in6_addr a6{}; ::inet_pton(AF_INET6, address.c_str(), &a6) == 1) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&target);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        in6->sin6_addr = a6;
        target_size = sizeof(sockaddr_in6);
        family = AF_INET6;
    } else {
        return ReachVerdict::kUnreachable;
    }
    Socket s(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (s.fd() < 0) {
        return ReachVerdict::kUnreachable;
    }
    auto connected_by = std::min(until, std::chrono::steady_clock::now() + connect_within);
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&target), target_size) != 0) {
        if (errno != EINPROGRESS || !WaitFor(s.fd(), POLLOUT, connected_by)) {
            return ReachVerdict::kUnreachable;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            return ReachVerdict::kUnreachable;
        }
    }
    char buffer[12];
    std::size_t got = 0;
    while (got < sizeof buffer) {
        if (!WaitFor(s.fd(), POLLIN, until)) {
            return ReachVerdict::kUnreachable;
        }
        ssize_t n = ::recv(s.fd(), buffer + got, sizeof buffer - got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return ReachVerdict::kUnreachable;
        }
        got += static_cast<std::size_t>(n);
        switch (ReadGreeting({buffer, got})) {
            case Greeting::kComplete:
                return ReachVerdict::kReachable;
            case Greeting::kNot:
                return ReachVerdict::kUnreachable;
            case Greeting::kPartial:
                break;
        }
    }
    return ReachVerdict::kUnreachable;
}

}  // namespace kestrona::server
