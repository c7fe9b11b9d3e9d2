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

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine line;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg.startsWith(QLatin1Char('-'))) {
            continue;
        }
        line.autoBoot = arg.contains(QLatin1String("AUTOBOOT"));
        break;
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
