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
