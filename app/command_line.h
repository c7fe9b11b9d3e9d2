// The program's command line, and `kestrona rpc ...`, which hands a request
// to the phone that is already running.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace kestrona {

// What the command line asks for.
struct CommandLine {
    bool autoBoot = false;  // "AUTOBOOT" in the first plain argument
    bool delay = false;     // "DELAY" anywhere in the whole command line
    int32_t callTo = 0;     // "callto:NUMBER" (also "callto://NUMBER"); 0 when absent
};
CommandLine ParseCommandLine(const QStringList& arguments);

// The number of a "callto:" link, 0 when the text is not one.
int32_t ParseCallTo(const QString& text);

// `kestrona rpc ...`: hands the request to the running phone and prints its
// answer. Returns the process exit code (1 when no phone runs).
int RunRpcClient(const QStringList& args);

}  // namespace kestrona
