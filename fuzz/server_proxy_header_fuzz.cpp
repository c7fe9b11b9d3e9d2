// Feeds arbitrary bytes to the PROXY header parser as they would arrive on a
// balancer's connection: every prefix is parsed as a partial read, and a
// header once complete must stay so, with the same length, as more arrives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "server/proxy_header.h"

using namespace kestrona::server;

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    ProxyParse whole = ParseProxyHeader(input);
    ProxyParse first_done;
    for (std::size_t n = 0; n <= size; ++n) {
        ProxyParse p = ParseProxyHeader(input.first(n));
        if (p.status == ProxyStatus::kNeedMore) {
            // Waiting for more is bounded: no header may grow past the limit.
            Check(n < kMaxProxyHeader);
            continue;
        }
        if (p.status == ProxyStatus::kDone) {
            Check(p.header.length > 0 && p.header.length <= n);
            Check(p.header.length <= kMaxProxyHeader);
            Check(p.header.local || !p.header.source.empty());
            Check(p.header.source.size() < 46);
            first_done = p;
        } else {
            Check(p.status == whole.status);
        }
        break;
    }
    if (first_done.status == ProxyStatus::kDone) {
        Check(whole.status == ProxyStatus::kDone);
        Check(whole.header.length == first_done.header.length);
        Check(whole.header.source == first_done.header.source);
        AddressRanges ranges;
        if (!whole.header.local) {
            Check(ranges.Add(whole.header.source));
            Check(ranges.Contains(whole.header.source));
        }
    }
    Check(StartsLikeProxyHeader(input) == (whole.status != ProxyStatus::kNotProxy && size > 0));
    return 0;
}
