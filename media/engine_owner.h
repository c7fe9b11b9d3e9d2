// What the media engine and the wave player tell the window that owns them.
// Both are called from engine or device threads, never from the owner's own
// thread: an implementation must hand the message over to its own thread
// (queue it) and return at once.
#pragma once

#include <string>

namespace kestrona {

// Message numbers, private to the program.
inline constexpr int kMsgConnectionLost = 2024;  // code 0: an audio stream broke
inline constexpr int kMsgEngineFailure = 3025;   // code: one of EngineFailure
inline constexpr int kMsgPlaybackDone = 11026;   // code 0: one recording has played
inline constexpr int kMsgEngineSetup = 2028;     // code: 0 or one of SetupFailure

// Codes carried by kMsgEngineFailure.
enum EngineFailure : int {
    kNoWaveIn = 1,           // Init: there is no wave-in device
    kWaveInFormat = 2,       // Init: the wave-in device rejects the format
    kNoWaveOut = 3,          // Init: there is no wave-out device
    kWaveOutFormat = 4,      // Init: the wave-out device rejects the format
    kProxyUnreachable = 5,   // Listen: the SOCKS5 proxy cannot be reached
    kWaveInOpenFailed = 6,   // capture thread: the wave-in device cannot be opened
    kWaveOutOpenFailed = 7,  // playout thread: the wave-out device cannot be opened
};

// Codes carried by kMsgEngineSetup when BeginListen or BeginConnect did not
// get both audio streams ready (0: they are, and the ports are valid).
enum SetupFailure : int {
    kSetupOk = 0,
    kSetupListenFailed = 1,      // a local port cannot be bound (a fixed port is taken)
    kSetupPeerUnreachable = 2,   // the peer refused or did not take a direct connection
    kSetupProxyUnreachable = 3,  // the proxy cannot be reached
    kSetupProxyAuthFailed = 4,   // the SOCKS5 proxy takes neither method, or refused the password
    kSetupProxyRefused = 5,      // the proxy refused the tunnel or the listening port
    kSetupProxyBadAnswer = 6,    // the proxy's answer is not what its protocol sends
    kSetupTimedOut = 7,          // no connection or no answer within the set-up time
    kSetupBadParameters = 8,     // Init refused the call's rate
};

inline constexpr const char* kWaveInOpenFailedText = "Wave In Device Open Failed";
inline constexpr const char* kWaveOutOpenFailedText = "Wave Out Device Open Failed";

class IEngineOwner {
  public:
    virtual ~IEngineOwner() = default;
    // The equivalent of posting window message msg with wParam = code, lParam = 0.
    virtual void PostEngineMessage(int msg, int code) = 0;
    // A message box the user is shown (the texts above). Default: nothing.
    virtual void ShowEngineAlert(const std::string& text) { (void)text; }
};

}  // namespace kestrona
