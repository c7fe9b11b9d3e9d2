#include "app/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <string>
#include <string_view>

#include "platform/atomic_file.h"
#include "settings/sys_reg_info.h"

namespace kestrona {
namespace {

// Desktop entries quote Exec arguments in double quotes, escaping ", `, $
// and \ there; the key-file layer then wants every backslash doubled again.
QString QuoteExecArg(const QString& arg) {
    bool plain = !arg.isEmpty();
    for (QChar c : arg) {
        if (c.isSpace() || QStringLiteral("\"'\\><~|&;$*?#()`=%").contains(c)) {
            plain = false;
            break;
        }
    }
    if (plain) {
        return arg;
    }
    QString quoted;
    for (QChar c : arg) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    quoted.replace(QLatin1String("%"), QLatin1String("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Values of a desktop entry are one line each.
QString EscapeValue(QString value) {
    value.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    value.replace(QLatin1String("\n"), QLatin1String("\\n"));
    return value;
}

bool WriteFile(const QString& path, const QByteArray& content) {
    return WriteFileAtomically(QFile::encodeName(path).toStdString(),
                               std::string_view(content.constData(), content.size()));
}

}  // namespace

QString AutostartDir() {
    const QString overridden = qEnvironmentVariable("KESTRONA_AUTOSTART_DIR");
    if (!overridden.isEmpty()) {
        return overridden;
    }
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/autostart");
}

QString AutostartFile() {
    return AutostartDir() + QStringLiteral("/kestrona.desktop");
}

QString ProgramPath() {
    const QString overridden = qEnvironmentVariable("KESTRONA_PROGRAM");
    if (!overridden.isEmpty()) {
        return overridden;
    }
    return QCoreApplication::applicationFilePath();
}

}  // namespace kestrona

bool CreateAutoBootShortcut(const QString& linkName, const QString& target,
                            const QString& arguments, const QString& workingDir) {
    using namespace kestrona;
    QString exec = QuoteExecArg(target);
    for (const QString& arg : arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        exec += QLatin1Char(' ') + QuoteExecArg(arg);
    }
    const QString content = QStringLiteral(
                                "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Version=1.0\n"
                                "Name=Kestrona\n"
                                "Comment=Internet telephone\n"
                                "Exec=%1\n"
                                "Path=%2\n"
                                "Terminal=false\n"
                                "X-GNOME-Autostart-enabled=true\n")
                                .arg(exec, EscapeValue(workingDir));
    return WriteFile(linkName, content.toUtf8());
}

bool RegisterAutoStart() {
    using namespace kestrona;
    CSysRegInfo store;
    std::string directory;
    if (!store.GetRegValue("Directory", directory)) {
        return false;
    }
    const QString link = QString::fromStdString(directory) + QStringLiteral("/autoboot.lnk");

    CSysRegInfo run;
    run.SetRegSection(CSysRegInfo::kRunSection);
    run.SetRegValue("Kestrona", link.toStdString().c_str());

    QFile source(link);
    if (!source.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray content = source.readAll();
    if (!QDir().mkpath(AutostartDir())) {
        return false;
    }
    return WriteFile(AutostartFile(), content);
}
