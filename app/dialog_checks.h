// The checks the dialogs run when their data is read, with the messages the
// user sees: a text longer than its field (counted in code page 936 bytes, a
// Chinese character takes two) and a number field that holds no number. A
// failed check names the problem and puts the focus back on the field.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

class QLineEdit;

namespace kestrona {

// Length of the text in code page 936 bytes.
int GbkByteLength(const QString& text);

// True when the text fits; otherwise the message and the focus, false.
bool CheckMaxBytes(QLineEdit* edit, int maxBytes);
// The field's integer; otherwise the message and the focus, nothing.
std::optional<int32_t> CheckInt(QLineEdit* edit);

// Environment hooks that let unattended runs answer a dialog without showing
// it: the value of KESTRONA_AUTO_<name>, or nothing when unset.
std::optional<QString> AutoAnswer(const char* name);

}  // namespace kestrona
