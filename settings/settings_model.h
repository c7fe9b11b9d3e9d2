// The settings model: the values that drive networking, audio and auto-answer,
// copied from the settings store once at start-up. The application object holds
// one; the option pages update the auto-answer and delay values while running.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>

class CSysRegInfo;

namespace kestrona {

// The sound page's values. A settings file without them means the system's
// default devices and automatic echo control.
inline constexpr const char* kRegWaveIn = "wavein";    // capture device id; "" is the default
inline constexpr const char* kRegWaveOut = "waveout";  // playback device id; "" is the default
// 1 on, 0 off; missing: on with real devices, off with the file backend.
inline constexpr const char* kRegEchoCancel = "echocancel";
// Asking the home router to forward the listening ports: 0 off; anything
// else (missing included) on. Takes effect at the next start; never while a
// proxy is in use.
inline constexpr const char* kRegPortMapping = "portmapping";
// 0: the phone never asks the directory server about reachability or the
// relay (it behaves as the first phones did); missing or 1: it does.
inline constexpr const char* kRegRelay = "relay";
// 1: the directory server shows this phone as offline to others' presence
// look-ups (calls still reach it); missing or anything else: shown.
inline constexpr const char* kRegAppearOffline = "appearoffline";
// 0: calls raise no desktop notifications; anything else (missing
// included): they do, where the desktop has a notification service.
inline constexpr const char* kRegNotifications = "notifications";
// 1: calls only as the first phones made them (G.729 in blocks of the delay
// buffer, no encryption): nothing is offered to a callee, and a caller that
// offers anything is answered "UNSUPPORTED". Missing or anything else: off.
inline constexpr const char* kRegPlainCalls = "plaincalls";

// Levels in percent of the amplitude: what the microphone sends and what the
// loudspeaker plays during a call (0 to kMaxCallLevel), and the ring sounds
// (0 to 100). Missing: 100, the sound as it comes.
inline constexpr const char* kRegMicLevel = "miclevel";
inline constexpr const char* kRegSpeakerLevel = "speakerlevel";
inline constexpr const char* kRegRingLevel = "ringlevel";
inline constexpr int32_t kMaxCallLevel = 200;
inline constexpr int32_t kMaxRingLevel = 100;
inline constexpr int32_t kDefaultLevel = 100;

// The playout delays the quality page offers, in milliseconds, by the index
// stored as "DelayBuffer".
inline constexpr int32_t kDelayBufferChoicesMs[] = {250, 500, 1000, 2000, 3000, 4000, 5000};
inline constexpr int32_t kMinDelayBufferMs = kDelayBufferChoicesMs[0];
inline constexpr int32_t kMaxDelayBufferMs =
    kDelayBufferChoicesMs[std::size(kDelayBufferChoicesMs) - 1];

// Whether calls are encrypted: kRequired calls and takes encrypted calls
// only, kPreferred offers and accepts encryption and falls back to a plain
// call with a phone that cannot, kOff never offers it (as a phone without
// encryption).
enum class Encryption : int32_t { kOff, kPreferred, kRequired };
// The stored words, and the mode a stored text stands for.
const char* EncryptionWord(Encryption mode);
Encryption EncryptionFromWord(const std::string& word);

struct SettingsModel {
    int32_t m_nID = 0;
    char m_szProxyAddress[17] = {};
    char m_szProxyUser[20] = {};
    char m_szProxyPassword[20] = {};
    int32_t m_nRate = 0;
    int32_t m_nTimeout = 0;  // seconds
    int32_t m_nProxy = 0;
    int32_t m_nDelayBufferMs = 0;
    int32_t m_nSock5Port = 0;
    int32_t m_nHttpPort = 0;
    int32_t m_nFixPort = 0;
    int32_t m_nCmdPort = 0;
    int32_t m_nAiPort = 0;
    int32_t m_nAoPort = 0;
    int32_t m_nAutoAA = 0;
    int32_t m_nAATime = 0;  // seconds
    int32_t m_nForceBreak = 0;
    int32_t m_nAAFBTime = 0;  // seconds
    // Sound devices and echo control; the sound page updates them at once.
    std::string m_strWaveIn;
    std::string m_strWaveOut;
    int32_t m_nEchoCancel = -1;
    int32_t m_nMicLevel = kDefaultLevel;
    int32_t m_nSpeakerLevel = kDefaultLevel;
    int32_t m_nRingLevel = kDefaultLevel;
    // 1: the router is asked to forward the listening ports ("portmapping").
    int32_t m_nPortMapping = 1;
    // The general page updates it at once; it counts from the next call.
    Encryption m_encryption = Encryption::kPreferred;
    // 1: appear offline ("appearoffline"); the general page updates it, and
    // the server is told at once.
    int32_t m_nAppearOffline = 0;
    // 1: desktop notifications of calls ("notifications"); the auto-answer
    // page updates it at once.
    int32_t m_nNotifications = 1;
    // 1: plain calls only ("plaincalls"); the quality page updates it, and it
    // counts from the next call.
    int32_t m_nPlainCalls = 0;
};

// The encryption calls get: none at all with plain calls only.
inline Encryption CallEncryption(const SettingsModel& model) {
    return model.m_nPlainCalls != 0 ? Encryption::kOff : model.m_encryption;
}

// Clears m_szProxyAddress..m_nAoPort and loads every member but m_nID from the
// store with the load rules: a missing or rejected value leaves 0 in the
// cleared run, and leaves the auto-answer members as they were. The fixed
// ports are loaded only when "fixport" is 1.
void LoadSettingsModel(SettingsModel& model, const CSysRegInfo& store);

// The connection type, reply time-out and proxy settings as the connection
// dialog and the options sheet's connection page edit them: read from the
// store when the page opens and written back on OK (the model above takes
// them only at the next start).
struct ConnectionSettings {
    int nRate = 3;  // index of the connection type; 512K Cable/DSL
    int nTimeout = 0;
    int nProxy = 0;  // 1: through the proxy
    std::string strProxyAddress;
    int nSock5Port = 0;
    int nHttpPort = 0;
    std::string strProxyUser;
    std::string strProxyPassword;
};

// Takes what the store holds over the values already there: the rate when it
// is not negative, the other numbers when above zero and the texts when they
// can be read. The values given beforehand are therefore the defaults.
void LoadConnectionSettings(const CSysRegInfo& store, ConnectionSettings& values);
void StoreConnectionSettings(CSysRegInfo& store, const ConnectionSettings& values);

struct AudioSettings {
    std::string strWaveIn;
    std::string strWaveOut;
    int nEchoCancel = -1;  // -1: automatic
    int nMicLevel = kDefaultLevel;
    int nSpeakerLevel = kDefaultLevel;
    int nRingLevel = kDefaultLevel;
};
Encryption LoadEncryption(const CSysRegInfo& store);
void StoreEncryption(CSysRegInfo& store, Encryption mode);

void LoadAudioSettings(const CSysRegInfo& store, AudioSettings& values);
void StoreAudioSettings(CSysRegInfo& store, const AudioSettings& values);

}  // namespace kestrona
