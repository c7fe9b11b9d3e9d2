#include "app/keep_alive_setup.h"

#include "app/autostart.h"
#include "settings/setting_names.h"
#include "settings/sys_reg_info.h"

namespace kestrona {

ServerTarget StoreServerTarget(const std::string& storeSection, const SettingsModel& settings) {
    CSysRegInfo store;
    store.SetRegSection(storeSection.c_str());
    ServerTarget target;
    char host[CSysRegInfo::kRegReadCap] = {};
    store.GetRegValue(reg::kHost, host);
    target.host = host;
    target.port = store.GetRegInt(reg::kHostPort);
    target.timeoutMs = settings.m_nTimeout * 1000;
    target.viaHttpProxy = settings.m_nProxy == 1;
    target.proxyAddress = settings.m_szProxyAddress;
    target.proxyPort = settings.m_nHttpPort;
    target.tls = ReadServerTlsSettings(storeSection);
    return target;
}

std::unique_ptr<CKeepAlive> StartKeepAlive(const std::string& storeSection,
                                           const SettingsModel& settings, int32_t number,
                                           int periodSeconds) {
    const std::string program = ProgramPath().toStdString();
    const SettingsModel model = settings;
    auto keepAlive = std::make_unique<CKeepAlive>(
        [storeSection, model] { return StoreServerTarget(storeSection, model); },
        [number] { return number; }, [periodSeconds] { return periodSeconds; },
        [program] { RelaunchAndTerminate(program); });
    keepAlive->Start();
    return keepAlive;
}

}  // namespace kestrona
