// Byte layout of the directory-server records. Every integer is 32-bit signed
// little-endian; texts are code page 936, NUL-terminated inside zero-padded
// fields. The client builds the same records; these numbers are the contract.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kestrona::server::records {

// Command words are padded with zeros to this width (the keep-alive request alone is not).
inline constexpr std::size_t kWordField = 20;

// Requests: the word, the whole size, then the field offsets.
namespace login {
inline constexpr std::string_view kWord = "USERLOGIN";
inline constexpr std::size_t kSize = 76;
inline constexpr std::size_t kNumber = 20;
inline constexpr std::size_t kPassword = 24;
inline constexpr std::size_t kPasswordField = 20;
inline constexpr std::size_t kPort = 44;
inline constexpr std::size_t kProxyFlag = 48;   // one byte
inline constexpr std::size_t kHiddenFlag = 49;  // one byte
inline constexpr std::size_t kVersionMajor = 64;
inline constexpr std::size_t kVersionMinor = 68;
inline constexpr std::size_t kVersionBuild = 72;
}  // namespace login

namespace register_new {
inline constexpr std::string_view kWord = "REGISTERNEW";
inline constexpr std::size_t kSize = 144;
inline constexpr std::size_t kName = 20;
inline constexpr std::size_t kNameField = 20;
inline constexpr std::size_t kPassword = 40;
inline constexpr std::size_t kPasswordField = 20;
inline constexpr std::size_t kEmail = 60;
inline constexpr std::size_t kEmailField = 30;
inline constexpr std::size_t kCountry = 90;
inline constexpr std::size_t kCountryField = 20;
inline constexpr std::size_t kCity = 110;
inline constexpr std::size_t kCityField = 20;
}  // namespace register_new

namespace query {
inline constexpr std::string_view kWord = "QUERYUSER";
inline constexpr std::size_t kSize = 40;
inline constexpr std::size_t kCaller = 20;
inline constexpr std::size_t kCallee = 24;
}  // namespace query

namespace live {
// Eight bytes of word with no terminating zero: the number follows at once.
inline constexpr std::string_view kWord = "USERLIVE";
inline constexpr std::size_t kSize = 12;
inline constexpr std::size_t kNumber = 8;
}  // namespace live

namespace logout {
inline constexpr std::string_view kWord = "USERLOGOUT";
inline constexpr std::size_t kSize = 36;
inline constexpr std::size_t kNumber = 20;
}  // namespace logout

namespace report {
inline constexpr std::string_view kWord = "MSGREPORT";
inline constexpr std::size_t kSize = 48;
inline constexpr std::size_t kKind = 20;  // 1 answered, 2 hung up, 3 auto-answered
inline constexpr std::size_t kOther = 24;
inline constexpr std::size_t kOwn = 28;
inline constexpr std::size_t kSeconds = 32;
}  // namespace report

namespace change_port {
inline constexpr std::string_view kWord = "CHANGEPORT";
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kNumber = 20;
inline constexpr std::size_t kPort = 24;
}  // namespace change_port

// Relayed calls, sent only by phones that can use a relay.
namespace relay_creds {
inline constexpr std::string_view kWord = "RELAYCREDS";
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kNumber = 20;
}  // namespace relay_creds

namespace reach_check {
inline constexpr std::string_view kWord = "REACHCHECK";
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kNumber = 20;
inline constexpr std::size_t kPort = 24;
}  // namespace reach_check

namespace relay_addr {
inline constexpr std::string_view kWord = "RELAYADDR";
inline constexpr std::size_t kSize = 48;
inline constexpr std::size_t kNumber = 20;
inline constexpr std::size_t kAddress = 24;  // dotted IPv4 text
inline constexpr std::size_t kAddressField = 16;
inline constexpr std::size_t kPort = 40;  // 0: withdraw the relayed address
}  // namespace relay_addr

namespace query_peer {
inline constexpr std::string_view kWord = "QUERYPEER";
inline constexpr std::size_t kSize = 40;
inline constexpr std::size_t kCaller = 20;
inline constexpr std::size_t kCallee = 24;
}  // namespace query_peer

// Presence, sent only by phones of ours: who of a list can be called now,
// and the asker's own wish to appear offline to such look-ups.
namespace query_presence {
inline constexpr std::string_view kWord = "QUERYPRESENCE";
inline constexpr std::size_t kSize = 284;
inline constexpr std::size_t kAsker = 20;
inline constexpr std::size_t kCount = 24;
inline constexpr std::size_t kNumbers = 28;  // 64 numbers; the first kCount are asked
inline constexpr std::int32_t kMaxNumbers = 64;
}  // namespace query_presence

namespace presence_mode {
inline constexpr std::string_view kWord = "PRESENCEMODE";
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kNumber = 20;
inline constexpr std::size_t kMode = 24;  // 0 shown, 1 appear offline
inline constexpr std::int32_t kShown = 0;
inline constexpr std::int32_t kHidden = 1;
}  // namespace presence_mode

// The largest request; nothing longer is ever buffered.
inline constexpr std::size_t kLargestRequest = query_presence::kSize;

// Replies. Clients compare prefixes of one received chunk, so each reply goes
// out in a single write of exactly this many bytes.
namespace accept {
inline constexpr std::string_view kWord = "ACCEPT";  // no terminator
inline constexpr std::size_t kSize = 6;
}  // namespace accept

namespace login_result {
inline constexpr std::string_view kWord = "LOGINRESULT";
inline constexpr std::size_t kSize = 252;
inline constexpr std::size_t kResult = 20;  // 0 accepted, 1 refused, 2 wrong password
inline constexpr std::size_t kLivePeriod = 36;
inline constexpr std::size_t kWelcome = 52;
inline constexpr std::size_t kWelcomeField = 50;
inline constexpr std::size_t kNotice = 102;
inline constexpr std::size_t kNoticeField = 150;
inline constexpr std::int32_t kAccepted = 0;
inline constexpr std::int32_t kRefused = 1;
inline constexpr std::int32_t kWrongPassword = 2;
}  // namespace login_result

namespace register_success {
inline constexpr std::string_view kWord = "REGISTERNEWSUCCESS";
inline constexpr std::size_t kSize = 22;
inline constexpr std::size_t kNumber = 18;  // right behind the word, unaligned
}  // namespace register_success

namespace register_fail_email {
inline constexpr std::string_view kWord = "REGISTERNEWFAILEMAIL";
inline constexpr std::size_t kSize = 20;
}  // namespace register_fail_email

namespace query_result {
inline constexpr std::string_view kWord = "QUERYUSERRESULT";
inline constexpr std::size_t kSize = 52;
inline constexpr std::size_t kAddress = 20;  // dotted IPv4 text
inline constexpr std::size_t kAddressField = 16;
inline constexpr std::size_t kPort = 36;
}  // namespace query_result

namespace query_not_found {
// The word is spelt so on the wire; clients compare its first 20 bytes.
inline constexpr std::string_view kWord = "QUERYUSERRESULTNOTFOND";
inline constexpr std::size_t kSize = 24;
}  // namespace query_not_found

namespace relay_creds_result {
inline constexpr std::string_view kWord = "RELAYCREDSRESULT";
inline constexpr std::size_t kSize = 236;
inline constexpr std::size_t kResult = 20;
inline constexpr std::size_t kTtl = 24;
inline constexpr std::size_t kUsername = 28;
inline constexpr std::size_t kUsernameField = 32;
inline constexpr std::size_t kPassword = 60;
inline constexpr std::size_t kPasswordField = 32;
inline constexpr std::size_t kFirstHost = 92;
inline constexpr std::size_t kHostField = 64;
inline constexpr std::size_t kFirstPort = 156;
inline constexpr std::size_t kFirstFlags = 160;
inline constexpr std::size_t kSecondHost = 164;
inline constexpr std::size_t kSecondPort = 228;
inline constexpr std::size_t kSecondFlags = 232;
inline constexpr std::int32_t kIssued = 0;
inline constexpr std::int32_t kNoRelay = 1;
inline constexpr std::int32_t kNoSession = 2;
inline constexpr std::int32_t kFlagTls = 1;
}  // namespace relay_creds_result

namespace reach_result {
inline constexpr std::string_view kWord = "REACHRESULT";
inline constexpr std::size_t kSize = 44;
inline constexpr std::size_t kVerdict = 20;
inline constexpr std::size_t kAddress = 24;
inline constexpr std::size_t kAddressField = 16;
inline constexpr std::size_t kPort = 40;
inline constexpr std::int32_t kReachable = 0;
inline constexpr std::int32_t kUnreachable = 1;
inline constexpr std::int32_t kRefused = 2;
inline constexpr std::int32_t kTooMany = 3;
inline constexpr std::int32_t kBadPort = 4;
}  // namespace reach_result

namespace query_peer_result {
inline constexpr std::string_view kWord = "QUERYPEERRESULT";
inline constexpr std::size_t kSize = 124;
inline constexpr std::size_t kAddress = 20;
inline constexpr std::size_t kAddressField = 16;
inline constexpr std::size_t kPort = 36;
inline constexpr std::size_t kMode = 40;
inline constexpr std::size_t kRelayHost = 44;
inline constexpr std::size_t kRelayHostField = 64;
inline constexpr std::size_t kRelayPort = 108;
inline constexpr std::size_t kRelayFlags = 112;
inline constexpr std::int32_t kDirect = 0;
inline constexpr std::int32_t kRelayed = 1;
}  // namespace query_peer_result

namespace presence_result {
inline constexpr std::string_view kWord = "PRESENCERESULT";
inline constexpr std::size_t kSize = 40;
inline constexpr std::size_t kResult = 20;
inline constexpr std::size_t kCount = 24;
inline constexpr std::size_t kBits = 28;  // number i at byte i/8, bit i%8 (LSB first)
inline constexpr std::size_t kBitsField = 8;
inline constexpr std::int32_t kAnswered = 0;
inline constexpr std::int32_t kRefused = 1;
inline constexpr std::int32_t kTooMany = 2;
}  // namespace presence_result

// The plain replies: the word padded to 20 bytes and nothing more.
inline constexpr std::string_view kAlreadyTimeout = "ALREADYTIMEOUT";
inline constexpr std::string_view kGeneralError = "GENERALERROR";
inline constexpr std::string_view kCommandSuccess = "GENERALCMDSUCCESS";
inline constexpr std::string_view kCommandFail = "GENERALCMDFAIL";
inline constexpr std::size_t kPlainReplySize = kWordField;

inline std::int32_t GetInt(const std::uint8_t* record, std::size_t offset) {
    const std::uint8_t* p = record + offset;
    std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                      std::uint32_t{p[3]} << 24;
    return static_cast<std::int32_t>(v);
}

inline void PutInt(std::uint8_t* record, std::size_t offset, std::int32_t value) {
    auto v = static_cast<std::uint32_t>(value);
    std::uint8_t* p = record + offset;
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void PutWord(std::uint8_t* record, std::string_view word) {
    std::memcpy(record, word.data(), word.size());
}

}  // namespace kestrona::server::records
