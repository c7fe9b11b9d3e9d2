// Which identity each peer number showed at its first encrypted call (trust
// on first use). A text file in the data folder, mode 0600, replaced whole
// on every change:
//
//   kestrona-known-peers 1
//   <number> <64 hex digits of the peer's identity key>
//   ...
//
// Lines that do not read as an entry are kept as they are on rewrite, so a
// damaged line never turns a peer back into an unknown one without trace.
//
// When to Remember: Check() only looks. The phone remembers a new or changed
// identity when the call is answered (it connected and the user accepted it,
// warned if it had changed), never while a call merely rings, so a refused
// call with a changed identity leaves the old identity in place and the next
// call warns again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrona {

class KnownPeers {
  public:
    // Bounds on what is read and kept: a larger file is read only up to
    // kMaxFileBytes, and no more than kMaxPeers numbers are remembered.
    static constexpr std::size_t kMaxPeers = 10000;
    static constexpr std::size_t kMaxFileBytes = 1 << 20;
    static constexpr std::size_t kMaxLineBytes = 256;
    // Damaged lines kept for rewrite; with kMaxPeers entries, a file this
    // store writes stays below kMaxFileBytes.
    static constexpr std::size_t kMaxOtherLines = 1000;

    explicit KnownPeers(std::string path);

    enum class Verdict { kNew, kSame, kChanged };
    // kNew also for a number that is not a plain telephone number (digits
    // only), which is never stored.
    Verdict Check(const std::string& number, const std::array<uint8_t, 32>& identity) const;
    // Stores (or replaces) the number's identity. False, error set, when the
    // number is not a plain telephone number, the store is full, the file is
    // larger than this store ever writes (a rewrite would cut it), or it
    // cannot be read or written; the file is then unchanged.
    bool Remember(const std::string& number, const std::array<uint8_t, 32>& identity,
                  std::string& error);

    // The parsed content of a file's text (exposed for the fuzzer and tests).
    struct Content {
        std::map<std::string, std::array<uint8_t, 32>> peers;
        std::vector<std::string> otherLines;  // kept verbatim on rewrite
        bool truncated = false;               // the text was longer than kMaxFileBytes
    };
    static Content Parse(std::string_view text);
    static std::string Format(const Content& content);

    const std::string& Path() const { return m_path; }

  private:
    bool Load(Content& out, std::string& error) const;

    std::string m_path;
    mutable std::mutex m_mutex;
};

// known_peers.txt in the data folder.
std::string DefaultKnownPeersPath();

}  // namespace kestrona
