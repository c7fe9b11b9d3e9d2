// The PROXY protocol header (text version 1 and binary version 2) that a load
// balancer puts in front of the client's bytes to tell the server the client's
// real address, and the address ranges from which such a header is believed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrona::server {

// Longest header accepted: version 1 is at most 107 bytes; version 2 may carry
// extensions, which are skipped, up to this total.
inline constexpr std::size_t kMaxProxyHeader = 536;

enum class ProxyStatus {
    kNeedMore,  // a header may still be arriving
    kDone,      // a whole, valid header
    kNotProxy,  // the bytes do not begin with a header at all
    kInvalid,   // they begin like one, but it is malformed or too long
};

struct ProxyHeader {
    // A balancer's own connection (health check, version 2 LOCAL, or version 1
    // UNKNOWN): no client address is carried and the connection's own counts.
    bool local = false;
    std::string source;  // dotted IPv4 (also for IPv4-mapped IPv6) or IPv6 text
    std::uint16_t source_port = 0;
    std::size_t length = 0;  // bytes the header takes; the client's bytes follow
};

struct ProxyParse {
    ProxyStatus status = ProxyStatus::kNeedMore;
    ProxyHeader header;      // valid when kDone
    std::string_view error;  // why, when kInvalid
};

// Looks at the bytes received so far. Never reads past data.
ProxyParse ParseProxyHeader(std::span<const std::uint8_t> data);

// True when data begins with (a prefix of) either version's signature.
bool StartsLikeProxyHeader(std::span<const std::uint8_t> data);

// A list of address ranges in CIDR notation ("10.0.0.0/8", "::1/128", or a
// plain address for a single host). IPv4 ranges also match IPv4-mapped IPv6.
class AddressRanges {
  public:
    // Adds one range; false (and nothing added) when the text is not one.
    bool Add(std::string_view cidr);
    bool Contains(std::string_view address) const;
    bool empty() const { return ranges_.empty(); }

  private:
    struct Range {
        std::array<std::uint8_t, 16> bytes{};  // IPv4 as IPv4-mapped IPv6
        int prefix = 0;                        // bits, of the 128
    };
    std::vector<Range> ranges_;
};

}  // namespace kestrona::server
