// The command connection of an encrypted call once the key exchange is done.
// Each side first sends its 24-byte stream header (Prologue), then every
// command record travels as one sealed frame:
//
//    0   8  "SEALED" and two zero bytes
//    8   2  length L of what follows, little-endian, 18 .. kMaxRecordBytes + 17
//   10   L  the record, sealed (L - 17 plain bytes)
//
// A frame whose bytes were altered, cut, replayed or reordered does not open;
// the channel then fails for good and the call must end as broken. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/call_crypto.h"

namespace kestrona {

class SealedChannel {
  public:
    static constexpr std::size_t kPrefixSize = 8;
    static constexpr std::size_t kFrameHeaderSize = 10;
    // The largest record a frame carries: the most one receive of the plain
    // protocol ever takes as one record.
    static constexpr std::size_t kMaxRecordBytes = 1024;
    static constexpr std::size_t kMaxFrameBytes =
        kFrameHeaderSize + kMaxRecordBytes + StreamSealer::kOverhead;

    SealedChannel(const SecretKey32& outKey, const SecretKey32& inKey);

    // Our stream header, to send before the first frame.
    std::vector<uint8_t> Prologue();
    // One framed sealed record; empty (nothing sealed) when n is 0 or more
    // than kMaxRecordBytes.
    std::vector<uint8_t> Seal(const uint8_t* record, std::size_t n);

    enum class Feed { kOk, kFailed };
    // Takes bytes as they arrive: first the peer's stream header, then frames,
    // split or joined in any way. Every whole frame that opens is appended to
    // recordsOut as one record. Keeps at most one partial frame between calls.
    Feed OnBytes(const uint8_t* data, std::size_t n, std::vector<std::vector<uint8_t>>& recordsOut);
    bool Failed() const { return m_failed; }

    // Whether these bytes start a sealed frame (for a classifier that must
    // tell a frame from a plain record).
    static bool IsSealedFrame(const uint8_t* data, std::size_t n);

  private:
    StreamSealer m_sealer;
    StreamOpener m_opener;
    SecretKey32 m_inKey;
    std::vector<uint8_t> m_pending;  // the unfinished header or frame
    bool m_failed = false;
};

}  // namespace kestrona
