// What the call controller needs from the rest of the program: the
// directory-server exchanges, the peer connection of the current call, a
// media engine per call and the ring sounds. The application provides the
// real ones; tests provide recording fakes.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "net/records.h"
#include "platform/call_crypto.h"
#include "settings/settings_model.h"

namespace kestrona {

class IEngineOwner;
struct NetContext;

// A call's quality as its listener meets it, from the playout of a call in
// frames; known is false for a call in blocks and before the first second.
struct CallQualityReport {
    enum class Rating { kUnknown, kGood, kFair, kPoor };
    Rating rating = Rating::kUnknown;
    int missingPermille = 0;  // turns with nothing to play in the last seconds
    int delayMs = 0;          // the playout delay now
    int64_t played = 0;
    int64_t concealed = 0;
    int64_t recovered = 0;
    int64_t late = 0;
    int64_t dropped = 0;
};

// The media engine of one call, as the controller drives it. Set-up returns at
// once; its result arrives as kMsgEngineSetup (engine_owner.h) through the
// owner the engine was made for.
class ICallEngine {
  public:
    virtual ~ICallEngine() = default;
    virtual void Init(int sampleRate, int delayMs) = 0;
    // Callee: opens the two listening audio ports (0: any free port).
    virtual void BeginListen(int portIn, int portOut) = 0;
    // Caller: connects to the callee's two audio ports.
    virtual void BeginConnect(const std::string& host, int peerPortIn, int peerPortOut) = 0;
    virtual int PortIn() const = 0;
    virtual int PortOut() const = 0;
    virtual void StartReceive() = 0;
    virtual void StartSend() = 0;
    virtual void Record(const std::string& stem) = 0;
    virtual void Stop() = 0;
    // An encrypted call: the keys of the stream this side sends and of the
    // one it receives, before either starts.
    // Pure, so that no engine that wraps another can drop them unseen.
    virtual void SetStreamKeys(const SecretKey32& send, const SecretKey32& receive) = 0;
    // At any time, from the next block on: silence to the far side in the
    // stream's own time, and the levels in percent (0 to kMaxCallLevel) of
    // what is sent and what is played. An engine starts unmuted at the
    // levels of the settings.
    virtual void SetMuted(bool muted) = 0;
    virtual void SetLevels(int microphone, int loudspeaker) = 0;
    // Before Init: the media features both sides took (kFeatureOpus,
    // kFeatureShortFrames); 0 is a call in blocks of the delay buffer.
    // Pure for the same reason as the keys.
    virtual void SetMedia(int32_t features) = 0;
    // A call in frames: what its listener meets (see CallQualityReport).
    virtual CallQualityReport Quality() const { return {}; }
};

// What the phone knows of a peer number's identity key.
enum class PeerIdentity { kNew, kSame, kChanged };

class ICallServices {
  public:
    virtual ~ICallServices() = default;

    // QUERYUSER: the reply code (REPLY_SUCCESS: found); address and port of
    // the callee.
    virtual int QueryUser(int32_t number, std::string& address, int& port) = 0;
    // MSGREPORT; nothing is awaited.
    virtual void ReportCall(ReportKind kind, int32_t peer, int32_t own, int seconds) = 0;

    // The peer connection of the current call.
    virtual bool HasPeer() const = 0;
    // Closes and forgets the connection without a word to the peer.
    virtual void DropPeer() = 0;
    // A new connection to the callee and REQUESTCALL on it; false when no
    // "ACCEPT" came. Records that arrive during the wait reach the controller.
    virtual bool RequestCall(const std::string& address, int port) = 0;
    // The same with a plain REQUESTCALL whatever the settings say: the callee
    // refused to encrypt and the settings allow a plain call.
    virtual bool RequestPlainCall(const std::string& address, int port) {
        return RequestCall(address, port);
    }
    // The same with encryption offered as the settings say, and no calls in
    // frames: the callee refused the whole offer.
    virtual bool RequestCallWithoutMedia(const std::string& address, int port) {
        return RequestCall(address, port);
    }
    virtual void SendParameters(const Paramenter& params) = 0;
    virtual void SendStartTalk() = 0;
    virtual void SendAutoAnswer() = 0;
    // "ENDTALK", then close and forget the connection.
    virtual void EndPeer() = 0;
    virtual void ChangeListenPort(bool closeOld) = 0;

    virtual std::unique_ptr<ICallEngine> CreateEngine(IEngineOwner* owner) = 0;

    // The identity keys remembered per peer number (trust on first use).
    virtual PeerIdentity CheckPeerIdentity(int32_t /*number*/,
                                           const std::array<uint8_t, 32>& /*identity*/) {
        return PeerIdentity::kNew;
    }
    virtual void RememberPeerIdentity(int32_t /*number*/,
                                      const std::array<uint8_t, 32>& /*identity*/) {}

    // Starts a ring sound and returns at once; a new one cuts the last.
    virtual void PlayRing(const std::string& file) = 0;
    // The same, returning how long the sound lasts in milliseconds, or -1
    // when it cannot be played.
    virtual int PlayRingOnce(const std::string& file) = 0;

    // Keeps the model's call and ring levels in the settings.
    virtual void StoreLevels(const SettingsModel& /*model*/) {}

    // The history and phone-book folders' root (empty: the current directory).
    virtual std::filesystem::path FilesRoot() const { return {}; }
};

// The real services over the application's network context and the process's
// audio devices.
std::unique_ptr<ICallServices> MakeCallServices(NetContext& net);

}  // namespace kestrona
