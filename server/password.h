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
// slow check, so that repeated logins cost a fast hash. The key is random per
// process and nothing leaves memory; a different password always takes the
// slow path again.
class VerifiedPasswords {
  public:
    explicit VerifiedPasswords(std::size_t capacity = 1 << 20);
    bool Matches(std::int32_t number, std::string_view password) const;
    void Remember(std::int32_t number, std::string_view password);

  private:
    using Digest = std::array<unsigned char, 32>;
    Digest DigestOf(std::int32_t number, std::string_view password) const;

    std::array<unsigned char, 32> key_{};
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::int32_t, Digest> digests_;
};

}  // namespace kestrona::server
