#include "platform/reg_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "platform/atomic_file.h"

namespace kestrona {
namespace {

struct Entry {
    std::string name;
    std::string text;
};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool ValidName(std::string_view name) {
    if (name.empty() || name[0] == '#' || name[0] == ';' || name[0] == '[') {
        return false;
    }
    return name.find_first_of(std::string_view("=\n\r\0", 4)) == std::string_view::npos;
}

bool ValidText(std::string_view text) {
    return text.find('\0') == std::string_view::npos;
}

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        if (next == 'n') {
            out += '\n';
        } else if (next == 'r') {
            out += '\r';
        } else if (next == '\\') {
            out += '\\';
        } else {
            // Not one of ours (a hand edit): keep both characters.
            out += '\\';
            out += next;
        }
    }
    return out;
}

std::vector<Entry> Parse(std::string_view content) {
    std::vector<Entry> entries;
    while (!content.empty()) {
        const std::size_t eol = content.find('\n');
        std::string_view line = content.substr(0, eol);
        content.remove_prefix(eol == std::string_view::npos ? content.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t eq = line.find('=');
        if (line.empty() || eq == std::string_view::npos || !ValidName(line.substr(0, eq))) {
            continue;
        }
        entries.push_back({std::string(line.substr(0, eq)), Unescape(line.substr(eq + 1))});
    }
    return entries;
}

std::string Serialize(const std::vector<Entry>& entries) {
    std::string out;
    for (const Entry& e : entries) {
        out += e.name;
        out += '=';
        out += Escape(e.text);
        out += '\n';
    }
    return out;
}

// Missing file: true with no entries. Unreadable file: false, so that a
// writer never replaces values it could not read.
bool Load(const std::filesystem::path& file, std::vector<Entry>& entries) {
    std::string content;
    std::error_code ec;
    entries.clear();
    if (!ReadWholeFile(file, content, ec)) {
        return ec == std::errc::no_such_file_or_directory;
    }
    entries = Parse(content);
    return true;
}

// Exclusive lock on "<file>.lock" for one read-modify-write. The lock lives
// in its own file because the settings file itself is replaced by rename.
class SectionLock {
  public:
    explicit SectionLock(const std::filesystem::path& file) {
        std::filesystem::path lockPath = file;
        lockPath += ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~SectionLock() {
        if (fd_ >= 0) {
            ::close(fd_);  // releases the lock
        }
    }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;
    bool locked() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A new settings file is created private to the user before its first
// write: it holds the login password in clear text. Later atomic writes keep
// the mode of the file they replace.
bool EnsureFile(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

template <typename Modify>
bool Update(std::string_view section, Modify modify) {
    const std::filesystem::path file = SectionFile(section);
    if (file.empty() || !EnsureFile(file)) {
        return false;
    }
    SectionLock lock(file);
    if (!lock.locked()) {
        return false;
    }
    std::vector<Entry> entries;
    if (!Load(file, entries)) {
        return false;
    }
    const std::string before = Serialize(entries);
    modify(entries);
    const std::string after = Serialize(entries);
    return after == before || WriteFileAtomically(file, after);
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &result) == 0 && result && result->pw_dir) {
        return result->pw_dir;
    }
    return ".";
}

}  // namespace

std::filesystem::path ConfigRoot() {
    if (const char* own = std::getenv("KESTRONA_CONFIG_HOME"); own && *own) {
        return own;
    }
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && xdg[0] == '/') {
        return xdg;
    }
    return std::filesystem::path(HomeDirectory()) / ".config";
}

std::vector<std::filesystem::path> SystemConfigRoots() {
    // The XDG search path for configuration, most important first; relative
    // entries are not allowed there and are passed over.
    std::string dirs;
    if (const char* xdg = std::getenv("XDG_CONFIG_DIRS"); xdg && *xdg) {
        dirs = xdg;
    } else {
        dirs = "/etc/xdg";
    }
    std::vector<std::filesystem::path> roots;
    std::string_view rest = dirs;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
        if (!dir.empty() && dir[0] == '/') {
            roots.emplace_back(dir);
        }
    }
    return roots;
}

std::filesystem::path SectionFile(std::string_view section) {
    return SectionFileUnder(ConfigRoot(), section);
}

std::filesystem::path SectionFileUnder(const std::filesystem::path& root,
                                       std::string_view section) {
    std::vector<std::string_view> parts;
    while (!section.empty()) {
        const std::size_t sep = section.find_first_of("\\/");
        const std::string_view part = section.substr(0, sep);
        section.remove_prefix(sep == std::string_view::npos ? section.size() : sep + 1);
        if (part.empty()) {
            continue;
        }
        if (part == "." || part == ".." || part.find('\0') != std::string_view::npos) {
            return {};
        }
        parts.push_back(part);
    }
    if (!parts.empty() && SameName(parts.front(), "Software")) {
        parts.erase(parts.begin());
    }
    if (parts.empty()) {
        return {};
    }
    std::filesystem::path file = root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        file /= std::string(parts[i]);
    }
    file /= std::string(parts.back()) + ".conf";
    return file;
}

bool RegCreateSection(std::string_view section) {
    const std::filesystem::path file = SectionFile(section);
    return !file.empty() && EnsureFile(file);
}

bool RegSectionExists(std::string_view section) {
    const std::filesystem::path file = SectionFile(section);
    std::error_code ec;
    return !file.empty() && std::filesystem::is_regular_file(file, ec);
}

namespace {

std::optional<std::string> ReadFromFile(const std::filesystem::path& file, std::string_view name) {
    std::vector<Entry> entries;
    if (file.empty() || !Load(file, entries)) {
        return std::nullopt;
    }
    for (const Entry& e : entries) {
        if (SameName(e.name, name)) {
            return e.text;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> RegReadSystemValue(std::string_view section, std::string_view name) {
    for (const std::filesystem::path& root : SystemConfigRoots()) {
        if (auto value = ReadFromFile(SectionFileUnder(root, section), name)) {
            return value;
        }
    }
    return std::nullopt;
}

namespace {

struct Override {
    std::filesystem::path file;
    std::string name;
    std::string text;
};

// Set once at start-up and read by the keep-alive thread as well as the
// window's; a plain mutex is enough for reads this rare.
std::mutex g_overrideMutex;
std::vector<Override> g_overrides;

std::optional<std::string> ReadOverride(const std::filesystem::path& file, std::string_view name) {
    std::lock_guard lock(g_overrideMutex);
    for (const Override& o : g_overrides) {
        if (o.file == file && SameName(o.name, name)) {
            return o.text;
        }
    }
    return std::nullopt;
}

}  // namespace

void RegOverrideValue(std::string_view section, std::string_view name, std::string_view text) {
    const std::filesystem::path file = SectionFile(section);
    if (file.empty() || !ValidName(name) || !ValidText(text)) {
        return;
    }
    std::lock_guard lock(g_overrideMutex);
    std::erase_if(g_overrides,
                  [&](const Override& o) { return o.file == file && SameName(o.name, name); });
    g_overrides.push_back({file, std::string(name), std::string(text)});
}

void RegClearOverrides() {
    std::lock_guard lock(g_overrideMutex);
    g_overrides.clear();
}

std::optional<std::string> RegReadValue(std::string_view section, std::string_view name) {
    const std::filesystem::path file = SectionFile(section);
    if (auto chosen = ReadOverride(file, name)) {
        return chosen;
    }
    if (auto own = ReadFromFile(file, name)) {
        return own;
    }
    return RegReadSystemValue(section, name);
}

bool RegWriteValue(std::string_view section, std::string_view name, std::string_view text) {
    return RegWriteValues(section, {{std::string(name), std::string(text)}});
}

bool RegWriteValues(std::string_view section,
                    const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, text] : values) {
        if (!ValidName(name) || !ValidText(text)) {
            return false;
        }
    }
    return Update(section, [&](std::vector<Entry>& entries) {
        for (const auto& [name, text] : values) {
            bool found = false;
            for (Entry& e : entries) {
                if (SameName(e.name, name)) {
                    e.text = text;
                    found = true;
                    break;
                }
            }
            if (!found) {
                entries.push_back({name, text});
            }
        }
    });
}

bool RegDeleteValue(std::string_view section, std::string_view name) {
    if (!RegSectionExists(section)) {
        return false;
    }
    return Update(section, [&](std::vector<Entry>& entries) {
        std::erase_if(entries, [&](const Entry& e) { return SameName(e.name, name); });
    });
}

}  // namespace kestrona
