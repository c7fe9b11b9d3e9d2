#include "server/reply.h"

#include <algorithm>
#include <cstring>

#include "server/records.h"
#include "server/text.h"

namespace kestrona::server {

namespace r = records;

namespace {

void PutText(Bytes& record, std::size_t offset, std::size_t field, std::string_view text) {
    // The last byte of every field stays zero for the client's terminator.
    std::size_t n = Cp936FitLength(text, field - 1);
    // An empty text may have no storage at all: memcpy from null is undefined
    // even for no bytes.
    if (n != 0) {
        std::memcpy(record.data() + offset, text.data(), n);
    }
}

Bytes WithWord(std::string_view word, std::size_t size) {
    Bytes record(std::max(size, word.size()), 0);
    r::PutWord(record.data(), word);
    return record;
}

}  // namespace

Bytes AcceptGreeting() {
    return WithWord(r::accept::kWord, r::accept::kSize);
}

Bytes LoginResult(std::int32_t result, std::int32_t live_period, std::string_view welcome,
                  std::string_view notice) {
    namespace f = r::login_result;
    Bytes record = WithWord(f::kWord, f::kSize);
    r::PutInt(record.data(), f::kResult, result);
    r::PutInt(record.data(), f::kLivePeriod, live_period);
    PutText(record, f::kWelcome, f::kWelcomeField, welcome);
    PutText(record, f::kNotice, f::kNoticeField, notice);
    return record;
}

Bytes RegisterSuccess(std::int32_t number) {
    Bytes record = WithWord(r::register_success::kWord, r::register_success::kSize);
    r::PutInt(record.data(), r::register_success::kNumber, number);
    return record;
}

Bytes RegisterFailEmail() {
    return WithWord(r::register_fail_email::kWord, r::register_fail_email::kSize);
}

Bytes QueryResult(std::string_view address, std::int32_t port) {
    namespace f = r::query_result;
    Bytes record = WithWord(f::kWord, f::kSize);
    PutText(record, f::kAddress, f::kAddressField, address);
    r::PutInt(record.data(), f::kPort, port);
    return record;
}

Bytes QueryNotFound() {
    return WithWord(r::query_not_found::kWord, r::query_not_found::kSize);
}

Bytes RelayCredsResult(std::int32_t result, std::int32_t ttl_s, std::string_view username,
                       std::string_view password, const RelayEntry& first,
                       const RelayEntry& second) {
    namespace f = r::relay_creds_result;
    Bytes record = WithWord(f::kWord, f::kSize);
    r::PutInt(record.data(), f::kResult, result);
    r::PutInt(record.data(), f::kTtl, ttl_s);
    PutText(record, f::kUsername, f::kUsernameField, username);
    PutText(record, f::kPassword, f::kPasswordField, password);
    PutText(record, f::kFirstHost, f::kHostField, first.host);
    r::PutInt(record.data(), f::kFirstPort, first.port);
    r::PutInt(record.data(), f::kFirstFlags, first.flags);
    PutText(record, f::kSecondHost, f::kHostField, second.host);
    r::PutInt(record.data(), f::kSecondPort, second.port);
    r::PutInt(record.data(), f::kSecondFlags, second.flags);
    return record;
}

Bytes ReachResult(std::int32_t verdict, std::string_view address, std::int32_t port) {
    namespace f = r::reach_result;
    Bytes record = WithWord(f::kWord, f::kSize);
    r::PutInt(record.data(), f::kVerdict, verdict);
    if (address.size() < f::kAddressField) {
        PutText(record, f::kAddress, f::kAddressField, address);
    }
    r::PutInt(record.data(), f::kPort, port);
    return record;
}

Bytes QueryPeerResult(std::int32_t mode, std::string_view address, std::int32_t port,
                      const RelayEntry& relay) {
    namespace f = r::query_peer_result;
    Bytes record = WithWord(f::kWord, f::kSize);
    PutText(record, f::kAddress, f::kAddressField, address);
    r::PutInt(record.data(), f::kPort, port);
    r::PutInt(record.data(), f::kMode, mode);
    PutText(record, f::kRelayHost, f::kRelayHostField, relay.host);
    r::PutInt(record.data(), f::kRelayPort, relay.port);
    r::PutInt(record.data(), f::kRelayFlags, relay.flags);
    return record;
}

Bytes PresenceResult(std::int32_t result, std::span<const bool> online) {
    namespace f = r::presence_result;
    Bytes record = WithWord(f::kWord, f::kSize);
    r::PutInt(record.data(), f::kResult, result);
    if (result != f::kAnswered) {
        return record;
    }
    std::size_t n = std::min(online.size(), f::kBitsField * 8);
    r::PutInt(record.data(), f::kCount, static_cast<std::int32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        if (online[i]) {
            record[f::kBits + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        }
    }
    return record;
}

Bytes PlainReply(std::string_view word) {
    return WithWord(word, r::kPlainReplySize);
}

}  // namespace kestrona::server
