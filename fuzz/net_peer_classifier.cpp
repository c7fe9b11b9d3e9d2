// Feeds arbitrary received chunks to the peer-command classifier and to the
// readers the dispatch applies to what it recognised.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "net/call_socket.h"
#include "platform/gbk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly what the receive step leaves: the chunk, a zero, zeros behind.
    static char buffer[CCmdSocket::kBufferSize];
    const size_t n = size > CCmdSocket::kMaxChunk ? CCmdSocket::kMaxChunk : size;
    std::memset(buffer, 0, sizeof buffer);
    if (n)
        std::memcpy(buffer, data, n);
    const int received = static_cast<int>(n);
    const std::vector<char> exact(buffer, buffer + n);

    for (bool proxy : {false, true}) {
        switch (kestrona::ClassifyPeerChunk(buffer, received, proxy)) {
            case kestrona::PeerCommand::SocksBindReply:
                if (!proxy)
                    std::abort();
                break;
            case kestrona::PeerCommand::RequestCall:
                // The readers get the received bytes alone, so reading
                // behind them is caught.
                (void)kestrona::ParseRequestCall(exact.data(), n);
                break;
            case kestrona::PeerCommand::Paramenter:
                (void)kestrona::ParseParamenter(exact.data(), n);
                break;
            case kestrona::PeerCommand::StartTalk:
                // The ten compared bytes are the word and its zero; a chunk that
                // carries bytes behind an embedded zero still matches.
                if (received < 9 || std::strcmp(buffer, "STARTTALK") != 0)
                    std::abort();
                break;
            case kestrona::PeerCommand::Unknown:
                (void)kestrona::GbkToUtf8(std::string_view(buffer, ::strnlen(buffer, n)));
                break;
            default:
                break;
        }
    }
    return 0;
}
