// The records the server sends.
#pragma once

#include <cstdint>
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
// "ALREADYTIMEOUT", "GENERALERROR", "GENERALCMDSUCCESS", "GENERALCMDFAIL".
Bytes PlainReply(std::string_view word);

}  // namespace kestrona::server
