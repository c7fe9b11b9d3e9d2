// What the peer call-control protocol asks of the phone window. The window
// implements it; tests record the calls. Every operation runs on the thread
// of the sockets, inside the receive notification of the peer connection, and
// may delete or replace the context's sockets (EndCall does).
#pragma once

#include "net/records.h"
#include "platform/call_crypto.h"

namespace kestrona {

class IPhoneWindow {
  public:
    virtual ~IPhoneWindow() = default;

    // A valid REQUESTCALL arrived on the current peer connection.
    virtual void OnIncomingCall(const RequestCall& request) = 0;
    // Starts the history record of the call: 0 taken, 1 made, 2 missed.
    virtual void BeginRecord(int type) = 0;
    // Caller side: the callee's PARAMENTER arrived.
    virtual void OnParameters(const Paramenter& params) = 0;
    // Caller side: the callee's user answered ("STARTTALK").
    virtual void StartTalk() = 0;
    // "ENDTALK" arrived (in direct mode the connection is already closed).
    virtual void EndCall() = 0;
    // Caller side: the callee's answering machine took the call.
    virtual void OnPeerAutoAnswer() = 0;
    // Caller side: the callee is busy.
    virtual void OnBusy() = 0;
    // Caller side: the callee refused the call request.
    virtual void OnUnsupported() = 0;
    // Encrypted calls. Callee: the key exchange on this connection is done
    // and the request rings as an encrypted call (a window without
    // encryption takes it as a plain one).
    virtual void OnSecuredIncomingCall(const RequestCall& request, const CallKeys&) {
        OnIncomingCall(request);
    }
    // Caller: the key exchange is done; the callee's records follow sealed.
    virtual void OnCallSecured(const CallKeys&) {}
    // Caller: the callee answered an offer of encryption "UNSUPPORTED".
    virtual void OnEncryptionRefused() { OnUnsupported(); }
    // Caller: the key exchange failed (a forged or broken answer); the
    // connection is closed.
    virtual void OnEncryptionFailed() { EndCall(); }
    // Caller that requires encryption: the callee went on in the clear, as
    // one that cannot encrypt does; the connection is closed.
    virtual void OnAnsweredInTheClear() { OnEncryptionFailed(); }
    // Either side: a sealed record failed its check; the connection is closed
    // and nothing more can be said on it.
    virtual void OnPeerChannelBroken() { EndCall(); }
    // Callee: someone called while this side had a call up and was told
    // busy; `caller` is the number its request gave.
    virtual void OnCallWhileBusy(int32_t /*caller*/) {}
    // This side has a call of its own up (from the call key on, before its
    // peer connection exists): a caller who connects meanwhile is busy.
    virtual bool PlacingCall() const { return false; }
};

}  // namespace kestrona
