// Where the phone keeps its files. Per-user data (the phone book and call
// history in "list/", recordings in "record/") lives in one folder of the
// user's data home; the read-only resources (ring sounds, help) are found
// relative to the program, so an installed phone and one in a build tree
// both run from any current folder.
#pragma once

#include <filesystem>
#include <string_view>

namespace kestrona {

// $XDG_DATA_HOME/kestrona/phone; the data home is ~/.local/share when the
// variable is unset or not an absolute path.
std::filesystem::path PhoneDataDir();

// Creates "list/" and "record/" under dir. False when either is missing
// afterwards (the phone still runs; what needs the folder then fails visibly).
bool EnsurePhoneDataDirs(const std::filesystem::path& dir);

// The folder of the running program (empty when it cannot be told).
std::filesystem::path ExecutableDir();

// The read-only resource folder: $KESTRONA_RESOURCE_DIR when set; else
// <program folder>/../share/kestrona when the program is installed (the path
// the build was configured with); else the
// program's own folder, where a build tree keeps them.
std::filesystem::path ResourceDir();
// A resource by its relative name ("ring/in.wav", "kestrona.hlp").
std::filesystem::path ResourcePath(std::string_view relative);

}  // namespace kestrona
