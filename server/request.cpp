#include "server/request.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "server/records.h"

namespace kestrona::server {

namespace {

struct Kind {
    Command command;
    std::string_view word;
    // Bytes compared to recognise the record: the word with its first padding
    // zero, so that no word is a prefix of another.
    std::size_t match;
    std::size_t size;
};

namespace r = records;

constexpr std::array<Kind, 13> kKinds{{
    {Command::kLogin, r::login::kWord, r::login::kWord.size() + 1, r::login::kSize},
    {Command::kRegister, r::register_new::kWord, r::register_new::kWord.size() + 1,
     r::register_new::kSize},
    {Command::kQuery, r::query::kWord, r::query::kWord.size() + 1, r::query::kSize},
    {Command::kLive, r::live::kWord, r::live::kWord.size(), r::live::kSize},
    {Command::kLogout, r::logout::kWord, r::logout::kWord.size() + 1, r::logout::kSize},
    {Command::kReport, r::report::kWord, r::report::kWord.size() + 1, r::report::kSize},
    {Command::kChangePort, r::change_port::kWord, r::change_port::kWord.size() + 1,
     r::change_port::kSize},
    {Command::kRelayCreds, r::relay_creds::kWord, r::relay_creds::kWord.size() + 1,
     r::relay_creds::kSize},
    {Command::kReachCheck, r::reach_check::kWord, r::reach_check::kWord.size() + 1,
     r::reach_check::kSize},
    {Command::kRelayAddr, r::relay_addr::kWord, r::relay_addr::kWord.size() + 1,
     r::relay_addr::kSize},
    {Command::kQueryPeer, r::query_peer::kWord, r::query_peer::kWord.size() + 1,
     r::query_peer::kSize},
    {Command::kQueryPresence, r::query_presence::kWord, r::query_presence::kWord.size() + 1,
     r::query_presence::kSize},
    {Command::kPresenceMode, r::presence_mode::kWord, r::presence_mode::kWord.size() + 1,
     r::presence_mode::kSize},
}};

// Compares data with the first n bytes of word followed by zeros.
bool PrefixMatches(std::span<const std::uint8_t> data, const Kind& kind) {
    std::size_t n = std::min(data.size(), kind.match);
    for (std::size_t i = 0; i < n; ++i) {
        auto expected = i < kind.word.size() ? static_cast<std::uint8_t>(kind.word[i]) : 0;
        if (data[i] != expected) {
            return false;
        }
    }
    return true;
}

// A text field must hold its terminating zero; the text ends there.
bool GetText(std::span<const std::uint8_t> record, std::size_t offset, std::size_t field,
             std::string& out) {
    const auto* begin = record.data() + offset;
    const auto* end = begin + field;
    const auto* nul = std::find(begin, end, std::uint8_t{0});
    if (nul == end) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(nul - begin));
    return true;
}

}  // namespace

std::string_view CommandName(Command command) {
    for (const auto& kind : kKinds) {
        if (kind.command == command) {
            return kind.word;
        }
    }
    return "?";
}

Command CommandOf(const Request& request) {
    static constexpr std::array<Command, std::variant_size_v<Request>> kByIndex{
        Command::kLogin,       Command::kRegister,  Command::kQuery,      Command::kLive,
        Command::kLogout,      Command::kReport,    Command::kChangePort, Command::kRelayCreds,
        Command::kReachCheck,  Command::kRelayAddr, Command::kQueryPeer,  Command::kQueryPresence,
        Command::kPresenceMode};
    return kByIndex[request.index()];
}

ScanResult ScanRequest(std::span<const std::uint8_t> data) {
    for (const auto& kind : kKinds) {
        if (!PrefixMatches(data, kind)) {
            continue;
        }
        ScanResult result{ScanStatus::kNeedMore, kind.command, kind.size};
        if (data.size() < kind.match) {
            // Still ambiguous or too short to tell; several words share a start.
            return result;
        }
        if (data.size() == kind.size) {
            result.status = ScanStatus::kComplete;
        } else if (data.size() > kind.size) {
            result.status = ScanStatus::kWrongSize;
        }
        return result;
    }
    return {ScanStatus::kUnknownCommand, Command::kLogin, 0};
}

DecodeResult DecodeRequest(std::span<const std::uint8_t> record) {
    ScanResult scan = ScanRequest(record);
    if (scan.status != ScanStatus::kComplete) {
        return {};
    }
    const std::uint8_t* p = record.data();
    DecodeResult result{DecodeStatus::kOk, {}};
    switch (scan.command) {
        case Command::kLogin: {
            namespace f = r::login;
            LoginRequest req;
            req.number = r::GetInt(p, f::kNumber);
            if (!GetText(record, f::kPassword, f::kPasswordField, req.password)) {
                return {DecodeStatus::kBadText, {}};
            }
            req.port = r::GetInt(p, f::kPort);
            req.proxy = p[f::kProxyFlag] != 0;
            req.hidden = p[f::kHiddenFlag] != 0;
            req.version_major = r::GetInt(p, f::kVersionMajor);
            req.version_minor = r::GetInt(p, f::kVersionMinor);
            req.version_build = r::GetInt(p, f::kVersionBuild);
            result.request = std::move(req);
            break;
        }
        case Command::kRegister: {
            namespace f = r::register_new;
            RegisterRequest req;
            if (!GetText(record, f::kName, f::kNameField, req.name) ||
                !GetText(record, f::kPassword, f::kPasswordField, req.password) ||
                !GetText(record, f::kEmail, f::kEmailField, req.email) ||
                !GetText(record, f::kCountry, f::kCountryField, req.country) ||
                !GetText(record, f::kCity, f::kCityField, req.city)) {
                return {DecodeStatus::kBadText, {}};
            }
            result.request = std::move(req);
            break;
        }
        case Command::kQuery:
            result.request =
                QueryRequest{r::GetInt(p, r::query::kCaller), r::GetInt(p, r::query::kCallee)};
            break;
        case Command::kLive:
            result.request = LiveRequest{r::GetInt(p, r::live::kNumber)};
            break;
        case Command::kLogout:
            result.request = LogoutRequest{r::GetInt(p, r::logout::kNumber)};
            break;
        case Command::kReport:
            result.request =
                ReportRequest{r::GetInt(p, r::report::kKind), r::GetInt(p, r::report::kOther),
                              r::GetInt(p, r::report::kOwn), r::GetInt(p, r::report::kSeconds)};
            break;
        case Command::kChangePort:
            result.request = ChangePortRequest{r::GetInt(p, r::change_port::kNumber),
                                               r::GetInt(p, r::change_port::kPort)};
            break;
        case Command::kRelayCreds:
            result.request = RelayCredsRequest{r::GetInt(p, r::relay_creds::kNumber)};
            break;
        case Command::kReachCheck:
            result.request = ReachCheckRequest{r::GetInt(p, r::reach_check::kNumber),
                                               r::GetInt(p, r::reach_check::kPort)};
            break;
        case Command::kRelayAddr: {
            namespace f = r::relay_addr;
            RelayAddrRequest req;
            req.number = r::GetInt(p, f::kNumber);
            if (!GetText(record, f::kAddress, f::kAddressField, req.address)) {
                return {DecodeStatus::kBadText, {}};
            }
            req.port = r::GetInt(p, f::kPort);
            result.request = std::move(req);
            break;
        }
        case Command::kQueryPeer:
            result.request = QueryPeerRequest{r::GetInt(p, r::query_peer::kCaller),
                                              r::GetInt(p, r::query_peer::kCallee)};
            break;
        case Command::kQueryPresence: {
            namespace f = r::query_presence;
            QueryPresenceRequest req;
            req.asker = r::GetInt(p, f::kAsker);
            req.count = r::GetInt(p, f::kCount);
            for (std::size_t i = 0; i < req.numbers.size(); ++i) {
                req.numbers[i] = r::GetInt(p, f::kNumbers + 4 * i);
            }
            result.request = req;
            break;
        }
        case Command::kPresenceMode:
            result.request = PresenceModeRequest{r::GetInt(p, r::presence_mode::kNumber),
                                                 r::GetInt(p, r::presence_mode::kMode)};
            break;
    }
    return result;
}

}  // namespace kestrona::server
