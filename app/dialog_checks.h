// The checks the dialogs run when their data is read, with the messages the
// user sees: a text longer than its field (counted in code page 936 bytes, a
// Chinese character takes two) and a number field that holds no number. A
// failed check names the problem and puts the focus back on the field.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "settings/settings_model.h"

class QLineEdit;

namespace kestrona {

// The longest proxy texts the connection settings take, in code page 936
// bytes: the settings model's fields less their terminating zero.
inline constexpr int kProxyAddressMaxBytes = sizeof(SettingsModel::m_szProxyAddress) - 1;
inline constexpr int kProxyUserMaxBytes = sizeof(SettingsModel::m_szProxyUser) - 1;
inline constexpr int kProxyPasswordMaxBytes = sizeof(SettingsModel::m_szProxyPassword) - 1;

// Length of the text in code page 936 bytes.
int GbkByteLength(const QString& text);

// The message for a text longer than maxBytes, or nothing when it fits.
std::optional<QString> MaxBytesProblem(const QString& text, int maxBytes);
// True when the text fits; otherwise the message and the focus, false.
bool CheckMaxBytes(QLineEdit* edit, int maxBytes);
// The field's integer; otherwise the message and the focus, nothing.
std::optional<int32_t> CheckInt(QLineEdit* edit);

// Environment hooks that let unattended runs answer a dialog without showing
// it: the value of KESTRONA_AUTO_<name>, or nothing when unset.
std::optional<QString> AutoAnswer(const char* name);

}  // namespace kestrona
