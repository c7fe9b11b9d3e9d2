#include "app/command_line.h"

#include <cstdio>

#include "app/instance_channel.h"
#include "app/rpc_request.h"

namespace kestrona {

int32_t ParseCallTo(const QString& text) {
    QString rest = text.trimmed();
    if (!rest.startsWith(QLatin1String("callto:"), Qt::CaseInsensitive)) {
        return 0;
    }
    rest = rest.mid(7);
    while (rest.startsWith(QLatin1Char('/'))) {
        rest.remove(0, 1);
    }
    if (rest.endsWith(QLatin1Char('/'))) {
        rest.chop(1);
    }
    bool ok = false;
    const qlonglong n = rest.toLongLong(&ok);
    if (!ok || n < 1 || n > 0x7fffffff) {
        return 0;
    }
    return static_cast<int32_t>(n);
}

bool ParseServerAddress(const QString& text, QString& host, int& port) {
    QString h = text;
    QString portText;
    if (h.startsWith(QLatin1Char('['))) {
        const int close = h.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return false;
        }
        const QString after = h.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':'))) {
            return false;
        }
        portText = after.mid(1);
        h = h.mid(1, close - 1);
        if (!after.isEmpty() && portText.isEmpty()) {
            return false;
        }
    } else if (const int colon = h.lastIndexOf(QLatin1Char(':'));
               colon >= 0 && h.indexOf(QLatin1Char(':')) == colon) {
        portText = h.mid(colon + 1);
        h = h.left(colon);
        if (portText.isEmpty()) {
            return false;
        }
    }
    if (h.isEmpty() || h.contains(QLatin1Char(' ')) || h.contains(QLatin1Char('\t'))) {
        return false;
    }
    int p = 0;
    if (!portText.isEmpty()) {
        bool ok = false;
        p = portText.toInt(&ok);
        if (!ok || p < 1 || p > 65535) {
            return false;
        }
    }
    host = h;
    port = p;
    return true;
}

QString UsageText() {
    return QStringLiteral(
        "usage: kestrona [--server HOST[:PORT]] [AUTOBOOT] [DELAY] [callto:NUMBER]\n"
        "       kestrona rpc dial NUMBER | answer | hangup | status | quit\n"
        "\n"
        "  --server HOST[:PORT]  use this directory server for this run\n"
        "  AUTOBOOT              start without showing the window\n"
        "  DELAY                 start hidden, after the running phone has ended\n"
        "  callto:NUMBER         put NUMBER into the display of the running phone\n"
        "  rpc REQUEST           hand a request to the running phone\n"
        "  -h, --help            show this help\n");
}

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine line;
    QStringList plain;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            line.help = true;
            continue;
        }
        QString server;
        if (arg == QLatin1String("--server")) {
            if (i + 1 >= arguments.size()) {
                line.error = QStringLiteral("--server needs HOST[:PORT]");
                continue;
            }
            server = arguments[++i];
        } else if (arg.startsWith(QLatin1String("--server="))) {
            server = arg.mid(9);
        } else {
            if (!arg.startsWith(QLatin1Char('-'))) {
                plain += arg;
            }
            continue;
        }
        if (!ParseServerAddress(server, line.serverHost, line.serverPort)) {
            line.error = QStringLiteral(
                             "not a server address: \"%1\" (HOST or HOST:PORT, "
                             "PORT 1 to 65535)")
                             .arg(server);
        }
    }
    if (!plain.isEmpty()) {
        line.autoBoot = plain.front().contains(QLatin1String("AUTOBOOT"));
    }
    line.delay = arguments.join(QLatin1Char(' ')).contains(QLatin1String("DELAY"));
    for (int i = 1; i < arguments.size(); ++i) {
        if (const int32_t n = ParseCallTo(arguments[i]); n > 0) {
            line.callTo = n;
        }
    }
    return line;
}

int RunRpcClient(const QStringList& args) {
    if (args.isEmpty()) {
        std::fprintf(
            stderr,
            "usage: kestrona rpc dial NUMBER | callto NUMBER | answer | hangup | status | quit\n");
        return 2;
    }
    // A malformed request is answered here, as the phone would answer it.
    if (const RpcParse parsed = ParseRpcWords(args); !parsed.request) {
        std::printf("%s\n", parsed.error.toUtf8().constData());
        return 1;
    }
    QStringList request{QStringLiteral("rpc")};
    request += args;
    const auto answer = SendToRunningInstance(request);
    if (!answer) {
        std::fprintf(stderr, "kestrona: no running phone answers\n");
        return 1;
    }
    std::printf("%s\n", answer->toUtf8().constData());
    return answer->startsWith(QLatin1String("error")) ? 1 : 0;
}

}  // namespace kestrona
