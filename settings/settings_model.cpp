#include "settings/settings_model.h"

#include <cstddef>
#include <cstring>

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
    static constexpr int32_t kMs[] = {250, 500, 1000, 2000, 3000, 4000, 5000};
    return (index >= 0 && index < 7) ? kMs[index] : 0;
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

    if (const int rate = store.GetRegInt("rate"); rate >= 0) {
        model.m_nRate = rate;
    }
    TakePositive(store, "timeout", model.m_nTimeout);
    TakePositive(store, "proxy", model.m_nProxy);
    CopyText(store, "proxyaddress", model.m_szProxyAddress, sizeof model.m_szProxyAddress);
    TakePositive(store, "sock5port", model.m_nSock5Port);
    TakePositive(store, "httpport", model.m_nHttpPort);
    CopyText(store, "proxyusername", model.m_szProxyUser, sizeof model.m_szProxyUser);
    CopyText(store, "proxypassword", model.m_szProxyPassword, sizeof model.m_szProxyPassword);
    TakePositive(store, "fixport", model.m_nFixPort);
    if (model.m_nFixPort == 1) {
        TakePositive(store, "cmdport", model.m_nCmdPort);
        TakePositive(store, "aiport", model.m_nAiPort);
        TakePositive(store, "aoport", model.m_nAoPort);
    }
    TakePositive(store, "autoaa", model.m_nAutoAA);
    TakePositive(store, "forcebreak", model.m_nForceBreak);
    TakePositive(store, "aatime", model.m_nAATime);
    TakePositive(store, "aafbtime", model.m_nAAFBTime);
    if (const int index = store.GetRegInt("DelayBuffer"); index >= 0) {
        model.m_nDelayBufferMs = DelayBufferMs(index);
    }
    AudioSettings audio;
    LoadAudioSettings(store, audio);
    model.m_strWaveIn = audio.strWaveIn;
    model.m_strWaveOut = audio.strWaveOut;
    model.m_nEchoCancel = audio.nEchoCancel;
}

void LoadAudioSettings(const CSysRegInfo& store, AudioSettings& values) {
    // Device ids can be longer than the usual 80-byte read.
    std::string text;
    values.strWaveIn = store.GetRegValue(kRegWaveIn, text) ? text : std::string();
    values.strWaveOut = store.GetRegValue(kRegWaveOut, text) ? text : std::string();
    const int echo = store.GetRegInt(kRegEchoCancel);
    values.nEchoCancel = echo == 0 || echo == 1 ? echo : -1;
}

void StoreAudioSettings(CSysRegInfo& store, const AudioSettings& values) {
    store.SetRegValue(kRegWaveIn, values.strWaveIn.c_str());
    store.SetRegValue(kRegWaveOut, values.strWaveOut.c_str());
    if (values.nEchoCancel == 0 || values.nEchoCancel == 1) {
        store.SetRegInt(kRegEchoCancel, values.nEchoCancel);
    } else {
        store.DeleteKey(kRegEchoCancel);
    }
}

void LoadConnectionSettings(const CSysRegInfo& store, ConnectionSettings& values) {
    if (const int rate = store.GetRegInt("rate"); rate >= 0) {
        values.nRate = rate;
    }
    TakePositive(store, "timeout", values.nTimeout);
    TakePositive(store, "proxy", values.nProxy);
    TakeText(store, "proxyaddress", values.strProxyAddress);
    TakePositive(store, "sock5port", values.nSock5Port);
    TakePositive(store, "httpport", values.nHttpPort);
    TakeText(store, "proxyusername", values.strProxyUser);
    TakeText(store, "proxypassword", values.strProxyPassword);
}

void StoreConnectionSettings(CSysRegInfo& store, const ConnectionSettings& values) {
    store.SetRegInt("rate", values.nRate);
    store.SetRegInt("timeout", values.nTimeout);
    store.SetRegInt("proxy", values.nProxy);
    store.SetRegValue("proxyaddress", values.strProxyAddress.c_str());
    store.SetRegInt("sock5port", values.nSock5Port);
    store.SetRegInt("httpport", values.nHttpPort);
    store.SetRegValue("proxyusername", values.strProxyUser.c_str());
    store.SetRegValue("proxypassword", values.strProxyPassword.c_str());
}

}  // namespace kestrona
