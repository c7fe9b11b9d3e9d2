// CSysRegInfo: the settings store. Every persistent setting is a named text
// value in a section (default "Software\Ostravine\Kestrona"); see
// platform/reg_store.h for where a section lives on disk.
//
// Rules every caller relies on:
//  - every value is text; integers are decimal text, read back with atoi
//    semantics ("abc" reads 0, "12x" reads 12);
//  - value names are case-blind: "id" and "ID" are one value;
//  - GetRegValue never hands out more than kRegReadCap (80) bytes including
//    the terminating zero; a longer value fails to read, as it would from the
//    registry, and the caller's buffer then holds "";
//  - GetRegInt is -1 for a missing (or unreadable) value, so a stored "-1"
//    looks missing.
// Construct one on the stack for each use; it holds nothing but the section.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class CSysRegInfo {
  public:
    static constexpr std::size_t kSectionSize = 1024;
    static constexpr std::size_t kRegReadCap = 80;
    static constexpr const char* kDefaultSection = "Software\\Ostravine\\Kestrona";
    // Section of the start-at-logon value "Kestrona".
    static constexpr const char* kRunSection = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    // Directory-server host written on the first start: a local server serves.
    static constexpr const char* kDefaultHost = "127.0.0.1";
    // Placeholder written as the proxy user name and password on the first start.
    static constexpr const char* kProxyPlaceholder = "-";

    // Called by InitRegKeys with the program directory it records as
    // "Directory", so the application can install its start-at-logon entry.
    // settings/ cannot reach the application, so the application sets this
    // once at start-up; by default nothing happens.
    using AutoBootHook = std::function<void(const std::string& directory)>;
    static void SetAutoBootHook(AutoBootHook hook);
    // The program directory InitRegKeys records as "Directory": the
    // application names its own per-user folder; empty (the default) means
    // the current directory.
    static void SetProgramDirectory(std::string directory);

    CSysRegInfo();
    CSysRegInfo(const CSysRegInfo& other);
    CSysRegInfo& operator=(const CSysRegInfo& other);
    virtual ~CSysRegInfo();

    // Longer sections are cut to 1023 bytes.
    void SetRegSection(const char* section);
    const char* GetRegSection() const { return m_szSection; }

    // First start of an installation: creates the section, calls the autoboot
    // hook, then writes the 22 defaults in their fixed order ("Version" "1",
    // "Directory" = the program directory, "Host", "HostPort" "10004", ...,
    // "DelayBuffer" "2"). The argument is ignored.
    void InitRegKeys(const char* ignored = nullptr);

    bool SetRegValue(const char* name, const char* text);
    bool SetRegInt(const char* name, int value);
    // buffer must hold at least kRegReadCap bytes.
    bool GetRegValue(const char* name, char* buffer) const;
    // The same read without the 80-byte cap, for values such as "Directory"
    // that may legitimately be longer.
    bool GetRegValue(const char* name, std::string& text) const;
    int GetRegInt(const char* name) const;
    // Deletes the value (not a key) of that name.
    void DeleteKey(const char* name);

  private:
    char m_szSection[kSectionSize];
};
