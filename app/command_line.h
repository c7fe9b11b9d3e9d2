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
    bool help = false;      // "--help" or "-h"
    // "--server HOST[:PORT]" (or "--server=..."): the directory server for
    // this run alone; empty when absent. Port 0: the stored one.
    QString serverHost;
    int serverPort = 0;
    // What was wrong with the command line; empty when nothing was.
    QString error;
};
CommandLine ParseCommandLine(const QStringList& arguments);

// "HOST", "HOST:PORT", "[V6ADDR]" or "[V6ADDR]:PORT"; false when the host
// is empty or holds blanks, or the port is not 1 to 65535.
bool ParseServerAddress(const QString& text, QString& host, int& port);

// What `kestrona --help` prints.
QString UsageText();

// The number of a "callto:" link, 0 when the text is not one.
int32_t ParseCallTo(const QString& text);

// `kestrona rpc ...`: hands the request to the running phone and prints its
// answer. Returns the process exit code (1 when no phone runs).
int RunRpcClient(const QStringList& args);

}  // namespace kestrona
