// The stand-in for the system registry: one small text file per section.
//
// A section such as "Software\Ostravine\Kestrona" lives in
// <root>/Ostravine/Kestrona.conf (a leading "Software\" is dropped, every "\"
// becomes a directory). <root> is $KESTRONA_CONFIG_HOME when set, else
// $XDG_CONFIG_HOME, else ~/.config. The same path under each system-wide
// configuration folder (/etc/xdg/Ostravine/Kestrona.conf) holds defaults
// that an administrator or a site package sets for every user.
//
// File format, one value per line, in the order the values were first
// written: name=text. Names are ASCII and compared without regard to case; the
// spelling of the first write is kept. In the text "\\", "\n" and "\r" stand
// for a backslash, a line feed and a carriage return. Lines starting with '#',
// ';' or '[' and lines without '=' are ignored when reading and not kept by
// the next write. A new file is created readable by its owner only: it holds
// the login password.
//
// Every change is a locked read-modify-write (an flock on "<file>.lock") that
// replaces the file atomically, so concurrent writers in several processes or
// threads never lose each other's values and a crash never leaves a torn file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrona {

std::filesystem::path ConfigRoot();

// The system-wide configuration folders ($XDG_CONFIG_DIRS, default
// /etc/xdg), most important first. A section's file there holds the site's
// defaults: they are read beneath the user's own file and never written.
std::vector<std::filesystem::path> SystemConfigRoots();

// The file of a section; empty when the section names no safe path (empty,
// "." or ".." parts, NUL bytes).
std::filesystem::path SectionFile(std::string_view section);
std::filesystem::path SectionFileUnder(const std::filesystem::path& root, std::string_view section);

// Makes the section's directory and file (empty) if missing. False on failure.
bool RegCreateSection(std::string_view section);
bool RegSectionExists(std::string_view section);

// The value's text from the user's file, else from the first system-wide
// file that has it; nothing when no file has the value.
std::optional<std::string> RegReadValue(std::string_view section, std::string_view name);
// A value for this process alone (a command-line choice): read above every
// file and never written. An empty name list clears nothing; see below.
void RegOverrideValue(std::string_view section, std::string_view name, std::string_view text);
void RegClearOverrides();
// The site's value alone.
std::optional<std::string> RegReadSystemValue(std::string_view section, std::string_view name);

// Sets one or several values in one locked update, creating the section when
// missing. False when a name is empty or holds '=', a line break or a NUL,
// or the file cannot be written (nothing is changed then).
bool RegWriteValue(std::string_view section, std::string_view name, std::string_view text);
bool RegWriteValues(std::string_view section,
                    const std::vector<std::pair<std::string, std::string>>& values);

// Removes a value. False when the section cannot be updated; removing a
// missing value succeeds.
bool RegDeleteValue(std::string_view section, std::string_view name);

}  // namespace kestrona
