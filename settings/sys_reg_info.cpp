#include "settings/sys_reg_info.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/reg_store.h"
#include "settings/setting_names.h"

namespace {

std::mutex g_hookMutex;
CSysRegInfo::AutoBootHook g_autoBootHook;
std::string g_programDirectory;

// atoi as the stored texts were always read: leading blanks, a sign, digits
// up to the first other character; no digits gives 0. Out-of-range numbers
// saturate instead of being undefined.
int AtoiText(const char* text) {
    errno = 0;
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

}  // namespace

void CSysRegInfo::SetAutoBootHook(AutoBootHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_autoBootHook = std::move(hook);
}

void CSysRegInfo::SetProgramDirectory(std::string directory) {
    std::lock_guard lock(g_hookMutex);
    g_programDirectory = std::move(directory);
}

CSysRegInfo::CSysRegInfo() : m_szSection{} {
    SetRegSection(kDefaultSection);
}

CSysRegInfo::CSysRegInfo(const CSysRegInfo& other) : m_szSection{} {
    std::memcpy(m_szSection, other.m_szSection, kSectionSize);
}

CSysRegInfo& CSysRegInfo::operator=(const CSysRegInfo& other) {
    std::memmove(m_szSection, other.m_szSection, kSectionSize);
    return *this;
}

CSysRegInfo::~CSysRegInfo() = default;

void CSysRegInfo::SetRegSection(const char* section) {
    std::memset(m_szSection, 0, kSectionSize);
    if (section) {
        std::strncpy(m_szSection, section, kSectionSize - 1);
    }
}

void CSysRegInfo::InitRegKeys(const char* /*ignored*/) {
    kestrona::RegCreateSection(m_szSection);

    std::string directory;
    AutoBootHook hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_autoBootHook;
        directory = g_programDirectory;
    }
    if (directory.empty()) {
        std::error_code ec;
        directory = std::filesystem::current_path(ec).string();
    }
    if (hook) {
        hook(directory);
    }

    // One locked write for all defaults: a crash part way never leaves an
    // installation marked "Version" 1 with defaults missing.
    const std::pair<std::string, std::string> defaults[] = {
        {kestrona::reg::kVersion, "1"},
        {kestrona::reg::kDirectory, directory},
        {kestrona::reg::kHost, kDefaultHost},
        {kestrona::reg::kHostPort, "10004"},
        {kestrona::reg::kPassword, ""},
        {kestrona::reg::kRate, "0"},
        {kestrona::reg::kTimeout, "20"},
        {kestrona::reg::kProxy, "0"},
        {kestrona::reg::kProxyAddress, "127.0.0.1"},
        {kestrona::reg::kSock5Port, "1080"},
        {kestrona::reg::kHttpPort, "80"},
        {kestrona::reg::kProxyUserName, kProxyPlaceholder},
        {kestrona::reg::kProxyPassword, kProxyPlaceholder},
        {kestrona::reg::kFixPort, "0"},
        {kestrona::reg::kCmdPort, "0"},
        {kestrona::reg::kAiPort, "0"},
        {kestrona::reg::kAoPort, "0"},
        {kestrona::reg::kAutoAA, "1"},
        {kestrona::reg::kForceBreak, "0"},
        {kestrona::reg::kAATime, "60"},
        {kestrona::reg::kAAFBTime, "300"},
        {kestrona::reg::kDelayBuffer, "2"},
    };
    // A value the site sets (the directory server, say) is left to it, so
    // that a later change of the site's file still reaches this user.
    std::vector<std::pair<std::string, std::string>> own;
    for (const auto& value : defaults) {
        if (!kestrona::RegReadSystemValue(m_szSection, value.first)) {
            own.push_back(value);
        }
    }
    kestrona::RegWriteValues(m_szSection, own);
}

bool CSysRegInfo::SetRegValue(const char* name, const char* text) {
    if (!name || !text) {
        return false;
    }
    return kestrona::RegWriteValue(m_szSection, name, text);
}

bool CSysRegInfo::SetRegInt(const char* name, int value) {
    return SetRegValue(name, std::to_string(value).c_str());
}

bool CSysRegInfo::GetRegValue(const char* name, char* buffer) const {
    if (!buffer) {
        return false;
    }
    buffer[0] = '\0';
    std::string text;
    if (!GetRegValue(name, text) || text.size() + 1 > kRegReadCap) {
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

bool CSysRegInfo::GetRegValue(const char* name, std::string& text) const {
    if (!name) {
        return false;
    }
    auto value = kestrona::RegReadValue(m_szSection, name);
    if (!value) {
        return false;
    }
    text = std::move(*value);
    return true;
}

int CSysRegInfo::GetRegInt(const char* name) const {
    char buffer[kRegReadCap];
    if (!GetRegValue(name, buffer)) {
        return -1;
    }
    return AtoiText(buffer);
}

void CSysRegInfo::DeleteKey(const char* name) {
    if (name) {
        kestrona::RegDeleteValue(m_szSection, name);
    }
}
