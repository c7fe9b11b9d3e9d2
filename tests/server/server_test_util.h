// Builds request records the way a phone does and reads the server's replies.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/records.h"
#include "server/request.h"

namespace kestrona::server::test {

namespace rec = records;

using Bytes = std::vector<std::uint8_t>;

inline Bytes AsBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::vector<std::uint8_t> Word(std::string_view word, std::size_t size) {
    std::vector<std::uint8_t> r(size, 0);
    std::memcpy(r.data(), word.data(), word.size());
    return r;
}

inline void PutText(std::vector<std::uint8_t>& r, std::size_t offset, std::string_view text) {
    std::memcpy(r.data() + offset, text.data(), text.size());
}

inline std::vector<std::uint8_t> LoginRecord(std::int32_t number, std::string_view password,
                                             std::int32_t port) {
    namespace f = rec::login;
    auto r = Word(f::kWord, f::kSize);
    rec::PutInt(r.data(), f::kNumber, number);
    PutText(r, f::kPassword, password);
    rec::PutInt(r.data(), f::kPort, port);
    rec::PutInt(r.data(), f::kVersionMajor, 2);
    rec::PutInt(r.data(), f::kVersionMinor, 0);
    rec::PutInt(r.data(), f::kVersionBuild, 1228);
    return r;
}

inline std::vector<std::uint8_t> RegisterRecord(std::string_view name, std::string_view password,
                                                std::string_view email,
                                                std::string_view country = "China",
                                                std::string_view city = "Beijing") {
    namespace f = rec::register_new;
    auto r = Word(f::kWord, f::kSize);
    PutText(r, f::kName, name);
    PutText(r, f::kPassword, password);
    PutText(r, f::kEmail, email);
    PutText(r, f::kCountry, country);
    PutText(r, f::kCity, city);
    return r;
}

inline std::vector<std::uint8_t> QueryRecord(std::int32_t caller, std::int32_t callee) {
    auto r = Word(rec::query::kWord, rec::query::kSize);
    rec::PutInt(r.data(), rec::query::kCaller, caller);
    rec::PutInt(r.data(), rec::query::kCallee, callee);
    return r;
}

inline std::vector<std::uint8_t> LiveRecord(std::int32_t number) {
    auto r = Word(rec::live::kWord, rec::live::kSize);
    rec::PutInt(r.data(), rec::live::kNumber, number);
    return r;
}

inline std::vector<std::uint8_t> LogoutRecord(std::int32_t number) {
    auto r = Word(rec::logout::kWord, rec::logout::kSize);
    rec::PutInt(r.data(), rec::logout::kNumber, number);
    return r;
}

inline std::vector<std::uint8_t> ReportRecord(std::int32_t kind, std::int32_t other,
                                              std::int32_t own, std::int32_t seconds) {
    namespace f = rec::report;
    auto r = Word(f::kWord, f::kSize);
    rec::PutInt(r.data(), f::kKind, kind);
    rec::PutInt(r.data(), f::kOther, other);
    rec::PutInt(r.data(), f::kOwn, own);
    rec::PutInt(r.data(), f::kSeconds, seconds);
    return r;
}

inline std::vector<std::uint8_t> ChangePortRecord(std::int32_t number, std::int32_t port) {
    namespace f = rec::change_port;
    auto r = Word(f::kWord, f::kSize);
    rec::PutInt(r.data(), f::kNumber, number);
    rec::PutInt(r.data(), f::kPort, port);
    return r;
}

inline Bytes RelayCredsRecord(std::int32_t number) {
    auto r = Word(rec::relay_creds::kWord, rec::relay_creds::kSize);
    rec::PutInt(r.data(), rec::relay_creds::kNumber, number);
    return r;
}

inline Bytes ReachCheckRecord(std::int32_t number, std::int32_t port) {
    auto r = Word(rec::reach_check::kWord, rec::reach_check::kSize);
    rec::PutInt(r.data(), rec::reach_check::kNumber, number);
    rec::PutInt(r.data(), rec::reach_check::kPort, port);
    return r;
}

inline Bytes RelayAddrRecord(std::int32_t number, std::string_view address, std::int32_t port) {
    auto r = Word(rec::relay_addr::kWord, rec::relay_addr::kSize);
    rec::PutInt(r.data(), rec::relay_addr::kNumber, number);
    PutText(r, rec::relay_addr::kAddress, address);
    rec::PutInt(r.data(), rec::relay_addr::kPort, port);
    return r;
}

inline Bytes QueryPeerRecord(std::int32_t caller, std::int32_t callee) {
    auto r = Word(rec::query_peer::kWord, rec::query_peer::kSize);
    rec::PutInt(r.data(), rec::query_peer::kCaller, caller);
    rec::PutInt(r.data(), rec::query_peer::kCallee, callee);
    return r;
}

// count: the n sent, the length of numbers unless given.
inline Bytes QueryPresenceRecord(std::int32_t asker, const std::vector<std::int32_t>& numbers,
                                 std::optional<std::int32_t> count = std::nullopt) {
    namespace f = rec::query_presence;
    auto r = Word(f::kWord, f::kSize);
    rec::PutInt(r.data(), f::kAsker, asker);
    rec::PutInt(r.data(), f::kCount, count.value_or(static_cast<std::int32_t>(numbers.size())));
    for (std::size_t i = 0; i < numbers.size() && i < 64; ++i) {
        rec::PutInt(r.data(), f::kNumbers + 4 * i, numbers[i]);
    }
    return r;
}

inline Bytes PresenceModeRecord(std::int32_t number, std::int32_t mode) {
    auto r = Word(rec::presence_mode::kWord, rec::presence_mode::kSize);
    rec::PutInt(r.data(), rec::presence_mode::kNumber, number);
    rec::PutInt(r.data(), rec::presence_mode::kMode, mode);
    return r;
}

// The online flags of a PRESENCERESULT, as text: '1' online, '0' not, one
// per asked number.
inline std::string PresenceBits(const Bytes& reply) {
    namespace f = rec::presence_result;
    std::string bits;
    if (reply.size() != f::kSize) {
        return "wrong size";
    }
    std::int32_t n = rec::GetInt(reply.data(), f::kCount);
    for (std::int32_t i = 0; i < n && i < 64; ++i) {
        bits += (reply[f::kBits + static_cast<std::size_t>(i) / 8] >> (i % 8)) & 1 ? '1' : '0';
    }
    return bits;
}

// A zero-terminated text field of a reply.
inline std::string TextAt(const Bytes& data, std::size_t offset, std::size_t field) {
    std::string text;
    for (std::size_t i = offset; i < offset + field && i < data.size() && data[i] != 0; ++i) {
        text += static_cast<char>(data[i]);
    }
    return text;
}

inline std::string Prefix(const std::vector<std::uint8_t>& data, std::size_t n) {
    return std::string(data.begin(), data.begin() + static_cast<long>(std::min(n, data.size())));
}

// The word of a reply: its bytes up to the first zero (within 24 bytes).
inline std::string ReplyWord(const std::vector<std::uint8_t>& data) {
    std::string word;
    for (std::size_t i = 0; i < data.size() && i < 24 && data[i] != 0; ++i) {
        word += static_cast<char>(data[i]);
    }
    return word;
}

// A clock the tests move forward by hand, as steady time (abuse limits) and
// as wall-clock time (sessions), both moved by Advance.
class ManualClock {
  public:
    std::chrono::steady_clock::time_point Now() const {
        return base_ + std::chrono::milliseconds(offset_ms_.load());
    }
    std::chrono::system_clock::time_point SystemNow() const {
        return system_base_ + std::chrono::milliseconds(offset_ms_.load());
    }
    void Advance(std::chrono::milliseconds by) { offset_ms_ += by.count(); }

  private:
    std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
    std::chrono::system_clock::time_point system_base_ = std::chrono::system_clock::now();
    std::atomic<long long> offset_ms_{0};
};

// A fresh folder per test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kestrona-server-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(std::string_view name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace kestrona::server::test
