// Feeds arbitrary received chunks to the directory-server reply parser and the
// readers of the reply fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/net_context.h"
#include "net/presence_records.h"
#include "net/relay_records.h"
#include "net/server_socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static kestrona::SettingsModel model;
    static kestrona::NetContext context(model);
    static CServerSocket socket(context);

    const size_t n = size > CCmdSocket::kMaxChunk ? CCmdSocket::kMaxChunk : size;
    std::memset(socket.m_pBuffer.get(), 0, CCmdSocket::kBufferSize);
    if (n)
        std::memcpy(socket.m_pBuffer.get(), data, n);
    socket.m_nReceived = static_cast<int32_t>(n);
    socket.m_nReply = REPLY_NONE;
    socket.m_bReplied = false;
    socket.ParseServerReply();

    switch (socket.m_nReply) {
        case REPLY_SUCCESS:
        case REPLY_ERROR:
        case REPLY_ACCEPT:
        case REPLY_NONE:
        case REPLY_EMAIL_TAKEN:
        case REPLY_BAD_PASSWORD:
        case REPLY_REFUSED:
            break;
        default:
            std::abort();
    }
    if (socket.m_nReply != REPLY_NONE && !socket.m_bReplied)
        std::abort();
    if (context.m_strLoginText.size() > 50 * 3 || context.m_strLoginNotice.size() > 150 * 3)
        std::abort();

    const kestrona::QueryUserResult where = kestrona::ParseQueryUserResult(socket.Buffer());
    if (where.strAddress.size() > 15)
        std::abort();
    (void)kestrona::RegisteredNumber(socket.Buffer());

    // The answers only phones of ours ask for: nothing longer than its field,
    // and only whole, well-formed answers count.
    const kestrona::RelayCredsReply creds = kestrona::ParseRelayCredsReply(socket.Buffer(), n);
    if (creds.username.size() > 31 || creds.password.size() > 31 || creds.relays.size() > 2)
        std::abort();
    for (const auto& relay : creds.relays)
        if (relay.host.empty() || relay.host.size() > 63 || relay.port <= 0 || relay.port > 65535)
            std::abort();
    if (creds.result == 0 && (creds.relays.empty() || creds.validSeconds <= 0))
        std::abort();
    const kestrona::ReachReply reach = kestrona::ParseReachReply(socket.Buffer(), n);
    if (reach.address.size() > 15)
        std::abort();
    const kestrona::QueryPeerReply peer = kestrona::ParseQueryPeerReply(socket.Buffer(), n);
    if (peer.found && (peer.address.empty() || peer.address.size() > 15 || peer.port <= 0 ||
                       peer.port > 65535 || (peer.relayed && peer.relay.host.empty())))
        std::abort();
    if (n < kestrona::kQueryPeerReplySize && peer.found)
        std::abort();
    // A presence answer for any count: never a bit at or past the count.
    const std::size_t asked = n > 0 ? data[0] % 70 : 0;
    const kestrona::PresenceReply presence =
        kestrona::ParsePresenceReply(socket.Buffer(), n, asked);
    if (presence.result != kestrona::PresenceResult::kNotOne && n != kestrona::kPresenceReplySize)
        std::abort();
    if (asked < 64 && (presence.online >> asked) != 0)
        std::abort();
    if (presence.result != kestrona::PresenceResult::kAnswered && presence.online != 0)
        std::abort();
    return 0;
}
