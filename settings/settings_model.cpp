#include "settings/settings_model.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

#include <strings.h>

#include "settings/setting_names.h"
#include "settings/sys_reg_info.h"

namespace kestrona {
namespace {

void CopyText(const CSysRegInfo& store, const char* name, char* member, std::size_t size) {
    char buffer[CSysRegInfo::kRegReadCap];
    if (store.GetRegValue(name, buffer)) {
        const std::size_t n = strnlen(buffer, size - 1);
        std::memcpy(member, buffer, n);
        member[n] = '\0';
    }
}

void TakePositive(const CSysRegInfo& store, const char* name, int32_t& member) {
    const int v = store.GetRegInt(name);
    if (v > 0) {
        member = v;
    }
}

void TakeText(const CSysRegInfo& store, const char* name, std::string& member) {
    char buffer[CSysRegInfo::kRegReadCap];
    if (store.GetRegValue(name, buffer)) {
        member = buffer;
    }
}

int32_t DelayBufferMs(int index) {
    constexpr int kChoices = static_cast<int>(std::size(kestrona::kDelayBufferChoicesMs));
    return (index >= 0 && index < kChoices) ? kestrona::kDelayBufferChoicesMs[index] : 0;
}

}  // namespace

void LoadSettingsModel(SettingsModel& model, const CSysRegInfo& store) {
    std::memset(model.m_szProxyAddress, 0, sizeof model.m_szProxyAddress);
    std::memset(model.m_szProxyUser, 0, sizeof model.m_szProxyUser);
    std::memset(model.m_szProxyPassword, 0, sizeof model.m_szProxyPassword);
    model.m_nRate = 0;
    model.m_nTimeout = 0;
    model.m_nProxy = 0;
    model.m_nDelayBufferMs = 0;
    model.m_nSock5Port = 0;
    model.m_nHttpPort = 0;
    model.m_nFixPort = 0;
    model.m_nCmdPort = 0;
    model.m_nAiPort = 0;
    model.m_nAoPort = 0;

    if (const int rate = store.GetRegInt(kestrona::reg::kRate); rate >= 0) {
        model.m_nRate = rate;
    }
    TakePositive(store, kestrona::reg::kTimeout, model.m_nTimeout);
    TakePositive(store, kestrona::reg::kProxy, model.m_nProxy);
    CopyText(store, kestrona::reg::kProxyAddress, model.m_szProxyAddress,
             sizeof model.m_szProxyAddress);
    TakePositive(store, kestrona::reg::kSock5Port, model.m_nSock5Port);
    TakePositive(store, kestrona::reg::kHttpPort, model.m_nHttpPort);
    CopyText(store, kestrona::reg::kProxyUserName, model.m_szProxyUser, sizeof model.m_szProxyUser);
    CopyText(store, kestrona::reg::kProxyPassword, model.m_szProxyPassword,
             sizeof model.m_szProxyPassword);
    TakePositive(store, kestrona::reg::kFixPort, model.m_nFixPort);
    if (model.m_nFixPort == 1) {
        TakePositive(store, kestrona::reg::kCmdPort, model.m_nCmdPort);
        TakePositive(store, kestrona::reg::kAiPort, model.m_nAiPort);
        TakePositive(store, kestrona::reg::kAoPort, model.m_nAoPort);
    }
    TakePositive(store, kestrona::reg::kAutoAA, model.m_nAutoAA);
    TakePositive(store, kestrona::reg::kForceBreak, model.m_nForceBreak);
    TakePositive(store, kestrona::reg::kAATime, model.m_nAATime);
    TakePositive(store, kestrona::reg::kAAFBTime, model.m_nAAFBTime);
    if (const int index = store.GetRegInt(kestrona::reg::kDelayBuffer); index >= 0) {
        model.m_nDelayBufferMs = DelayBufferMs(index);
    }
    AudioSettings audio;
    LoadAudioSettings(store, audio);
    model.m_strWaveIn = audio.strWaveIn;
    model.m_strWaveOut = audio.strWaveOut;
    model.m_nEchoCancel = audio.nEchoCancel;
    model.m_nMicLevel = audio.nMicLevel;
    model.m_nSpeakerLevel = audio.nSpeakerLevel;
    model.m_nRingLevel = audio.nRingLevel;
    model.m_nPortMapping = store.GetRegInt(kRegPortMapping) == 0 ? 0 : 1;
    model.m_encryption = LoadEncryption(store);
    model.m_nAppearOffline = store.GetRegInt(kRegAppearOffline) == 1 ? 1 : 0;
    model.m_nNotifications = store.GetRegInt(kRegNotifications) == 0 ? 0 : 1;
    model.m_nPlainCalls = store.GetRegInt(kRegPlainCalls) == 1 ? 1 : 0;
}

const char* EncryptionWord(Encryption mode) {
    switch (mode) {
        case Encryption::kOff:
            return "off";
        case Encryption::kRequired:
            return "required";
        case Encryption::kPreferred:
            break;
    }
    return "preferred";
}

Encryption EncryptionFromWord(const std::string& word) {
    for (Encryption mode : {Encryption::kOff, Encryption::kRequired}) {
        if (strcasecmp(word.c_str(), EncryptionWord(mode)) == 0) {
            return mode;
        }
    }
    return Encryption::kPreferred;
}

Encryption LoadEncryption(const CSysRegInfo& store) {
    std::string word;
    return store.GetRegValue(kestrona::reg::kEncryption, word) ? EncryptionFromWord(word)
                                                               : Encryption::kPreferred;
}

void StoreEncryption(CSysRegInfo& store, Encryption mode) {
    store.SetRegValue(kestrona::reg::kEncryption, EncryptionWord(mode));
}

void LoadAudioSettings(const CSysRegInfo& store, AudioSettings& values) {
    // Device ids can be longer than the usual 80-byte read.
    std::string text;
    values.strWaveIn = store.GetRegValue(kRegWaveIn, text) ? text : std::string();
    values.strWaveOut = store.GetRegValue(kRegWaveOut, text) ? text : std::string();
    const int echo = store.GetRegInt(kRegEchoCancel);
    values.nEchoCancel = echo == 0 || echo == 1 ? echo : -1;
    // A level out of range was not written by this program: the default.
    auto level = [&store](const char* key, int most) {
        const int value = store.GetRegInt(key);
        return value >= 0 && value <= most ? value : kDefaultLevel;
    };
    values.nMicLevel = level(kRegMicLevel, kMaxCallLevel);
    values.nSpeakerLevel = level(kRegSpeakerLevel, kMaxCallLevel);
    values.nRingLevel = level(kRegRingLevel, kMaxRingLevel);
}

void StoreAudioSettings(CSysRegInfo& store, const AudioSettings& values) {
    store.SetRegValue(kRegWaveIn, values.strWaveIn.c_str());
    store.SetRegValue(kRegWaveOut, values.strWaveOut.c_str());
    if (values.nEchoCancel == 0 || values.nEchoCancel == 1) {
        store.SetRegInt(kRegEchoCancel, values.nEchoCancel);
    } else {
        store.DeleteKey(kRegEchoCancel);
    }
    store.SetRegInt(kRegMicLevel, std::clamp(values.nMicLevel, 0, kMaxCallLevel));
    store.SetRegInt(kRegSpeakerLevel, std::clamp(values.nSpeakerLevel, 0, kMaxCallLevel));
    store.SetRegInt(kRegRingLevel, std::clamp(values.nRingLevel, 0, kMaxRingLevel));
}

void LoadConnectionSettings(const CSysRegInfo& store, ConnectionSettings& values) {
    if (const int rate = store.GetRegInt(kestrona::reg::kRate); rate >= 0) {
        values.nRate = rate;
    }
    TakePositive(store, kestrona::reg::kTimeout, values.nTimeout);
    TakePositive(store, kestrona::reg::kProxy, values.nProxy);
    TakeText(store, kestrona::reg::kProxyAddress, values.strProxyAddress);
    TakePositive(store, kestrona::reg::kSock5Port, values.nSock5Port);
    TakePositive(store, kestrona::reg::kHttpPort, values.nHttpPort);
    TakeText(store, kestrona::reg::kProxyUserName, values.strProxyUser);
    TakeText(store, kestrona::reg::kProxyPassword, values.strProxyPassword);
}

void StoreConnectionSettings(CSysRegInfo& store, const ConnectionSettings& values) {
    store.SetRegInt(kestrona::reg::kRate, values.nRate);
    store.SetRegInt(kestrona::reg::kTimeout, values.nTimeout);
    store.SetRegInt(kestrona::reg::kProxy, values.nProxy);
    store.SetRegValue(kestrona::reg::kProxyAddress, values.strProxyAddress.c_str());
    store.SetRegInt(kestrona::reg::kSock5Port, values.nSock5Port);
    store.SetRegInt(kestrona::reg::kHttpPort, values.nHttpPort);
    store.SetRegValue(kestrona::reg::kProxyUserName, values.strProxyUser.c_str());
    store.SetRegValue(kestrona::reg::kProxyPassword, values.strProxyPassword.c_str());
}

}  // namespace kestrona
