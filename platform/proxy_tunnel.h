// Proxy tunnels: the HTTP CONNECT exchange and the SOCKS5 exchange (method
// choice, RFC 1929 user name and password, CONNECT or BIND with both of its
// replies) as one socket-free state machine, and a blocking driver that runs
// it over a file descriptor with poll() time-outs.
//
// The machine is fed whatever the proxy sent, in pieces of any size; it says
// what to send next, when the tunnel is open, why it failed, and which bytes
// arrived glued behind the proxy's last answer (those belong to the far end).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/unique_fd.h"

namespace kestrona {

enum class TunnelFailure {
    kNone,
    kUnreachable,     // the proxy could not be connected to
    kTimedOut,        // no complete answer within the time allowed
    kClosed,          // the proxy closed the connection in the middle of an answer
    kCancelled,       // the driver was told to give up
    kNotHttp,         // the answer to CONNECT is not an HTTP status line
    kHttpRefused,     // an HTTP status other than 2xx
    kSocksVersion,    // a SOCKS answer with the wrong version byte
    kNoMethod,        // the proxy accepts neither of the methods offered
    kAuthRefused,     // the user name and password were refused
    kRequestRefused,  // the first reply to CONNECT or BIND is not a success
    kPeerRefused,     // the second reply to BIND is not a success
    kBadAddress,      // a SOCKS reply with an unknown address type
};

// A short English description, for logs and message details.
const char* TunnelFailureText(TunnelFailure failure);

class ProxyHandshake {
  public:
    enum class State {
        kAwaiting,  // more of the proxy's answer is needed
        kBound,     // BIND: the first reply is in (BoundPort valid); the
                    // second arrives when a peer connects
        kOpen,      // the tunnel carries the far end's bytes from now on
        kFailed,
    };

    // CONNECT host:port through an HTTP proxy; any 2xx answer opens it.
    static ProxyHandshake HttpConnect(const std::string& host, int port);
    // SOCKS5 CONNECT to a dotted IPv4 address (else a host name).
    static ProxyHandshake Socks5Connect(std::string user, std::string password,
                                        const std::string& host, int port);
    // SOCKS5 BIND for no particular peer at the requested port (0: any).
    // stopAtFirstReply: the exchange counts as open after the first reply;
    // else it waits in kBound for the reply that announces the peer.
    static ProxyHandshake Socks5Bind(std::string user, std::string password, int port,
                                     bool stopAtFirstReply);

    // Bytes to send now (the request, then any follow-up the answers call
    // for). Taking them empties the queue.
    std::string TakeOutput();
    bool HasOutput() const { return !m_output.empty(); }
    // Consumes received bytes up to the end of the exchange; the rest is kept
    // as Leftover. Bytes fed after the end are appended to Leftover.
    void Feed(const uint8_t* data, std::size_t size);
    void Feed(const std::string& bytes) {
        Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // The connection ended (or a driver gave up) before the exchange did.
    void Fail(TunnelFailure why);

    State GetState() const { return m_state; }
    bool Finished() const { return m_state == State::kOpen || m_state == State::kFailed; }
    TunnelFailure Failure() const { return m_failure; }
    // BIND: BND.PORT of the first reply, taken even when the reply refuses
    // (0 until it arrived).
    int BoundPort() const { return m_boundPort; }
    // SOCKS5: the CONNECT or BIND request has been queued, so a failure from
    // now on is the answer to it (or the lack of one).
    bool RequestSent() const { return m_requestSent; }
    // HTTP: the status code of the answer (0 until the status line is in).
    int HttpStatus() const { return m_httpStatus; }
    // The far end's bytes that arrived behind the proxy's last answer.
    const std::string& Leftover() const { return m_leftover; }
    std::string TakeLeftover();

  private:
    enum class Phase { kHttpHead, kMethod, kAuth, kReplyHead, kReplyName, kReplyTail, kDone };
    enum class Kind { kHttp, kSocksConnect, kSocksBind };

    ProxyHandshake() = default;
    void FeedHttp(const uint8_t*& p, const uint8_t* end);
    void FeedSocks(const uint8_t*& p, const uint8_t* end);
    void OnSocksAnswer();
    void OnReplyComplete();
    void SetFailed(TunnelFailure why);
    void QueueRequest();

    Kind m_kind = Kind::kHttp;
    Phase m_phase = Phase::kHttpHead;
    State m_state = State::kAwaiting;
    TunnelFailure m_failure = TunnelFailure::kNone;
    std::string m_output;
    std::string m_answer;  // the part of the current answer seen so far
    std::size_t m_need = 0;
    int m_replyCount = 0;
    bool m_requestSent = false;
    bool m_stopAtFirstReply = false;
    std::string m_user;
    std::string m_password;
    std::string m_request;  // the SOCKS5 CONNECT or BIND request
    int m_boundPort = 0;
    int m_httpStatus = 0;
    std::string m_leftover;
};

// Wakes every blocking wait that was given it, at once and for good.
class CancelToken {
  public:
    CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;
    void Cancel();
    bool Cancelled() const { return m_cancelled.load(std::memory_order_acquire); }
    // Readable once cancelled; for poll().
    int WaitFd() const { return m_event.get(); }

  private:
    UniqueFd m_event;
    std::atomic<bool> m_cancelled{false};
};

// A blocking TCP connection to host (dotted IPv4 or a name) within timeoutMs.
// A name is looked up on a background thread within the same time, and the
// wait for it ends at once when cancelled (the look-up itself is left to
// finish on its own). The descriptor comes back in blocking mode; -1 with
// `why` set on failure (kUnreachable, kTimedOut or kCancelled).
int ConnectTcpWithin(const std::string& host, int port, int timeoutMs, const CancelToken* cancel,
                     TunnelFailure* why);

// How names are looked up: the system's resolver unless replaced (a test
// puts one here that hangs). Runs on a background thread; may block.
using NameLookup = std::function<bool(const std::string& host, in_addr& out)>;
void SetNameLookup(NameLookup lookup);

// Runs the exchange on a connected descriptor until the machine is open, in
// kBound (unless untilOpen), or failed; timeoutMs bounds the whole run (0 or
// less: no bound). Returns true when it ended open (or bound).
bool RunHandshake(int fd, ProxyHandshake& handshake, int timeoutMs, const CancelToken* cancel,
                  bool untilOpen = false);

}  // namespace kestrona
