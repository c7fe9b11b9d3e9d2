// The string table: numbered user-interface texts (Simplified Chinese).
#pragma once

#include <QString>

namespace kestrona {

// The text of string `id` (101 to 149), or an empty string for an unknown id.
QString ResString(int id);

}  // namespace kestrona
