// A peer command connection, and the command listening socket on which peers
// reach this client (listening locally, or bound on the SOCKS5 proxy).
#pragma once

#include <QTimer>
#include <memory>
#include <vector>

#include "net/cmd_socket.h"
#include "net/records.h"

namespace kestrona {
class CallHandshake;
class SealedChannel;
enum class PeerCommand;
}  // namespace kestrona

class CCallSocket : public CCmdSocket {
    Q_OBJECT

  public:
    explicit CCallSocket(kestrona::NetContext& context);
    ~CCallSocket() override;

    // ConnectTo, then REQUESTCALL. False when no "ACCEPT" came (busy, refused,
    // timed out, or the socket was deleted during the wait: then the caller
    // must not touch it any more).
    // The proposed rate is that of the connection type in the settings.
    // Encryption is offered when the settings ask for it and this phone has
    // an identity, unless offerEncryption is false.
    // Calls in frames are offered unless offerMedia is false or the settings
    // ask for plain calls only.
    bool RequestCall(const QString& address, int port, bool offerEncryption = true,
                     bool offerMedia = true);
    bool RequestCall(const QString& address, int port, int32_t proposedRate,
                     bool offerEncryption = true, bool offerMedia = true);
    // Writes "PARAMENTER" into the record's first ten bytes and sends it.
    void SendParameters(kestrona::ParamenterBytes& record);
    void SendParameters(const kestrona::Paramenter& params);
    void SendStartTalk();
    void SendAutoAnswer();
    // Sends "ENDTALK"; without the proxy the connection is closed at once.
    void SendEndTalk();

    // Classifies the chunk in the buffer and acts on it. May delete this
    // socket (through the window or ChangeListenPort).
    void DispatchPeerCommand();

    // A connection this phone accepted and greeted is no call until it
    // brings a REQUESTCALL the window takes. Until then it is dropped without
    // a trace (the window never hears of it) when it closes, says "ENDTALK"
    // or lets the context's call-request time pass, so the phone is free for
    // the next caller at once.
    void AwaitCallRequest();
    bool AwaitingCallRequest() const { return m_bAwaitingRequest; }

    // The far end is on this machine: a connection the relay joins (or a
    // phone beside this one). Such a connection is not closed right after
    // "ENDTALK" (NetContext::EndPeerConnection).
    bool LingersOnEnd() const;
    // The call on this connection has ended here: "ENDTALK" leaves it open,
    // nothing received is acted on any more, and its close drops it.
    void MarkEnded() { m_bEnded = true; }
    // A caller who came while this phone is in a call: its first record
    // (REQUESTCALL) is answered "RCRESULTBUSY" and its number told to the
    // window; anything else, or nothing in time, drops it unnamed.
    void BeginTurningAway() { m_bTurningAway = true; }
    bool TurningAway() const { return m_bTurningAway; }

    // The key exchange is done: every record from here on is sealed.
    bool Sealed() const { return m_pChannel != nullptr; }

  protected:
    void OnReceive(int error) override;
    void OnAccept(int error) override;
    void OnClose(int error) override;

  private:
    // A peer record: sealed once the key exchange is done, else as it is.
    void SendPeerRecord(const void* data, int length);
    // The received chunk on a connection with a key exchange running or
    // done: handshake records, then sealed frames, each record classified
    // by itself.
    void TakeSecuredBytes();
    // Sends what the exchange has to say; on its end, the sealed channel's
    // prologue and the news to the window. False when this socket is gone.
    bool AfterHandshakeStep(int step);
    void StartCalleeHandshake(const kestrona::RequestCall& request);
    // Classifies `n` bytes as a chunk of their own.
    void DispatchBytes(const uint8_t* data, size_t n);
    void ChannelBroken();
    // Forgets this connection as the current one (it is deleted from the
    // event loop) and, when it came through the SOCKS5 proxy and no listening
    // point was left open, opens a new one.
    void DropUnaskedConnection();
    void TurnAway(kestrona::PeerCommand command);
    static constexpr int kListenReopenDelayMs = 1000;
    // Whether a REQUESTCALL's values can be taken at all.
    static bool AcceptableRequest(const kestrona::RequestCall& request);

    bool m_bAwaitingRequest = false;
    bool m_bEnded = false;
    bool m_bTurningAway = false;
    // The connection came as the SOCKS5 proxy's second BIND reply on what was
    // the listening socket.
    bool m_bFromProxyBind = false;
    QTimer m_requestLimit;

    std::unique_ptr<kestrona::CallHandshake> m_pHandshake;
    std::unique_ptr<kestrona::SealedChannel> m_pChannel;
    // A handshake record that has not arrived whole yet.
    std::vector<uint8_t> m_handshakeBytes;
    kestrona::RequestCall m_securedRequest;
    bool m_bCallee = false;
    // This caller offered something (encryption, calls in frames) in its
    // REQUESTCALL: "UNSUPPORTED" refuses the offer, not the call.
    bool m_bOffered = false;
};

namespace kestrona {

// The peer records the classifier tells apart, in the order it tests them.
enum class PeerCommand {
    SocksBindReply,  // only while the proxy setting is 1
    UnknownCmd,
    Unsupported,
    AutoAnswer,
    GeneralError,
    GeneralSuccess,
    Accept,
    HttpOk,        // the HTTP proxy's own answer, ignored
    HttpOkAccept,  // the proxy's answer with "ACCEPT" glued behind it
    TrailingAccept,
    RequestCall,
    Busy,
    Paramenter,
    StartTalk,
    EndTalk,
    Unknown,
};

// The pure classification step: `data` holds `received` bytes followed by a
// zero byte (so data[received] must be readable).
PeerCommand ClassifyPeerChunk(const char* data, int received, bool proxyOn);

}  // namespace kestrona
