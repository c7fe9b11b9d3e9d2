#include "app/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/reg_store.h"
#include "settings/setting_names.h"
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

// The program a desktop entry runs: the first word of its Exec line, with
// the quoting that QuoteExecArg adds undone.
QString ExecProgram(const QByteArray& entry) {
    for (const QByteArray& rawLine : entry.split('\n')) {
        const QString line = QString::fromUtf8(rawLine);
        if (!line.startsWith(QLatin1String("Exec="))) {
            continue;
        }
        QString exec = line.mid(5);
        exec.replace(QLatin1String("\\\\"), QLatin1String("\\"));
        exec.replace(QLatin1String("%%"), QLatin1String("%"));
        if (!exec.startsWith(QLatin1Char('"'))) {
            return exec.section(QLatin1Char(' '), 0, 0);
        }
        QString program;
        for (int i = 1; i < exec.size(); ++i) {
            if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size()) {
                program += exec[++i];
            } else if (exec[i] == QLatin1Char('"')) {
                break;
            } else {
                program += exec[i];
            }
        }
        return program;
    }
    return {};
}

// Earlier versions kept the start-at-logon value in a section named after
// the system's run key, which landed as ~/.config/Microsoft/Windows/...; the
// autostart entry is what starts the phone here, so that file only confuses.
// Our value goes; the file and its empty folders go with it when nothing else
// is left in them.
void RemoveStrayRunValue() {
    const std::filesystem::path file = SectionFile(CSysRegInfo::kRunSection);
    std::error_code ec;
    if (file.empty() || !std::filesystem::is_regular_file(file, ec)) {
        return;
    }
    RegDeleteValue(CSysRegInfo::kRunSection, reg::kRunValue);
    std::string content;
    if (!ReadWholeFile(file, content, ec) || !content.empty()) {
        return;
    }
    std::filesystem::remove(file, ec);
    std::filesystem::path lock = file;
    lock += ".lock";
    std::filesystem::remove(lock, ec);
    const std::filesystem::path root = ConfigRoot();
    for (std::filesystem::path dir = file.parent_path(); dir != root && dir.has_relative_path();
         dir = dir.parent_path()) {
        if (!std::filesystem::remove(dir, ec)) {  // only empty folders go
            break;
        }
    }
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
                                "TryExec=%3\n"
                                "Exec=%1\n"
                                "Path=%2\n"
                                "Terminal=false\n"
                                "X-GNOME-Autostart-enabled=true\n")
                                .arg(exec, EscapeValue(workingDir), EscapeValue(target));
    return WriteFile(linkName, content.toUtf8());
}

bool RegisterAutoStart() {
    using namespace kestrona;
    CSysRegInfo store;
    std::string directory;
    if (!store.GetRegValue(kestrona::reg::kDirectory, directory)) {
        return false;
    }
    const QString link = QString::fromStdString(directory) + QStringLiteral("/autoboot.lnk");
    RemoveStrayRunValue();

    // A link whose program is gone (a build tree removed, a program moved to
    // its installed place) would start nothing at logon: it is written anew
    // for the program that runs now. Any other link is kept as it is.
    QByteArray content;
    {
        QFile source(link);
        if (source.open(QIODevice::ReadOnly)) {
            content = source.readAll();
        }
    }
    const QFileInfo program(ExecProgram(content));
    if (!program.isFile() || !program.isExecutable()) {
        const QString dir = QString::fromStdString(directory);
        if (!QDir().mkpath(dir) ||
            !CreateAutoBootShortcut(link, ProgramPath(), QStringLiteral("AUTOBOOT"), dir)) {
            return false;
        }
        QFile source(link);
        if (!source.open(QIODevice::ReadOnly)) {
            return false;
        }
        content = source.readAll();
    }
    if (!QDir().mkpath(AutostartDir())) {
        return false;
    }
    return WriteFile(AutostartFile(), content);
}
