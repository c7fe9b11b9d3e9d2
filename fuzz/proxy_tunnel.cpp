// Feeds arbitrary proxy answers, cut at arbitrary points, to the HTTP CONNECT
// and SOCKS5 exchanges and checks what they promise: they end open or failed
// or wait for more, never read a byte twice nor lose one behind the answer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/proxy_tunnel.h"

namespace {

using kestrona::ProxyHandshake;

void Check(ProxyHandshake h, const uint8_t* data, size_t size, size_t cut) {
    h.TakeOutput();
    // The first byte picks the cut points: the answer arrives in pieces.
    const size_t step = cut % 7 + 1;
    size_t fed = 0;
    while (fed < size) {
        const size_t n = std::min(step, size - fed);
        h.Feed(data + fed, n);
        h.TakeOutput();
        fed += n;
    }
    const auto state = h.GetState();
    if (state == ProxyHandshake::State::kFailed) {
        if (h.Failure() == kestrona::TunnelFailure::kNone || !h.Leftover().empty())
            std::abort();
        return;
    }
    if (h.Failure() != kestrona::TunnelFailure::kNone)
        std::abort();
    if (state != ProxyHandshake::State::kOpen && !h.Leftover().empty())
        std::abort();
    // What is left over is always the input's tail, unchanged.
    const std::string& rest = h.Leftover();
    if (rest.size() > size ||
        rest.compare(0, rest.size(), reinterpret_cast<const char*>(data) + size - rest.size(),
                     rest.size()) != 0)
        std::abort();
    if (h.BoundPort() < 0 || h.BoundPort() > 65535)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t cut = data[0];
    ++data;
    --size;
    Check(ProxyHandshake::HttpConnect("10.0.0.5", 2000), data, size, cut);
    Check(ProxyHandshake::Socks5Bind("user", "secret", 0, false), data, size, cut);
    Check(ProxyHandshake::Socks5Bind("", "", 5004, true), data, size, cut);
    Check(ProxyHandshake::Socks5Connect("u", "p", "peer.example", 80), data, size, cut);
    return 0;
}
