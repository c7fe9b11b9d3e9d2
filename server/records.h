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

// The largest request; nothing longer is ever buffered.
inline constexpr std::size_t kLargestRequest = register_new::kSize;

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
