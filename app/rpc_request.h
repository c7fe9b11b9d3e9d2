// Requests that reach the running phone from outside: `kestrona rpc ...`, a
// second start that carries a "callto:" link, and a plain second start that
// asks the phone to show itself. The words are checked here, once, into a
// typed request; the phone acts only on what parsed, and everything else is
// answered with a line that begins with "error".
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrona {

class CCallController;

enum class RpcVerb {
    kShow,
    kStatus,
    kDisplay,
    kDial,
    kCallTo,
    kAnswer,
    kHangUp,
    kQuit,
    kPortMap,
    kMute,
    kMicLevel,
    kSpeakerLevel,
    kPresence,
};

struct RpcRequest {
    RpcVerb verb = RpcVerb::kStatus;
    // dial and callto: 1 to 2147483647; mute: 1 on, 0 off; the levels: 0 to
    // 200 (percent).
    int32_t number = 0;
    // Came as "rpc ..." (a script), not from a second start of the program.
    bool fromRpc = false;
    std::vector<int32_t> numbers;  // presence
};

struct RpcParse {
    std::optional<RpcRequest> request;
    QString error;  // the answer when the words did not parse
};

// The words behind "rpc": "status", "display", "dial N", "callto N",
// "answer", "hangup", "mute on|off", "volume mic|speaker PERCENT", "quit",
// "portmap" (the router forwarding's state, as the options sheet shows it),
// "presence N..." (each number's state as "N=online|offline|unknown", as far
// as known; the look-up it starts shows in the next answer).
RpcParse ParseRpcWords(const QStringList& words);
// What the instance channel carries: "show", "callto N", or "rpc" and the
// words above.
RpcParse ParseChannelRequest(const QStringList& args);

// The one-line status: state, peer, seconds, incoming, auto-answer, own
// number, process id and the state's text.
QString RpcStatusText(const CCallController& controller);
// What the display shows, a line per place: "peer=", "status=", "time=",
// "local=", then "encrypted=0|1", the call's four characters "sas=" and
// "identity=none|new|same|changed", and "muted=0|1".
QString RpcDisplayText(const CCallController& controller);
// Carries out a parsed request (show excepted: that is the window's) and
// returns the answer.
QString RunRpcRequest(CCallController& controller, const RpcRequest& request);

}  // namespace kestrona
