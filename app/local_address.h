// The text the display shows for this phone: its number, the host's IPv4
// address and the port on which peers reach it.
#pragma once

#include <QString>
#include <cstdint>

namespace kestrona {

// "number address:port"; empty when the host name does not resolve to IPv4.
QString LocalAddressText(int32_t number, int port);

}  // namespace kestrona
