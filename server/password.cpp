#include "server/password.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace kestrona::server {

namespace {

void InitSodium() {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
}

}  // namespace

HashCost HashCost::Interactive() {
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

HashCost HashCost::Minimum() {
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

PasswordHasher::PasswordHasher(HashCost cost) : cost_(cost) {
    InitSodium();
}

std::string PasswordHasher::Hash(std::string_view password) const {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), cost_.ops, cost_.mem_bytes,
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return {};
    }
    return out;
}

bool PasswordHasher::Verify(const std::string& encoded, std::string_view password) const {
    if (encoded.empty() || encoded.size() >= crypto_pwhash_STRBYTES) {
        return false;
    }
    return crypto_pwhash_str_verify(encoded.c_str(), password.data(), password.size()) == 0;
}

VerifiedPasswords::VerifiedPasswords(std::size_t capacity) : capacity_(capacity) {
    InitSodium();
    randombytes_buf(key_.data(), key_.size());
}

VerifiedPasswords::Digest VerifiedPasswords::DigestOf(std::int32_t number,
                                                      std::string_view text) const {
    crypto_generichash_state state;
    crypto_generichash_init(&state, key_.data(), key_.size(), 32);
    unsigned char n[4];
    std::memcpy(n, &number, sizeof n);
    crypto_generichash_update(&state, n, sizeof n);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(text.data()),
                              text.size());
    Digest digest;
    crypto_generichash_final(&state, digest.data(), digest.size());
    return digest;
}

bool VerifiedPasswords::Matches(std::int32_t number, std::string_view password) const {
    Digest digest = DigestOf(number, password);
    std::lock_guard lock(mutex_);
    auto it = digests_.find(number);
    return it != digests_.end() &&
           sodium_memcmp(it->second.password.data(), digest.data(), digest.size()) == 0;
}

bool VerifiedPasswords::Matches(std::int32_t number, std::string_view password,
                                std::string_view encoded) const {
    Digest digest = DigestOf(number, password);
    Digest hash = DigestOf(number, encoded);
    std::lock_guard lock(mutex_);
    auto it = digests_.find(number);
    return it != digests_.end() &&
           sodium_memcmp(it->second.password.data(), digest.data(), digest.size()) == 0 &&
           sodium_memcmp(it->second.encoded.data(), hash.data(), hash.size()) == 0;
}

void VerifiedPasswords::Remember(std::int32_t number, std::string_view password,
                                 std::string_view encoded) {
    Entry entry{DigestOf(number, password), DigestOf(number, encoded)};
    std::lock_guard lock(mutex_);
    if (digests_.size() >= capacity_ && !digests_.contains(number)) {
        // Forgetting costs only a slow check later; memory must stay bounded.
        digests_.clear();
    }
    digests_[number] = entry;
}

}  // namespace kestrona::server
