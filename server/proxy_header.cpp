#include "server/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace kestrona::server {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::size_t kV1Longest = 107;  // with its CR LF
constexpr std::array<std::uint8_t, 12> kV2Signature{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                    0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::size_t kV2Fixed = 16;

bool IsPrefixOf(std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature) {
    std::size_t n = std::min(data.size(), signature.size());
    return std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n),
                      signature.begin());
}

std::span<const std::uint8_t> V1Signature() {
    return {reinterpret_cast<const std::uint8_t*>(kV1Prefix.data()), kV1Prefix.size()};
}

std::string AddressText(int family, const void* raw) {
    if (family == AF_INET6) {
        const auto* b = static_cast<const std::uint8_t*>(raw);
        static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        // A client on IPv4 behind a balancer listening on IPv6 arrives mapped;
        // it is an IPv4 client all the same.
        if (std::memcmp(b, kMapped, sizeof kMapped) == 0) {
            return AddressText(AF_INET, b + 12);
        }
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family, raw, text, sizeof text)) {
        return {};
    }
    return text;
}

ProxyParse Invalid(std::string_view why) {
    ProxyParse p;
    p.status = ProxyStatus::kInvalid;
    p.error = why;
    return p;
}

bool ParsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

// "PROXY TCP4 src dst sport dport\r\n", "PROXY TCP6 …" or "PROXY UNKNOWN …\r\n".
ProxyParse ParseV1(std::span<const std::uint8_t> data) {
    std::string_view text(reinterpret_cast<const char*>(data.data()),
                          std::min(data.size(), kV1Longest));
    // The line ends at its first LF, which must follow a CR; judging by the
    // first one keeps the verdict the same however the bytes are split.
    std::size_t end = text.find_first_of(std::string_view("\n\0", 2));
    if (end == std::string_view::npos) {
        if (data.size() >= kV1Longest) {
            return Invalid("PROXY line too long");
        }
        return {};
    }
    if (text[end] != '\n' || text[end - 1] != '\r') {
        return Invalid("PROXY line without CR LF");
    }
    std::size_t crlf = end - 1;
    std::string_view line = text.substr(kV1Prefix.size(), crlf - kV1Prefix.size());
    std::array<std::string_view, 5> fields;
    std::size_t count = 0;
    while (count < fields.size()) {
        std::size_t space = line.find(' ');
        fields[count++] = line.substr(0, space);
        if (space == std::string_view::npos) {
            line = {};
            break;
        }
        line.remove_prefix(space + 1);
    }
    ProxyParse p;
    p.status = ProxyStatus::kDone;
    p.header.length = crlf + 2;
    if (fields[0] == "UNKNOWN") {
        p.header.local = true;
        return p;
    }
    int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : 0;
    if (family == 0) {
        return Invalid("PROXY line with an unknown protocol");
    }
    if (count != 5 || !line.empty()) {
        return Invalid("PROXY line without four fields");
    }
    std::uint8_t source[16];
    std::uint8_t destination[16];
    std::uint16_t destination_port = 0;
    if (inet_pton(family, std::string(fields[1]).c_str(), source) != 1 ||
        inet_pton(family, std::string(fields[2]).c_str(), destination) != 1 ||
        !ParsePort(fields[3], p.header.source_port) || !ParsePort(fields[4], destination_port)) {
        return Invalid("PROXY line with a bad address or port");
    }
    p.header.source = AddressText(family, source);
    return p;
}

ProxyParse ParseV2(std::span<const std::uint8_t> data) {
    if (data.size() < kV2Fixed) {
        return {};
    }
    std::uint8_t version = data[12] >> 4;
    std::uint8_t command = data[12] & 0x0F;
    std::uint8_t family = data[13];
    std::size_t length = (static_cast<std::size_t>(data[14]) << 8) | data[15];
    if (version != 2) {
        return Invalid("PROXY header of an unknown version");
    }
    if (command > 1) {
        return Invalid("PROXY header with an unknown command");
    }
    if (kV2Fixed + length > kMaxProxyHeader) {
        return Invalid("PROXY header too long");
    }
    if (data.size() < kV2Fixed + length) {
        return {};
    }
    ProxyParse p;
    p.status = ProxyStatus::kDone;
    p.header.length = kV2Fixed + length;
    const std::uint8_t* block = data.data() + kV2Fixed;
    // LOCAL is the balancer speaking for itself; UNSPEC carries no address.
    if (command == 0 || family == 0x00) {
        p.header.local = true;
        return p;
    }
    if (family == 0x11) {  // TCP over IPv4
        if (length < 12) {
            return Invalid("PROXY header too short for its addresses");
        }
        p.header.source = AddressText(AF_INET, block);
        p.header.source_port = static_cast<std::uint16_t>((block[8] << 8) | block[9]);
        return p;
    }
    if (family == 0x21) {  // TCP over IPv6
        if (length < 36) {
            return Invalid("PROXY header too short for its addresses");
        }
        p.header.source = AddressText(AF_INET6, block);
        p.header.source_port = static_cast<std::uint16_t>((block[32] << 8) | block[33]);
        return p;
    }
    // Datagrams and local sockets are no phones of ours.
    return Invalid("PROXY header for a transport other than TCP");
}

bool ParseAddress(std::string_view text, std::array<std::uint8_t, 16>& bytes, bool& v4) {
    std::string s(text);
    std::uint8_t raw[16];
    if (inet_pton(AF_INET, s.c_str(), raw) == 1) {
        bytes.fill(0);
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes.data() + 12, raw, 4);
        v4 = true;
        return true;
    }
    if (inet_pton(AF_INET6, s.c_str(), raw) == 1) {
        std::memcpy(bytes.data(), raw, 16);
        v4 = false;
        return true;
    }
    return false;
}

}  // namespace

ProxyParse ParseProxyHeader(std::span<const std::uint8_t> data) {
    if (data.empty()) {
        return {};
    }
    if (IsPrefixOf(data, kV2Signature)) {
        return ParseV2(data);
    }
    if (IsPrefixOf(data, V1Signature())) {
        return data.size() < kV1Prefix.size() ? ProxyParse{} : ParseV1(data);
    }
    ProxyParse p;
    p.status = ProxyStatus::kNotProxy;
    return p;
}

bool StartsLikeProxyHeader(std::span<const std::uint8_t> data) {
    return !data.empty() && (IsPrefixOf(data, kV2Signature) || IsPrefixOf(data, V1Signature()));
}

bool AddressRanges::Add(std::string_view cidr) {
    std::size_t slash = cidr.find('/');
    Range range;
    bool v4 = false;
    if (!ParseAddress(cidr.substr(0, slash), range.bytes, v4)) {
        return false;
    }
    int bits = v4 ? 32 : 128;
    int prefix = bits;
    if (slash != std::string_view::npos) {
        std::string_view p = cidr.substr(slash + 1);
        auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), prefix);
        if (p.empty() || ec != std::errc() || end != p.data() + p.size() || prefix < 0 ||
            prefix > bits) {
            return false;
        }
    }
    range.prefix = v4 ? prefix + 96 : prefix;
    ranges_.push_back(range);
    return true;
}

bool AddressRanges::Contains(std::string_view address) const {
    std::array<std::uint8_t, 16> bytes;
    bool v4 = false;
    if (!ParseAddress(address, bytes, v4)) {
        return false;
    }
    for (const Range& r : ranges_) {
        int whole = r.prefix / 8;
        int rest = r.prefix % 8;
        if (std::memcmp(bytes.data(), r.bytes.data(), static_cast<std::size_t>(whole)) != 0) {
            continue;
        }
        if (rest != 0) {
            auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
            if ((bytes[whole] & mask) != (r.bytes[whole] & mask)) {
                continue;
            }
        }
        return true;
    }
    return false;
}

}  // namespace kestrona::server
