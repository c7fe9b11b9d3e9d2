// Runs a proxy exchange over a command socket on the event loop: the socket's
// waits keep dispatching, so the window stays live while the proxy answers,
// and the whole exchange is bounded in time.
#pragma once

#include "platform/proxy_tunnel.h"

namespace kestrona {

class MsgSocket;

// Sends what the exchange asks for and feeds it what arrives until it is open
// (or, unless untilOpen, bound), failed, or limitMs have passed (a time-out
// fails it). Bytes that arrived behind the proxy's answer are handed back to
// the socket, so its next receive step sees them as a chunk of their own.
// Returns false when the socket was destroyed during the exchange: the
// caller must not touch it then (check with a QPointer).
bool RunSocketTunnel(MsgSocket& socket, ProxyHandshake& handshake, int limitMs,
                     bool untilOpen = true);

}  // namespace kestrona
