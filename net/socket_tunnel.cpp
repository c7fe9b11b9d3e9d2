#include "net/socket_tunnel.h"

#include <QElapsedTimer>
#include <QPointer>
#include <string>

#include "net/msg_socket.h"

namespace kestrona {

bool RunSocketTunnel(MsgSocket& socket, ProxyHandshake& handshake, int limitMs, bool untilOpen) {
    QPointer<MsgSocket> self(&socket);
    const int savedLimit = socket.BlockLimitMs();
    QElapsedTimer clock;
    clock.start();
    auto waiting = [&] {
        return !handshake.Finished() &&
               (untilOpen || handshake.GetState() != ProxyHandshake::State::kBound);
    };
    for (;;) {
        const std::string out = handshake.TakeOutput();
        if (!out.empty() && socket.Send(out.data(), static_cast<int>(out.size())) < 0)
            handshake.Fail(TunnelFailure::kClosed);
        if (!waiting())
            break;
        const qint64 left = limitMs - clock.elapsed();
        if (left <= 0) {
            handshake.Fail(TunnelFailure::kTimedOut);
            break;
        }
        socket.SetBlockLimitMs(static_cast<int>(left));
        char chunk[1024];
        const int n = socket.ReceiveBlocking(chunk, sizeof chunk);
        if (!self)
            return false;
        socket.SetBlockLimitMs(savedLimit);
        if (n > 0) {
            handshake.Feed(reinterpret_cast<const uint8_t*>(chunk), static_cast<size_t>(n));
        } else if (!socket.IsConnected()) {
            handshake.Fail(TunnelFailure::kClosed);
        }
    }
    socket.SetBlockLimitMs(savedLimit);
    const std::string rest = handshake.TakeLeftover();
    if (!rest.empty())
        socket.Unread(rest.data(), static_cast<int>(rest.size()));
    return true;
}

}  // namespace kestrona
