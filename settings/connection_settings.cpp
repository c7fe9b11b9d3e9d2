#include "settings/connection_settings.h"

#include "settings/sys_reg_info.h"

namespace kestrona {
namespace {

void TakePositive(const CSysRegInfo& store, const char* name, int& member) {
    if (const int v = store.GetRegInt(name); v > 0) {
        member = v;
    }
}

void TakeText(const CSysRegInfo& store, const char* name, std::string& member) {
    char buffer[CSysRegInfo::kRegReadCap];
    if (store.GetRegValue(name, buffer)) {
        member = buffer;
    }
}

}  // namespace

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
