// Feeds arbitrary settings files (edited by hand, cut short, from another
// version) to the settings store and checks that a value written is read
// back as written, that a write keeps every other value the file held, and
// that a removed value is gone.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/scratch_dir.h"
#include "platform/reg_store.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr std::string_view kSection = "Software\\Ostravine\\Kestrona";

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The names the file's first lines seem to set, taken as a reader would try
// them; most are real names, some are not names at all.
std::vector<std::string> CandidateNames(std::string_view text) {
    std::vector<std::string> names;
    while (!text.empty() && names.size() < 16) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos && eq > 0) {
            names.emplace_back(line.substr(0, eq));
        }
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        ::setenv("KESTRONA_CONFIG_HOME", (fuzz::ScratchDir() / "config").c_str(), 1);
        return true;
    }();
    (void)once;
    const std::filesystem::path file = kestrona::SectionFile(kSection);
    Require(!file.empty());
    fuzz::WriteFile(file, data, size);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> names = CandidateNames(text);
    std::vector<std::optional<std::string>> before;
    for (const std::string& name : names) {
        before.push_back(kestrona::RegReadValue(kSection, name));
    }

    // A value made of the input itself: any byte but NUL may be in a text.
    std::string value(text.substr(0, 64));
    std::erase(value, '\0');
    const std::string written = "FuzzValue";
    Require(kestrona::RegWriteValue(kSection, written, value));
    Require(kestrona::RegReadValue(kSection, written) == value);
    for (size_t i = 0; i < names.size(); ++i) {
        if (!SameName(names[i], written)) {
            Require(kestrona::RegReadValue(kSection, names[i]) == before[i]);
        }
    }

    Require(kestrona::RegDeleteValue(kSection, written));
    Require(!kestrona::RegReadValue(kSection, written).has_value());
    for (size_t i = 0; i < names.size(); ++i) {
        if (!SameName(names[i], written)) {
            Require(kestrona::RegReadValue(kSection, names[i]) == before[i]);
        }
    }
    return 0;
}
