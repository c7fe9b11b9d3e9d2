// The key exchange of an encrypted call under hostile records. The first byte
// picks what the rest is:
//   even: raw records, kRecordSize bytes each, fed in turn to a caller and a
//         callee (what a peer that is not one of ours can send);
//   odd:  an honest exchange whose records are XORed on the way with the rest
//         of the input (what a relay in the middle can do to a real one).
// Whatever comes in: no crash, no read outside the record, and two sides
// never both finish unless nothing was altered, and then with equal keys.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/call_handshake.h"

namespace {

using kestrona::CallHandshake;
using Step = CallHandshake::Step;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

const kestrona::IdentityKey& Alice() {
    static const kestrona::IdentityKey key = kestrona::IdentityKey::Generate();
    return key;
}
const kestrona::IdentityKey& Bob() {
    static const kestrona::IdentityKey key = kestrona::IdentityKey::Generate();
    return key;
}

const uint8_t kRequestCall[48] = {'R',  'E', 'Q', 'U', 'E', 'S', 'T', 'C', 'A',  'L',  'L', 0,
                                  0,    0,   0,   0,   0,   0,   0,   0,   0x40, 0x1f, 0,   0,
                                  0xe9, 3,   0,   0,   1,   0,   0,   0,   0xf4, 1,    0,   0};

void RawRecords(const uint8_t* data, size_t size) {
    for (auto role : {CallHandshake::Role::kCaller, CallHandshake::Role::kCallee}) {
        CallHandshake hs(role, role == CallHandshake::Role::kCaller ? Alice() : Bob(),
                         kRequestCall);
        (void)hs.OutgoingRecord();
        size_t at = 0;
        while (at < size && hs.State() == Step::kNeedMore) {
            const size_t n =
                size - at < CallHandshake::kRecordSize ? size - at : CallHandshake::kRecordSize;
            // A copy of exactly n bytes, so that reading past it is caught.
            std::vector<uint8_t> record(data + at, data + at + n);
            const Step step = hs.OnRecord(record.data(), record.size());
            at += n;
            (void)hs.IsCallKeys(record.data(), record.size());
            // Without a valid signature over this exchange nobody finishes.
            Require(step != Step::kDone);
            (void)hs.OutgoingRecord();
        }
        Require(hs.State() != Step::kFailed || !hs.FailureReason().empty());
    }
}

void AlteredExchange(const uint8_t* data, size_t size) {
    CallHandshake caller(CallHandshake::Role::kCaller, Alice(), kRequestCall);
    CallHandshake callee(CallHandshake::Role::kCallee, Bob(), kRequestCall);
    size_t at = 0;
    bool altered = false;
    auto pass = [&](std::vector<uint8_t>& record) {
        for (uint8_t& b : record) {
            if (at >= size)
                break;
            altered |= data[at] != 0;
            b ^= data[at++];
        }
    };
    std::vector<uint8_t> r = callee.OutgoingRecord();
    pass(r);
    caller.OnRecord(r.data(), r.size());
    r = caller.OutgoingRecord();
    if (!r.empty()) {
        pass(r);
        callee.OnRecord(r.data(), r.size());
    }
    r = callee.OutgoingRecord();
    if (!r.empty()) {
        pass(r);
        caller.OnRecord(r.data(), r.size());
    }
    const bool both = caller.State() == Step::kDone && callee.State() == Step::kDone;
    Require(both != altered);
    if (both) {
        Require(caller.Keys().sas == callee.Keys().sas);
        Require(caller.Keys().audio[0].bytes == callee.Keys().audio[0].bytes);
        Require(caller.Keys().commandFromCallee.bytes == callee.Keys().commandFromCallee.bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    if (data[0] & 1)
        AlteredExchange(data + 1, size - 1);
    else
        RawRecords(data + 1, size - 1);
    return 0;
}
