// Recognising and decoding one request record as it arrives on a connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace kestrona::server {

enum class Command {
    kLogin,
    kRegister,
    kQuery,
    kLive,
    kLogout,
    kReport,
    kChangePort,
    kRelayCreds,
    kReachCheck,
    kRelayAddr,
    kQueryPeer,
    kQueryPresence,
    kPresenceMode,
};

std::string_view CommandName(Command command);

struct LoginRequest {
    std::int32_t number = 0;
    std::string password;  // as sent, code page 936
    std::int32_t port = 0;
    bool proxy = false;
    bool hidden = false;
    std::int32_t version_major = 0;
    std::int32_t version_minor = 0;
    std::int32_t version_build = 0;
};

struct RegisterRequest {
    std::string name;  // every text as sent, code page 936
    std::string password;
    std::string email;
    std::string country;
    std::string city;
};

struct QueryRequest {
    std::int32_t caller = 0;
    std::int32_t callee = 0;
};

struct LiveRequest {
    std::int32_t number = 0;
};

struct LogoutRequest {
    std::int32_t number = 0;
};

struct ReportRequest {
    std::int32_t kind = 0;
    std::int32_t other = 0;
    std::int32_t own = 0;
    std::int32_t seconds = 0;
};

struct ChangePortRequest {
    std::int32_t number = 0;
    std::int32_t port = 0;
};

struct RelayCredsRequest {
    std::int32_t number = 0;
};

struct ReachCheckRequest {
    std::int32_t number = 0;
    std::int32_t port = 0;  // the command port the phone announces
};

struct RelayAddrRequest {
    std::int32_t number = 0;
    std::string address;  // as sent; checked against the relays' addresses
    std::int32_t port = 0;
};

// The same look-up as QueryRequest, answered with how to reach the callee.
struct QueryPeerRequest {
    std::int32_t caller = 0;
    std::int32_t callee = 0;
};

struct QueryPresenceRequest {
    std::int32_t asker = 0;
    std::int32_t count = 0;  // as sent; the directory refuses one outside 0..64
    std::array<std::int32_t, 64> numbers{};
};

struct PresenceModeRequest {
    std::int32_t number = 0;
    std::int32_t mode = 0;  // as sent: 0 shown, 1 appear offline
};

using Request =
    std::variant<LoginRequest, RegisterRequest, QueryRequest, LiveRequest, LogoutRequest,
                 ReportRequest, ChangePortRequest, RelayCredsRequest, ReachCheckRequest,
                 RelayAddrRequest, QueryPeerRequest, QueryPresenceRequest, PresenceModeRequest>;

Command CommandOf(const Request& request);

enum class ScanStatus {
    kNeedMore,        // what came so far may still become a known record
    kComplete,        // exactly one whole record of a known kind
    kUnknownCommand,  // no command word starts like this
    kWrongSize,       // a known word, but more bytes than its record holds
};

struct ScanResult {
    ScanStatus status = ScanStatus::kNeedMore;
    Command command = Command::kLogin;  // valid unless kUnknownCommand
    std::size_t size = 0;               // the record size of that command
};

// Looks at the bytes received so far on a connection. Never reads past data.
ScanResult ScanRequest(std::span<const std::uint8_t> data);

enum class DecodeStatus { kOk, kNotARecord, kBadText };

struct DecodeResult {
    DecodeStatus status = DecodeStatus::kNotARecord;
    Request request;
};

// Decodes a record that ScanRequest called complete. A text field without its
// terminating zero is refused rather than cut, so nothing longer than its field
// limit is ever stored.
DecodeResult DecodeRequest(std::span<const std::uint8_t> record);

}  // namespace kestrona::server
