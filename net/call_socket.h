// A peer command connection, and the command listening socket on which peers
// reach this client (listening locally, or bound on the SOCKS5 proxy).
#pragma once

#include "net/cmd_socket.h"
#include "net/records.h"

class CCallSocket : public CCmdSocket {
    Q_OBJECT

  public:
    explicit CCallSocket(kestrona::NetContext& context);
    ~CCallSocket() override;

    // ConnectTo, then REQUESTCALL. False when no "ACCEPT" came (busy, refused,
    // timed out, or the socket was deleted during the wait: then the caller
    // must not touch it any more).
    // The proposed rate is that of the connection type in the settings.
    bool RequestCall(const QString& address, int port);
    bool RequestCall(const QString& address, int port, int32_t proposedRate);
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

  protected:
    void OnReceive(int error) override;
    void OnAccept(int error) override;
    void OnClose(int error) override;
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
