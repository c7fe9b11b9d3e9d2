// SIGTERM and SIGINT as ordinary events: the handler only writes to a pipe,
// and the application's thread reads it and ends its loop the usual way, so
// the session is logged out and an open call is told.
#pragma once

#include <functional>

class QObject;

namespace kestrona {

// onQuit runs on the thread of `owner` for every signal; the listening ends
// with `owner`. The pipe outlives it: a later owner in the same process (the
// tests make several application objects) listens to it again.
void InstallQuitSignals(QObject* owner, std::function<void()> onQuit);
// Back to the default actions, when signals were installed.
void RestoreQuitSignals();

}  // namespace kestrona
