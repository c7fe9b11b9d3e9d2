// The sealed command channel under hostile bytes. The first byte picks:
//   even: the rest arrives as it is, in pieces whose sizes the input picks;
//   odd:  a genuine stream of records arrives XORed with the rest.
// Whatever comes in: no crash, buffers stay bounded, and what comes out is
// only ever the genuine records, in order (never an altered one).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "net/sealed_channel.h"

namespace {

using kestrona::SealedChannel;
using Bytes = std::vector<uint8_t>;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

kestrona::SecretKey32 Key(uint8_t fill) {
    kestrona::SecretKey32 k;
    k.bytes.fill(fill);
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool xorMode = data[0] & 1;
    ++data;
    --size;
    SealedChannel sender(Key(1), Key(2)), receiver(Key(2), Key(1));
    std::vector<Bytes> records;
    std::vector<Bytes> got;
    if (!xorMode) {
        size_t at = 0;
        while (at < size) {
            size_t piece = 1 + data[at] % 64;
            ++at;
            if (piece > size - at)
                piece = size - at;
            // Exactly the piece's bytes, so that reading past them is caught.
            const Bytes chunk(data + at, data + at + piece);
            if (receiver.OnBytes(chunk.data(), chunk.size(), got) == SealedChannel::Feed::kFailed)
                break;
            at += piece;
        }
        // Nothing sealed with the peer's key arrives out of random bytes.
        Require(got.empty());
        return 0;
    }
    Bytes wire = sender.Prologue();
    const char* words[] = {"STARTTALK", "ENDTALK", "AUTOANSWER", "PARAMENTER"};
    for (int i = 0; i < 4; ++i) {
        Bytes rec(words[i], words[i] + std::char_traits<char>::length(words[i]));
        rec.resize(rec.size() + size_t(i) * 50, 0);
        records.push_back(rec);
        const Bytes frame = sender.Seal(rec.data(), rec.size());
        wire.insert(wire.end(), frame.begin(), frame.end());
    }
    bool altered = false;
    for (size_t i = 0; i < wire.size() && i < size; ++i) {
        altered |= data[i] != 0;
        wire[i] ^= data[i];
    }
    const Bytes extra(data + (size < wire.size() ? size : wire.size()), data + size);
    receiver.OnBytes(wire.data(), wire.size(), got);
    if (!extra.empty())
        receiver.OnBytes(extra.data(), extra.size(), got);
    Require(got.size() <= records.size());
    for (size_t i = 0; i < got.size(); ++i) Require(got[i] == records[i]);
    if (!altered)
        Require(got.size() == records.size());
    return 0;
}
