#include "platform/call_crypto.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/app_paths.h"
#include "platform/atomic_file.h"
#include "platform/hex.h"

namespace kestrona {
namespace {

constexpr std::string_view kIdentityTag = "kestrona-identity 1 ";
constexpr std::size_t kSeedBytes = crypto_sign_SEEDBYTES;

static_assert(StreamSealer::kHeaderBytes == crypto_secretstream_xchacha20poly1305_HEADERBYTES);
static_assert(StreamSealer::kOverhead == crypto_secretstream_xchacha20poly1305_ABYTES);
static_assert(sizeof(SecretKey32::bytes) == crypto_secretstream_xchacha20poly1305_KEYBYTES);
static_assert(IdentityKey::kSignatureBytes == crypto_sign_BYTES);
static_assert(crypto_sign_SECRETKEYBYTES == 64 && crypto_sign_PUBLICKEYBYTES == 32);

// The seed from a key file's text; false for anything but the one line.
bool ParseIdentityFile(std::string_view text, uint8_t* seed) {
    if (text.size() && text.back() == '\n')
        text.remove_suffix(1);
    if (text.size() != kIdentityTag.size() + 2 * kSeedBytes ||
        text.substr(0, kIdentityTag.size()) != kIdentityTag)
        return false;
    text.remove_prefix(kIdentityTag.size());
    return ParseHex(text, seed, kSeedBytes);
}

std::string ErrnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

}  // namespace

bool CryptoReady() {
    // sodium_init is itself thread-safe and idempotent; the static keeps the
    // answer so later calls cost nothing.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

SecretKey32::~SecretKey32() {
    sodium_memzero(bytes.data(), bytes.size());
}

StreamSealer::StreamSealer(const SecretKey32& key) {
    CryptoReady();
    crypto_secretstream_xchacha20poly1305_init_push(&m_state, m_header.data(), key.bytes.data());
}

StreamSealer::~StreamSealer() {
    sodium_memzero(&m_state, sizeof m_state);
}

void StreamSealer::Seal(const uint8_t* in, std::size_t n, uint8_t* out) {
    crypto_secretstream_xchacha20poly1305_push(&m_state, out, nullptr, in, n, nullptr, 0,
                                               crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
}

StreamOpener::~StreamOpener() {
    sodium_memzero(&m_state, sizeof m_state);
}

bool StreamOpener::Start(const SecretKey32& key, const uint8_t* header) {
    CryptoReady();
    m_broken = false;
    m_started = header != nullptr && crypto_secretstream_xchacha20poly1305_init_pull(
                                         &m_state, header, key.bytes.data()) == 0;
    return m_started;
}

bool StreamOpener::Open(const uint8_t* in, std::size_t n, uint8_t* out) {
    if (!m_started || m_broken || in == nullptr || n < StreamSealer::kOverhead)
        return false;
    unsigned char tag = 0;
    unsigned long long produced = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(&m_state, out, &produced, &tag, in, n, nullptr,
                                                   0) != 0 ||
        tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE ||
        produced != n - StreamSealer::kOverhead) {
        // A failed pull leaves the state where it was, so the next message
        // could still open: a stream with a hole in it must not go on.
        m_broken = true;
        if (n > StreamSealer::kOverhead)
            sodium_memzero(out, n - StreamSealer::kOverhead);
        return false;
    }
    return true;
}

IdentityKey IdentityKey::Generate() {
    CryptoReady();
    IdentityKey key;
    crypto_sign_keypair(key.m_public.data(), key.m_secret.data());
    return key;
}

IdentityKey::IdentityKey(const IdentityKey& other)
    : m_public(other.m_public), m_secret(other.m_secret) {}

IdentityKey& IdentityKey::operator=(const IdentityKey& other) {
    m_public = other.m_public;
    m_secret = other.m_secret;
    return *this;
}

IdentityKey::~IdentityKey() {
    sodium_memzero(m_secret.data(), m_secret.size());
}

std::array<uint8_t, IdentityKey::kSignatureBytes> IdentityKey::Sign(const uint8_t* message,
                                                                    std::size_t n) const {
    std::array<uint8_t, kSignatureBytes> sig{};
    crypto_sign_detached(sig.data(), nullptr, message, n, m_secret.data());
    return sig;
}

bool IdentityKey::Verify(const std::array<uint8_t, 32>& publicKey, const uint8_t* message,
                         std::size_t n, const uint8_t* signature) {
    CryptoReady();
    return crypto_sign_verify_detached(signature, message, n, publicKey.data()) == 0;
}

std::optional<IdentityKey> IdentityKey::LoadOrCreate(const std::string& path, std::string& error) {
    error.clear();
    if (!CryptoReady()) {
        error = "the crypto library could not start";
        return std::nullopt;
    }
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !std::filesystem::exists(parent, ec)) {
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            error = "cannot create the folder of the identity key " + parent.string() + ": " +
                    ec.message();
            return std::nullopt;
        }
    }
    std::string text;
    const bool exists = ReadWholeFile(path, text, ec);
    if (!exists && ec != std::errc::no_such_file_or_directory) {
        error = "cannot read the identity key " + path + ": " + ec.message();
        return std::nullopt;
    }
    if (exists && !text.empty()) {
        IdentityKey key;
        uint8_t seed[kSeedBytes];
        const bool ok = ParseIdentityFile(text, seed);
        sodium_memzero(text.data(), text.size());
        if (ok) {
            crypto_sign_seed_keypair(key.m_public.data(), key.m_secret.data(), seed);
            sodium_memzero(seed, sizeof seed);
            // The secret must stay the user's own: a file that others may
            // read is narrowed rather than refused.
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
                std::fprintf(stderr, "kestrona: %s was readable by others; now mode 0600\n",
                             path.c_str());
                ::chmod(path.c_str(), 0600);
            }
            return key;
        }
        // Never overwrite what might be someone's only copy of a key.
        // A name no earlier damaged key has taken (two in one second).
        const std::string stem = path + ".broken-" + std::to_string(std::time(nullptr));
        std::string aside = stem;
        int moved = -1;
        for (int i = 1; i < 100; ++i) {
            moved = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
            if (moved == 0 || errno != EEXIST)
                break;
            aside = stem + "-" + std::to_string(i);
        }
        if (moved != 0) {
            error = "the identity key " + path +
                    " is damaged and cannot be moved aside: " + ErrnoText(errno);
            return std::nullopt;
        }
        std::fprintf(stderr,
                     "kestrona: the identity key %s was damaged; kept as %s, making a new one\n",
                     path.c_str(), aside.c_str());
        error = "the identity key was damaged (kept as " + aside +
                "); a new one was made, so peers will see a changed identity";
    }

    // The target is created empty with mode 0600 first: the atomic write
    // keeps the mode of the file it replaces, so the key never exists in a
    // file anyone else may read.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const std::string why = ErrnoText(errno);
        error = "cannot create the identity key " + path + ": " + why;
        return std::nullopt;
    }
    ::fchmod(fd, 0600);
    ::close(fd);

    IdentityKey key;
    uint8_t seed[kSeedBytes];
    randombytes_buf(seed, sizeof seed);
    crypto_sign_seed_keypair(key.m_public.data(), key.m_secret.data(), seed);
    std::string content = std::string(kIdentityTag) + HexOf(seed, sizeof seed) + "\n";
    sodium_memzero(seed, sizeof seed);
    const bool written = WriteFileAtomically(path, content, ec);
    sodium_memzero(content.data(), content.size());
    if (!written) {
        error = "cannot write the identity key " + path + ": " + ec.message();
        return std::nullopt;
    }
    return key;
}

std::string DefaultIdentityKeyPath() {
    return (PhoneDataDir() / "identity.key").string();
}

std::string SasFromHash(const uint8_t* hash, std::size_t n) {
    std::string sas;
    if (n < 3)
        return sas;
    const uint32_t bits = uint32_t(hash[0]) << 16 | uint32_t(hash[1]) << 8 | hash[2];
    for (std::size_t i = 0; i < kSasLength; ++i)
        sas.push_back(kSasAlphabet[(bits >> (19 - 5 * i)) & 31]);
    return sas;
}

}  // namespace kestrona
