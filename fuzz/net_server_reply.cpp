// Feeds arbitrary received chunks to the directory-server reply parser and the
// readers of the reply fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/net_context.h"
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
    return 0;
}
