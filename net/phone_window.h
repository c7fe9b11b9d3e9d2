// What the peer call-control protocol asks of the phone window. The window
// implements it; tests record the calls. Every operation runs on the thread
// of the sockets, inside the receive notification of the peer connection, and
// may delete or replace the context's sockets (EndCall does).
#pragma once

#include "net/records.h"

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
    // This side has a call of its own up (from the call key on, before its
    // peer connection exists): a caller who connects meanwhile is busy.
    virtual bool PlacingCall() const { return false; }
};

}  // namespace kestrona
