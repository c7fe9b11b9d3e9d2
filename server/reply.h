// The records the server sends.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestrona::server {

using Bytes = std::vector<std::uint8_t>;

Bytes AcceptGreeting();
// welcome and notice are code page 936; they are cut to fit their fields.
Bytes LoginResult(std::int32_t result, std::int32_t live_period, std::string_view welcome,
                  std::string_view notice);
Bytes RegisterSuccess(std::int32_t number);
Bytes RegisterFailEmail();
// address is dotted IPv4 text (at most 15 characters).
Bytes QueryResult(std::string_view address, std::int32_t port);
Bytes QueryNotFound();

// One relay as a phone is told of it; an empty host fills its fields with zeros.
struct RelayEntry {
    std::string_view host;
    std::int32_t port = 0;
    std::int32_t flags = 0;
};
Bytes RelayCredsResult(std::int32_t result, std::int32_t ttl_s, std::string_view username,
                       std::string_view password, const RelayEntry& first,
                       const RelayEntry& second);
// address: dotted text, left empty when it does not fit.
Bytes ReachResult(std::int32_t verdict, std::string_view address, std::int32_t port);
Bytes QueryPeerResult(std::int32_t mode, std::string_view address, std::int32_t port,
                      const RelayEntry& relay);
// online: one flag per asked number, at most 64; only with result 0 are n
// and the flags sent.
Bytes PresenceResult(std::int32_t result, std::span<const bool> online);
// "ALREADYTIMEOUT", "GENERALERROR", "GENERALCMDSUCCESS", "GENERALCMDFAIL".
Bytes PlainReply(std::string_view word);

}  // namespace kestrona::server
