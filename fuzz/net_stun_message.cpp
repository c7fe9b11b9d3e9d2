// Feeds arbitrary bytes from a relay to the STUN framing, the reader and
// every accessor of a message it takes.
#include <cstdint>
#include <cstdlib>

#include "net/stun_message.h"

using namespace kestrona::stun;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Key key = ShortTermKey("VOkJxbRl1RmTxUk/WvJxBt");
    const std::span<const uint8_t> input(data, size);
    const auto length = MessageLength(input);
    if (!length || *length == 0)
        return 0;
    if (*length < kHeaderSize || *length > kMaxMessageSize)
        std::abort();
    if (*length > size)
        return 0;
    const auto message = Message::Parse(input.first(*length));
    if (!message)
        return 0;
    for (const Attribute& a : message->Attributes()) {
        if (a.offset + a.length > *length)
            std::abort();
        if (message->Value(a).size() != a.length)
            std::abort();
    }
    for (uint16_t type : {attr::kUsername, attr::kRealm, attr::kNonce, attr::kSoftware})
        (void)message->Text(type);
    (void)message->Uint32(attr::kLifetime);
    (void)message->Uint32(attr::kConnectionId);
    for (uint16_t type : {attr::kXorMappedAddress, attr::kXorPeerAddress, attr::kXorRelayedAddress})
        if (const auto address = message->XorAddress(type))
            (void)address->Text();
    if (const auto error = message->ErrorCode())
        if (error->code < 300 || error->code > 699)
            std::abort();
    (void)message->CheckIntegrity(key);
    (void)message->CheckFingerprint();
    return 0;
}
