#include "store/known_peers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/app_paths.h"
#include "platform/atomic_file.h"
#include "platform/hex.h"

namespace kestrona {
namespace {

constexpr std::string_view kHeader = "kestrona-known-peers 1";
constexpr std::size_t kMaxNumberDigits = 10;
static_assert(kHeader.size() + 1 + KnownPeers::kMaxPeers * (kMaxNumberDigits + 66) +
                      KnownPeers::kMaxOtherLines * (KnownPeers::kMaxLineBytes + 1) <
                  KnownPeers::kMaxFileBytes,
              "a file this store writes must read back whole");

bool IsPlainNumber(std::string_view s) {
    if (s.empty() || s.size() > kMaxNumberDigits)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool ParseEntry(std::string_view line, std::string& number, std::array<uint8_t, 32>& key) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return false;
    const std::string_view num = line.substr(0, space), hex = line.substr(space + 1);
    if (!IsPlainNumber(num) || hex.size() != 64)
        return false;
    if (!ParseHex(hex, key.data(), key.size()))
        return false;
    number.assign(num);
    return true;
}

}  // namespace

KnownPeers::KnownPeers(std::string path) : m_path(std::move(path)) {}

KnownPeers::Content KnownPeers::Parse(std::string_view text) {
    Content content;
    if (text.size() > kMaxFileBytes) {
        text = text.substr(0, kMaxFileBytes);
        content.truncated = true;
    }
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line == kHeader)
            continue;
        std::string number;
        std::array<uint8_t, 32> key{};
        if (ParseEntry(line, number, key)) {
            if (content.peers.size() < kMaxPeers || content.peers.count(number))
                content.peers[number] = key;
        } else if (line.size() <= kMaxLineBytes && content.otherLines.size() < kMaxOtherLines) {
            content.otherLines.emplace_back(line);
        }
    }
    return content;
}

std::string KnownPeers::Format(const Content& content) {
    std::string out(kHeader);
    out += '\n';
    for (const auto& [number, key] : content.peers) {
        out += number;
        out += ' ';
        AppendHex(out, key.data(), key.size());
        out += '\n';
    }
    for (const auto& line : content.otherLines) {
        out += line;
        out += '\n';
    }
    return out;
}

bool KnownPeers::Load(Content& out, std::string& error) const {
    std::string text;
    std::error_code ec;
    if (!ReadWholeFile(m_path, text, ec)) {
        if (ec == std::errc::no_such_file_or_directory) {
            out = Content{};
            return true;
        }
        error = "cannot read " + m_path + ": " + ec.message();
        return false;
    }
    out = Parse(text);
    return true;
}

KnownPeers::Verdict KnownPeers::Check(const std::string& number,
                                      const std::array<uint8_t, 32>& identity) const {
    if (!IsPlainNumber(number))
        return Verdict::kNew;
    std::lock_guard lock(m_mutex);
    Content content;
    std::string error;
    if (!Load(content, error)) {
        // Treated as unknown, but said: a store that cannot be read must not
        // pass for an empty one unnoticed.
        std::fprintf(stderr, "kestrona: %s\n", error.c_str());
        return Verdict::kNew;
    }
    const auto it = content.peers.find(number);
    if (it == content.peers.end())
        return Verdict::kNew;
    return it->second == identity ? Verdict::kSame : Verdict::kChanged;
}

bool KnownPeers::Remember(const std::string& number, const std::array<uint8_t, 32>& identity,
                          std::string& error) {
    error.clear();
    if (!IsPlainNumber(number)) {
        error = "not a telephone number: " + number.substr(0, 16);
        return false;
    }
    std::lock_guard lock(m_mutex);
    Content content;
    if (!Load(content, error))
        return false;
    if (content.truncated) {
        error = m_path + " is larger than a list of known peers can be; left as it is";
        return false;
    }
    if (!content.peers.count(number) && content.peers.size() >= kMaxPeers) {
        error = "the list of known peers is full";
        return false;
    }
    content.peers[number] = identity;
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(m_path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    // Created with mode 0600 before the atomic write, which keeps the mode
    // of the file it replaces.
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot create " + m_path + ": " +
                std::error_code(errno, std::generic_category()).message();
        return false;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    if (!WriteFileAtomically(m_path, Format(content), ec)) {
        error = "cannot write " + m_path + ": " + ec.message();
        return false;
    }
    return true;
}

std::string DefaultKnownPeersPath() {
    return (PhoneDataDir() / "known_peers.txt").string();
}

}  // namespace kestrona
