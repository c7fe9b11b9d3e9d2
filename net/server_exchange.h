// One blocking exchange with the directory server, for a worker thread
// without an event loop: connect (directly or through an HTTP proxy's
// CONNECT), TLS when it is on, the server's greeting, then records out and
// fixed-size answers in. Every wait has a deadline or ends with stop; the
// keep-alive and the presence look-ups both go through it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/server_tls.h"
#include "platform/unique_fd.h"

class QSslSocket;

namespace kestrona {

class CancelToken;

// Where an exchange goes; read afresh before every exchange.
struct ServerTarget {
    std::string host;
    int port = 0;
    int timeoutMs = 0;  // for the connect and the greeting
    bool viaHttpProxy = false;
    std::string proxyAddress;
    int proxyPort = 0;
    // TLS to the server: inside the proxy's tunnel when there is one. A
    // failed check ends the exchange with no connection, never in plain.
    ServerTlsSettings tls;
};

enum class ExchangeStatus {
    kDone,
    kNoConnection,  // not connected, no greeting, or the connection ended
    kTimedOut,      // the deadline passed first
    kStopped,       // stop said so
};

class CServerExchange {
  public:
    // stop is asked between short waits; cancel (may be null) cuts a connect
    // or a proxy's answer short. Both must outlive the exchange.
    CServerExchange(std::function<bool()> stop, const CancelToken* cancel);
    ~CServerExchange();
    CServerExchange(const CServerExchange&) = delete;
    CServerExchange& operator=(const CServerExchange&) = delete;

    // Connects and waits for the greeting ("ACCEPT" at the start or at the
    // end of a chunk), within target.timeoutMs.
    ExchangeStatus Open(const ServerTarget& target);
    bool Send(const void* data, std::size_t size);
    // Reads into `into` until complete(into, *got) holds, at most `capacity`
    // bytes, within limitMs (<= 0: no limit). What came before the end of
    // the connection or the deadline is left in *got.
    ExchangeStatus Read(char* into, std::size_t capacity, int limitMs,
                        const std::function<bool(const char*, std::size_t)>& complete,
                        std::size_t* got);

  private:
    // One short wait: >0 bytes read, 0 nothing yet, <0 the end.
    int Receive(char* into, std::size_t size);
    bool Stopped() const { return m_stop && m_stop(); }

    std::function<bool()> m_stop;
    const CancelToken* m_cancel;
    std::optional<UniqueFd> m_fd;
    std::unique_ptr<QSslSocket> m_tls;
};

}  // namespace kestrona
