// The string table: numbered user-interface texts. The texts are written in
// Simplified Chinese and handed out in the user's language.
#pragma once

#include <QList>
#include <QString>

namespace kestrona {

// The text of string `id` in the user's language, or an empty string for an
// unknown id.
QString ResString(int id);
// The same text as written in the table (Chinese), whatever the language.
QString ResSourceString(int id);
// Every id of the table, in order.
QList<int> ResStringIds();

}  // namespace kestrona
