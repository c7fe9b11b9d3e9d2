// Salted password hashes (argon2id) and a memory of passwords already checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrona::server {

struct HashCost {
    unsigned long long ops = 0;
    std::size_t mem_bytes = 0;
    // libsodium's interactive limits: the most a login may cost at this load.
    static HashCost Interactive();
    // The cheapest argon2id allowed; only for tests and trial runs.
    static HashCost Minimum();
};

class PasswordHasher {
  public:
    explicit PasswordHasher(HashCost cost);
    // An encoded argon2id string with its own random salt; empty if out of memory.
    std::string Hash(std::string_view password) const;
    bool Verify(const std::string& encoded, std::string_view password) const;

  private:
    HashCost cost_;
};

// Remembers, per number, a keyed digest of the last password that passed the
// slow check and of the stored hash it passed against, so that repeated
// logins cost a fast hash. A password set anew elsewhere (by the operator, or
// on another instance) changes the stored hash and so takes the slow path
// again. The key is random per process and nothing leaves memory.
class VerifiedPasswords {
  public:
    explicit VerifiedPasswords(std::size_t capacity = 1 << 20);
    // Whether the password was the last one checked for number, whatever the
    // stored hash is now: a hint for where to run the check.
    bool Matches(std::int32_t number, std::string_view password) const;
    // Whether the password passed against exactly this stored hash.
    bool Matches(std::int32_t number, std::string_view password, std::string_view encoded) const;
    void Remember(std::int32_t number, std::string_view password, std::string_view encoded);

  private:
    using Digest = std::array<unsigned char, 32>;
    struct Entry {
        Digest password;
        Digest encoded;
    };
    Digest DigestOf(std::int32_t number, std::string_view text) const;

    std::array<unsigned char, 32> key_{};
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::int32_t, Entry> digests_;
};

}  // namespace kestrona::server
