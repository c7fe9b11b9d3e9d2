// Arbitrary known-peers files: read through the real file code, a peer
// remembered on top, and read again. The entries a file held survive a
// rewrite, the new one is there, and a second rewrite changes nothing.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/scratch_dir.h"
#include "store/known_peers.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto path = fuzz::ScratchDir() / "known_peers.txt";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), std::streamsize(text.size()));
    }
    const auto before = kestrona::KnownPeers::Parse(text);
    Require(before.peers.size() <= kestrona::KnownPeers::kMaxPeers);

    kestrona::KnownPeers peers(path.string());
    std::array<uint8_t, 32> id{};
    id.fill(0x5a);
    std::string error;
    const bool stored = peers.Remember("4242", id, error);
    Require(stored || !error.empty());
    if (stored) {
        Require(peers.Check("4242", id) == kestrona::KnownPeers::Verdict::kSame);
        for (const auto& [number, key] : before.peers)
            if (number != "4242")
                Require(peers.Check(number, key) == kestrona::KnownPeers::Verdict::kSame);
    }
    const auto once = kestrona::KnownPeers::Format(kestrona::KnownPeers::Parse(text));
    Require(kestrona::KnownPeers::Format(kestrona::KnownPeers::Parse(once)) == once);
    return 0;
}
