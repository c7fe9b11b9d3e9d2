// The kestrona program: the phone, or (with "rpc ...") a request to the
// phone that is already running.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <cstring>

#include "app/phone_app.h"
#include "ui/main_factory.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "rpc") == 0) {
        QCoreApplication app(argc, argv);
        return kestrona::RunRpcClient(QCoreApplication::arguments().mid(2));
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments += QString::fromLocal8Bit(argv[i]);
    }
    const kestrona::CommandLine line = kestrona::ParseCommandLine(arguments);
    if (line.help) {
        std::fputs(kestrona::UsageText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "kestrona: %s\n%s", line.error.toLocal8Bit().constData(),
                     kestrona::UsageText().toLocal8Bit().constData());
        return 2;
    }
    if (!kestrona::HaveDisplay()) {
        std::fprintf(stderr,
                     "kestrona: there is no display to show the phone on (neither DISPLAY nor "
                     "WAYLAND_DISPLAY is set).\nStart it from a desktop session, or set "
                     "QT_QPA_PLATFORM=offscreen to run it without a window.\n");
        return 2;
    }
    if (!kestrona::DisplayOpens()) {
        std::fprintf(stderr,
                     "kestrona: the display \"%s\" cannot be opened (no X server answers there, "
                     "or it refuses the connection).\nStart it from a desktop session, or set "
                     "QT_QPA_PLATFORM=offscreen to run it without a window.\n",
                     qgetenv("DISPLAY").constData());
        return 2;
    }
    CPhoneApp app(argc, argv);
    kestrona::CUiFactory factory(app);
    app.SetUiFactory(&factory);
    return app.Run();
}
