#include "net/stun_message.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace kestrona::stun {
namespace {

constexpr std::size_t kIntegritySize = 20;  // HMAC-SHA1
constexpr std::size_t kIntegrityAttrSize = 4 + kIntegritySize;
constexpr std::size_t kFingerprintAttrSize = 4 + 4;
constexpr uint32_t kFingerprintXor = 0x5354554e;
// The length field is 16 bits; anything longer cannot be put on the wire.
constexpr std::size_t kMaxLengthField = 0xFFFF & ~std::size_t{3};

uint16_t Get16(std::span<const uint8_t> b, std::size_t at) {
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

uint32_t Get32(std::span<const uint8_t> b, std::size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
           uint32_t{b[at + 3]};
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v >> 16));
    Put16(out, static_cast<uint16_t>(v));
}

void Set16(std::vector<uint8_t>& out, std::size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v >> 8);
    out[at + 1] = static_cast<uint8_t>(v);
}

constexpr std::size_t Padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

uint16_t EncodeType(Method method, Class cls) {
    const auto m = static_cast<uint16_t>(method);
    const auto c = static_cast<uint16_t>(cls);
    return static_cast<uint16_t>((m & 0x000F) | ((m & 0x0070) << 1) | ((m & 0x0F80) << 2) |
                                 ((c & 1) << 4) | ((c & 2) << 7));
}

Method DecodeMethod(uint16_t type) {
    return static_cast<Method>((type & 0x000F) | ((type & 0x00E0) >> 1) | ((type & 0x3E00) >> 2));
}

Class DecodeClass(uint16_t type) {
    return static_cast<Class>(((type >> 4) & 1) | ((type >> 7) & 2));
}

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

uint32_t Crc32(std::span<const uint8_t> data) {
    static constexpr std::array<uint32_t, 256> kTable = MakeCrcTable();
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t byte : data) c = kTable[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::array<uint8_t, kIntegritySize> HmacSha1(const Key& key, std::span<const uint8_t> data) {
    // HMAC() wants a non-null key pointer even for an empty key.
    static const uint8_t kNoKey = 0;
    std::array<uint8_t, kIntegritySize> mac{};
    unsigned int macLength = 0;
    if (!HMAC(EVP_sha1(), key.empty() ? &kNoKey : key.data(), static_cast<int>(key.size()),
              data.data(), data.size(), mac.data(), &macLength) ||
        macLength != mac.size())
        throw std::runtime_error("HMAC-SHA1 failed");
    return mac;
}

}  // namespace

TransactionId NewTransactionId() {
    TransactionId id{};
    // A guessable id would let an off-path host forge a relay's answers.
    if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1)
        throw std::runtime_error("no random bytes for a STUN transaction id");
    return id;
}

Address Address::Ipv4(uint32_t hostOrder, uint16_t port) {
    Address a;
    a.bytes[0] = static_cast<uint8_t>(hostOrder >> 24);
    a.bytes[1] = static_cast<uint8_t>(hostOrder >> 16);
    a.bytes[2] = static_cast<uint8_t>(hostOrder >> 8);
    a.bytes[3] = static_cast<uint8_t>(hostOrder);
    a.port = port;
    return a;
}

std::optional<Address> Address::FromText(std::string_view dotted, uint16_t port) {
    Address a;
    a.port = port;
    const char* p = dotted.data();
    const char* const end = dotted.data() + dotted.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.')
                return std::nullopt;
            ++p;
        }
        const char* digitsEnd = p;
        while (digitsEnd != end && *digitsEnd >= '0' && *digitsEnd <= '9') ++digitsEnd;
        if (digitsEnd == p || digitsEnd - p > 3)
            return std::nullopt;
        unsigned value = 0;
        std::from_chars(p, digitsEnd, value);
        if (value > 255)
            return std::nullopt;
        a.bytes[i] = static_cast<uint8_t>(value);
        p = digitsEnd;
    }
    if (p != end)
        return std::nullopt;
    return a;
}

std::string Address::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text))
        return {};
    return text;
}

Key ShortTermKey(std::string_view password) {
    return Key(password.begin(), password.end());
}

Key LongTermKey(std::string_view username, std::string_view realm, std::string_view password) {
    std::string input;
    input.reserve(username.size() + realm.size() + password.size() + 2);
    input.append(username).append(":").append(realm).append(":").append(password);
    Key key(16);
    unsigned int length = 0;
    if (!EVP_Digest(input.data(), input.size(), key.data(), &length, EVP_md5(), nullptr) ||
        length != key.size())
        throw std::runtime_error("MD5 failed");
    return key;
}

MessageBuilder::MessageBuilder(Method method, Class cls, const TransactionId& id)
    : m_method(method), m_class(cls), m_id(id) {}

MessageBuilder& MessageBuilder::Add(uint16_t type, std::span<const uint8_t> value) {
    // Room is kept for MESSAGE-INTEGRITY and FINGERPRINT so that Finish cannot overflow.
    if (m_attributes.size() + 4 + Padded(value.size()) + kIntegrityAttrSize + kFingerprintAttrSize >
        kMaxLengthField)
        throw std::length_error("STUN attribute does not fit in a message");
    Put16(m_attributes, type);
    Put16(m_attributes, static_cast<uint16_t>(value.size()));
    m_attributes.insert(m_attributes.end(), value.begin(), value.end());
    m_attributes.resize(m_attributes.size() + Padded(value.size()) - value.size(), 0);
    return *this;
}

MessageBuilder& MessageBuilder::AddText(uint16_t type, std::string_view text) {
    return Add(type, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

MessageBuilder& MessageBuilder::AddUint32(uint16_t type, uint32_t value) {
    std::vector<uint8_t> v;
    Put32(v, value);
    return Add(type, v);
}

MessageBuilder& MessageBuilder::AddXorAddress(uint16_t type, const Address& address) {
    std::vector<uint8_t> v{0, static_cast<uint8_t>(address.ipv6 ? 0x02 : 0x01)};
    Put16(v, static_cast<uint16_t>(address.port ^ (kMagicCookie >> 16)));
    std::array<uint8_t, 16> mask{};
    mask[0] = static_cast<uint8_t>(kMagicCookie >> 24);
    mask[1] = static_cast<uint8_t>(kMagicCookie >> 16);
    mask[2] = static_cast<uint8_t>(kMagicCookie >> 8);
    mask[3] = static_cast<uint8_t>(kMagicCookie);
    std::copy(m_id.begin(), m_id.end(), mask.begin() + 4);
    const std::size_t n = address.ipv6 ? 16 : 4;
    for (std::size_t i = 0; i < n; ++i) v.push_back(address.bytes[i] ^ mask[i]);
    return Add(type, v);
}

MessageBuilder& MessageBuilder::AddErrorCode(int code, std::string_view reason) {
    if (code < 300 || code > 699)
        throw std::invalid_argument("STUN error code outside 300..699");
    std::vector<uint8_t> v{0, 0, static_cast<uint8_t>(code / 100),
                           static_cast<uint8_t>(code % 100)};
    v.insert(v.end(), reason.begin(), reason.end());
    return Add(attr::kErrorCode, v);
}

MessageBuilder& MessageBuilder::AddRequestedTransport(uint8_t protocol) {
    const std::array<uint8_t, 4> v{protocol, 0, 0, 0};
    return Add(attr::kRequestedTransport, v);
}

std::vector<uint8_t> MessageBuilder::Finish(const Key* integrityKey, bool fingerprint) const {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + m_attributes.size() + kIntegrityAttrSize + kFingerprintAttrSize);
    Put16(out, EncodeType(m_method, m_class));
    Put16(out, static_cast<uint16_t>(m_attributes.size()));
    Put32(out, kMagicCookie);
    out.insert(out.end(), m_id.begin(), m_id.end());
    out.insert(out.end(), m_attributes.begin(), m_attributes.end());
    if (integrityKey) {
        Set16(out, 2, static_cast<uint16_t>(out.size() - kHeaderSize + kIntegrityAttrSize));
        const auto mac = HmacSha1(*integrityKey, out);
        Put16(out, attr::kMessageIntegrity);
        Put16(out, static_cast<uint16_t>(kIntegritySize));
        out.insert(out.end(), mac.begin(), mac.end());
    }
    if (fingerprint) {
        Set16(out, 2, static_cast<uint16_t>(out.size() - kHeaderSize + kFingerprintAttrSize));
        const uint32_t crc = Crc32(out) ^ kFingerprintXor;
        Put16(out, attr::kFingerprint);
        Put16(out, 4);
        Put32(out, crc);
    }
    return out;
}

std::optional<std::size_t> MessageLength(std::span<const uint8_t> data) {
    // Whatever part of the header is there is checked, so that a stream of
    // other bytes is refused at once instead of waiting for twenty of them.
    if (!data.empty() && (data[0] & 0xC0) != 0)
        return std::nullopt;
    if (data.size() >= 4) {
        const std::size_t length = Get16(data, 2);
        if (length % 4 != 0 || kHeaderSize + length > kMaxMessageSize)
            return std::nullopt;
    }
    const std::array<uint8_t, 4> cookie{0x21, 0x12, 0xA4, 0x42};
    for (std::size_t i = 4; i < std::min<std::size_t>(data.size(), 8); ++i)
        if (data[i] != cookie[i - 4])
            return std::nullopt;
    if (data.size() < kHeaderSize)
        return 0;
    return kHeaderSize + Get16(data, 2);
}

std::optional<Message> Message::Parse(std::span<const uint8_t> bytes) {
    const auto length = MessageLength(bytes);
    if (!length || *length == 0 || *length != bytes.size())
        return std::nullopt;
    Message m;
    const uint16_t type = Get16(bytes, 0);
    m.m_method = DecodeMethod(type);
    m.m_class = DecodeClass(type);
    std::copy(bytes.begin() + 8, bytes.begin() + kHeaderSize, m.m_id.begin());
    std::size_t at = kHeaderSize;
    while (at < bytes.size()) {
        if (bytes.size() - at < 4)
            return std::nullopt;
        Attribute a;
        a.type = Get16(bytes, at);
        a.length = Get16(bytes, at + 2);
        a.offset = at + 4;
        // The padding must be there too: the last attribute's included.
        if (Padded(a.length) > bytes.size() - a.offset)
            return std::nullopt;
        m.m_attributes.push_back(a);
        at = a.offset + Padded(a.length);
    }
    m.m_bytes.assign(bytes.begin(), bytes.end());
    return m;
}

const Attribute* Message::Find(uint16_t type) const {
    for (const Attribute& a : m_attributes) {
        if (a.type == type)
            return &a;
        // Whatever follows these is not covered by them and could have been
        // added on the way; only FINGERPRINT may come after the integrity.
        if (a.type == attr::kFingerprint)
            return nullptr;
        if (a.type == attr::kMessageIntegrity && type != attr::kFingerprint)
            return nullptr;
    }
    return nullptr;
}

std::span<const uint8_t> Message::Value(const Attribute& attribute) const {
    if (attribute.offset > m_bytes.size() || attribute.length > m_bytes.size() - attribute.offset)
        return {};
    return std::span(m_bytes).subspan(attribute.offset, attribute.length);
}

std::optional<std::string> Message::Text(uint16_t type) const {
    const Attribute* a = Find(type);
    if (!a)
        return std::nullopt;
    const auto v = Value(*a);
    return std::string(v.begin(), v.end());
}

std::optional<uint32_t> Message::Uint32(uint16_t type) const {
    const Attribute* a = Find(type);
    if (!a || a->length != 4)
        return std::nullopt;
    return Get32(Value(*a), 0);
}

std::optional<Address> Message::XorAddress(uint16_t type) const {
    const Attribute* a = Find(type);
    if (!a)
        return std::nullopt;
    const auto v = Value(*a);
    Address address;
    if (v.size() == 8 && v[1] == 0x01)
        address.ipv6 = false;
    else if (v.size() == 20 && v[1] == 0x02)
        address.ipv6 = true;
    else
        return std::nullopt;
    address.port = static_cast<uint16_t>(Get16(v, 2) ^ (kMagicCookie >> 16));
    // The mask is the cookie and then the transaction id, as in the header.
    const auto mask = std::span(m_bytes).subspan(4, 16);
    for (std::size_t i = 0; i + 4 < v.size(); ++i) address.bytes[i] = v[4 + i] ^ mask[i];
    return address;
}

std::optional<Message::Error> Message::ErrorCode() const {
    const Attribute* a = Find(attr::kErrorCode);
    if (!a || a->length < 4)
        return std::nullopt;
    const auto v = Value(*a);
    const int hundreds = v[2] & 0x07;
    const int number = v[3];
    if (hundreds < 3 || hundreds > 6 || number > 99)
        return std::nullopt;
    return Error{hundreds * 100 + number, std::string(v.begin() + 4, v.end())};
}

bool Message::CheckIntegrity(const Key& key) const {
    const Attribute* a = Find(attr::kMessageIntegrity);
    if (!a || a->length != kIntegritySize)
        return false;
    const std::size_t attrStart = a->offset - 4;
    std::vector<uint8_t> covered(m_bytes.begin(), m_bytes.begin() + attrStart);
    Set16(covered, 2, static_cast<uint16_t>(attrStart - kHeaderSize + kIntegrityAttrSize));
    const auto mac = HmacSha1(key, covered);
    return CRYPTO_memcmp(mac.data(), m_bytes.data() + a->offset, mac.size()) == 0;
}

bool Message::CheckFingerprint() const {
    if (m_attributes.empty())
        return false;
    const Attribute& a = m_attributes.back();
    if (a.type != attr::kFingerprint || a.length != 4)
        return false;
    const std::size_t attrStart = a.offset - 4;
    const uint32_t expected = Crc32(std::span(m_bytes).first(attrStart)) ^ kFingerprintXor;
    return Get32(m_bytes, a.offset) == expected;
}

}  // namespace kestrona::stun
