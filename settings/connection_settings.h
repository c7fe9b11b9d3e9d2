// The connection type, reply time-out and proxy settings as the connection
// dialog and the options sheet's connection page edit them: read from the
// settings store when the page opens and written back on OK. The running
// program reads the same values through the settings model instead.
#pragma once

#include <string>

class CSysRegInfo;

namespace kestrona {

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

}  // namespace kestrona
