// Start at logon, the desktop way: a desktop entry in the program directory
// ("autoboot.lnk") that runs the program hidden, and an XDG autostart entry
// that the session starts at every logon.
#pragma once

#include <QString>

namespace kestrona {

// Folder of the autostart entry: $KESTRONA_AUTOSTART_DIR when set, else
// $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
QString AutostartDir();
// The autostart entry itself: AutostartDir() + "/kestrona.desktop".
QString AutostartFile();

// The program's own path, as the start-at-logon entries must run it:
// $KESTRONA_PROGRAM when set, else the running executable.
QString ProgramPath();

}  // namespace kestrona

// Writes a desktop entry named linkName (relative names land in the current
// directory) that runs target with arguments in workingDir. True on success.
bool CreateAutoBootShortcut(const QString& linkName, const QString& target,
                            const QString& arguments, const QString& workingDir);

// Installs the program directory's "autoboot.lnk" (stored "Directory") as the
// autostart entry, and removes the start-at-logon value that earlier versions
// wrote under ~/.config/Microsoft. Runs at every start; a failure is harmless.
bool RegisterAutoStart();
