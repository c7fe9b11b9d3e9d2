// STUN messages (RFC 5389) with the TURN methods and attributes that TCP
// relaying needs (RFC 5766, RFC 6062): building a message with its
// MESSAGE-INTEGRITY and FINGERPRINT, finding where a message ends in a byte
// stream, and reading one with every length checked. Plain C++; the HMAC and
// digest come from OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrona::stun {

inline constexpr uint32_t kMagicCookie = 0x2112A442;
inline constexpr std::size_t kHeaderSize = 20;
// The largest message this reader takes; a relay's answers are far smaller,
// and nothing larger is ever buffered.
inline constexpr std::size_t kMaxMessageSize = 2048;

enum class Method : uint16_t {
    kBinding = 0x001,
    kAllocate = 0x003,
    kRefresh = 0x004,
    kCreatePermission = 0x008,
    kConnect = 0x00A,
    kConnectionBind = 0x00B,
    kConnectionAttempt = 0x00C,
};

enum class Class : uint8_t { kRequest = 0, kIndication = 1, kSuccess = 2, kError = 3 };

namespace attr {
inline constexpr uint16_t kMappedAddress = 0x0001;
inline constexpr uint16_t kUsername = 0x0006;
inline constexpr uint16_t kMessageIntegrity = 0x0008;
inline constexpr uint16_t kErrorCode = 0x0009;
inline constexpr uint16_t kUnknownAttributes = 0x000A;
inline constexpr uint16_t kLifetime = 0x000D;
inline constexpr uint16_t kXorPeerAddress = 0x0012;
inline constexpr uint16_t kData = 0x0013;
inline constexpr uint16_t kRealm = 0x0014;
inline constexpr uint16_t kNonce = 0x0015;
inline constexpr uint16_t kXorRelayedAddress = 0x0016;
inline constexpr uint16_t kRequestedTransport = 0x0019;
inline constexpr uint16_t kXorMappedAddress = 0x0020;
inline constexpr uint16_t kConnectionId = 0x002A;
inline constexpr uint16_t kSoftware = 0x8022;
inline constexpr uint16_t kFingerprint = 0x8028;
}  // namespace attr

// REQUESTED-TRANSPORT's protocol number for a TCP relay.
inline constexpr uint8_t kTransportTcp = 6;

using TransactionId = std::array<uint8_t, 12>;
// A fresh random transaction id.
TransactionId NewTransactionId();

// A transport address. IPv4 in `bytes[0..3]` (network order) when !ipv6.
struct Address {
    bool ipv6 = false;
    std::array<uint8_t, 16> bytes{};
    uint16_t port = 0;

    static Address Ipv4(uint32_t hostOrder, uint16_t port);
    // Dotted IPv4 text; nullopt when it is not one.
    static std::optional<Address> FromText(std::string_view dotted, uint16_t port);
    // Dotted IPv4 text, or the usual IPv6 text.
    std::string Text() const;
    bool operator==(const Address&) const = default;
};

// The key of MESSAGE-INTEGRITY: the password itself for short-term
// credentials, MD5(username ":" realm ":" password) for long-term ones.
using Key = std::vector<uint8_t>;
Key ShortTermKey(std::string_view password);
Key LongTermKey(std::string_view username, std::string_view realm, std::string_view password);

class MessageBuilder {
  public:
    MessageBuilder(Method method, Class cls, const TransactionId& id);

    MessageBuilder& Add(uint16_t type, std::span<const uint8_t> value);
    MessageBuilder& AddText(uint16_t type, std::string_view text);
    MessageBuilder& AddUint32(uint16_t type, uint32_t value);
    // XOR-MAPPED-ADDRESS, XOR-PEER-ADDRESS, XOR-RELAYED-ADDRESS.
    MessageBuilder& AddXorAddress(uint16_t type, const Address& address);
    MessageBuilder& AddErrorCode(int code, std::string_view reason);
    // REQUESTED-TRANSPORT with the given protocol and three zero bytes.
    MessageBuilder& AddRequestedTransport(uint8_t protocol);

    // The whole message. With a key, MESSAGE-INTEGRITY follows the
    // attributes; with fingerprint, FINGERPRINT comes last.
    std::vector<uint8_t> Finish(const Key* integrityKey, bool fingerprint) const;

  private:
    Method m_method;
    Class m_class;
    TransactionId m_id;
    std::vector<uint8_t> m_attributes;  // encoded, each padded to 4 bytes
};

// How many bytes of `data` the message at its start takes: 0 while its
// header is not all there, nullopt when the bytes cannot begin a STUN
// message (top bits, magic cookie, a length that is not a multiple of four
// or larger than kMaxMessageSize allows).
std::optional<std::size_t> MessageLength(std::span<const uint8_t> data);

struct Attribute {
    uint16_t type = 0;
    std::size_t offset = 0;  // of the value, from the start of the message
    std::size_t length = 0;  // of the value, without padding
};

class Message {
  public:
    // Reads exactly one whole message; nullopt when it is not well formed
    // (header, every attribute's length within the message, padding).
    static std::optional<Message> Parse(std::span<const uint8_t> bytes);

    Method GetMethod() const { return m_method; }
    Class GetClass() const { return m_class; }
    const TransactionId& Transaction() const { return m_id; }
    const std::vector<Attribute>& Attributes() const { return m_attributes; }

    // The first attribute of the type (attributes after MESSAGE-INTEGRITY
    // other than FINGERPRINT are not looked at, as the standard says).
    const Attribute* Find(uint16_t type) const;
    std::span<const uint8_t> Value(const Attribute& attribute) const;
    std::optional<std::string> Text(uint16_t type) const;
    std::optional<uint32_t> Uint32(uint16_t type) const;
    std::optional<Address> XorAddress(uint16_t type) const;
    // ERROR-CODE: the code (300..699) and its reason phrase.
    struct Error {
        int code = 0;
        std::string reason;
    };
    std::optional<Error> ErrorCode() const;

    // MESSAGE-INTEGRITY is present and right for this key.
    bool CheckIntegrity(const Key& key) const;
    // FINGERPRINT is present, last, and right.
    bool CheckFingerprint() const;

  private:
    std::vector<uint8_t> m_bytes;
    Method m_method = Method::kBinding;
    Class m_class = Class::kRequest;
    TransactionId m_id{};
    std::vector<Attribute> m_attributes;
};

}  // namespace kestrona::stun
