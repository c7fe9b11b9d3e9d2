// Message boxes of the program. A box is modal with an OK button; when the
// environment names a log file (KESTRONA_MSGLOG), the text is appended there
// (one line, line breaks shown as "\n") and to standard error instead, so
// that unattended runs never stop at a box.
#pragma once

#include <QString>
#include <memory>

#include "net/message_box.h"

class QWidget;

namespace kestrona {

inline constexpr const char* kAppCaption = "Kestrona";

// Shows the text; returns 1 (OK).
int ShowMessageText(const QString& text, QWidget* parent = nullptr);
// Shows string `id` of the string table.
int ShowMessageString(int id, QWidget* parent = nullptr);

// True when boxes are recorded rather than shown.
bool MessagesRecorded();

// The boxes of the sockets and the keep-alive thread: a box asked for from
// another thread is shown on the application's thread.
std::unique_ptr<IMessageBox> MakeAppMessageBox();

}  // namespace kestrona
