// The cryptographic building blocks of an encrypted call: per-direction
// stream protection (XChaCha20-Poly1305 secret streams), the installation's
// long-term signing identity, and the keys one call agrees on. The exchange
// that agrees on them lives in net/call_handshake.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <sodium.h>

namespace kestrona {

// Initialises the crypto library once per process; safe from any thread.
// False when the library cannot start (no random source): nothing here works.
bool CryptoReady();

// A 32-byte secret, wiped when it goes away.
struct SecretKey32 {
    std::array<uint8_t, 32> bytes{};

    SecretKey32() = default;
    SecretKey32(const SecretKey32&) = default;
    SecretKey32& operator=(const SecretKey32&) = default;
    ~SecretKey32();
};

// Which audio stream a key protects, named after the callee's listening port
// the stream runs to: the "in" port carries the caller's speech to the
// callee, the "out" port the callee's speech to the caller.
inline constexpr int kAudioToCalleeIn = 0;
inline constexpr int kAudioFromCalleeOut = 1;

struct CallKeys {
    SecretKey32 commandFromCaller;  // command records the caller sends
    SecretKey32 commandFromCallee;  // command records the callee sends
    SecretKey32 audio[2];           // indexed by kAudioToCalleeIn / kAudioFromCalleeOut
    std::string sas;                // four characters, the same on both phones
    std::array<uint8_t, 32> peerIdentity{};
};

// The alphabet of the short authentication string: no 0/O, 1/I.
inline constexpr char kSasAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
inline constexpr std::size_t kSasLength = 4;

// Seals one direction of a stream. The header goes to the peer before the
// first message; every message then costs kOverhead bytes more than its
// plain text. A message can only be opened in the order it was sealed.
class StreamSealer {
  public:
    static constexpr std::size_t kHeaderBytes = 24, kOverhead = 17;

    explicit StreamSealer(const SecretKey32& key);
    ~StreamSealer();
    StreamSealer(const StreamSealer&) = delete;
    StreamSealer& operator=(const StreamSealer&) = delete;

    const std::array<uint8_t, kHeaderBytes>& Header() const { return m_header; }
    // out holds n + kOverhead bytes. Never allocates.
    void Seal(const uint8_t* in, std::size_t n, uint8_t* out);

  private:
    std::array<uint8_t, kHeaderBytes> m_header{};
    crypto_secretstream_xchacha20poly1305_state m_state{};
};

// Opens what a StreamSealer sealed, message by message.
class StreamOpener {
  public:
    StreamOpener() = default;
    ~StreamOpener();
    StreamOpener(const StreamOpener&) = delete;
    StreamOpener& operator=(const StreamOpener&) = delete;

    // header: kHeaderBytes from the peer. False for a header that cannot start
    // a stream; Open then fails until a Start succeeds.
    bool Start(const SecretKey32& key, const uint8_t* header);
    // in: n bytes including the overhead; out: n - kOverhead bytes. False when
    // the message was altered, cut, replayed, reordered or is not the next
    // one; the stream is then broken for good (every later Open fails too),
    // and out holds nothing usable. Never allocates.
    bool Open(const uint8_t* in, std::size_t n, uint8_t* out);
    bool Started() const { return m_started && !m_broken; }

  private:
    crypto_secretstream_xchacha20poly1305_state m_state{};
    bool m_started = false;
    bool m_broken = false;
};

// The installation's long-term Ed25519 identity. Its file holds one line
// "kestrona-identity 1 " and the 64 hex digits of the 32-byte seed, mode 0600.
class IdentityKey {
  public:
    static constexpr std::size_t kSignatureBytes = 64;

    // Loads the key at path, or creates and stores a new one when the file
    // does not exist (or is empty: a write cut before any content). A file
    // that is present but unreadable as a key is moved aside to
    // path + ".broken-<seconds>", logged, and a new key takes its place; error
    // then explains that, while the result still holds the new key. nullopt
    // (error set) only when no key can be had: the folder is not writable,
    // the file cannot be read, or the crypto library cannot start.
    static std::optional<IdentityKey> LoadOrCreate(const std::string& path, std::string& error);
    // A key that lives only in memory (tests, benchmarks, a phone whose data
    // folder is gone).
    static IdentityKey Generate();

    IdentityKey(const IdentityKey& other);
    IdentityKey& operator=(const IdentityKey& other);
    ~IdentityKey();

    const std::array<uint8_t, 32>& PublicKey() const { return m_public; }
    std::array<uint8_t, kSignatureBytes> Sign(const uint8_t* message, std::size_t n) const;
    static bool Verify(const std::array<uint8_t, 32>& publicKey, const uint8_t* message,
                       std::size_t n, const uint8_t* signature);

  private:
    IdentityKey() = default;
    std::array<uint8_t, 32> m_public{};
    std::array<uint8_t, 64> m_secret{};  // seed followed by the public key
};

// Where the phone keeps its identity: identity.key in the data folder.
std::string DefaultIdentityKeyPath();

// The four-character string for a transcript hash (at least 3 bytes are
// used: 5 bits per character).
std::string SasFromHash(const uint8_t* hash, std::size_t n);

}  // namespace kestrona
