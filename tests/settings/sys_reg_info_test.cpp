#include "settings/sys_reg_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/reg_store.h"
#include "platform/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kestrona::testing::ConfigHome;

std::vector<std::string> FileLines(const fs::path& p) {
    std::string s;
    std::error_code ec;
    kestrona::ReadWholeFile(p, s, ec);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(s.substr(start, nl - start));
    }
    return lines;
}

TEST(SysRegInfoTest, FirstStartWritesTheDefaultsInOrder) {
    ConfigHome home;
    std::string hookDirectory = "not called";
    CSysRegInfo::SetAutoBootHook([&](const std::string& dir) { hookDirectory = dir; });
    CSysRegInfo reg;
    EXPECT_EQ(reg.GetRegInt("Version"), -1);
    reg.InitRegKeys(nullptr);
    CSysRegInfo::SetAutoBootHook({});

    const std::string cwd = fs::current_path().string();
    EXPECT_EQ(hookDirectory, cwd);
    const std::vector<std::string> expected = {
        "Version=1",       "Directory=" + cwd, "Host=127.0.0.1",
        "HostPort=10004",  "password=",        "rate=0",
        "timeout=20",      "proxy=0",          "proxyaddress=127.0.0.1",
        "sock5port=1080",  "httpport=80",      "proxyusername=-",
        "proxypassword=-", "fixport=0",        "cmdport=0",
        "aiport=0",        "aoport=0",         "autoaa=1",
        "forcebreak=0",    "aatime=60",        "aafbtime=300",
        "DelayBuffer=2",
    };
    EXPECT_EQ(FileLines(kestrona::SectionFile(CSysRegInfo::kDefaultSection)), expected);
    EXPECT_EQ(reg.GetRegInt("version"), 1);
}

TEST(SysRegInfoTest, IntegersAreTextReadWithAtoi) {
    ConfigHome home;
    CSysRegInfo reg;
    EXPECT_EQ(reg.GetRegInt("rate"), -1);    // missing
    ASSERT_TRUE(reg.SetRegInt("id", 8001));  // the login writes "id", the start-up reads "ID"
    EXPECT_EQ(reg.GetRegInt("ID"), 8001);
    ASSERT_TRUE(reg.SetRegInt("n", -42));
    char buf[CSysRegInfo::kRegReadCap];
    ASSERT_TRUE(reg.GetRegValue("n", buf));
    EXPECT_STREQ(buf, "-42");

    const struct {
        const char* text;
        int value;
    } cases[] = {{"abc", 0}, {"", 0},    {"12x", 12},
                 {"  7", 7}, {"-1", -1}, {"99999999999", INT_MAX}};
    for (const auto& c : cases) {
        ASSERT_TRUE(reg.SetRegValue("v", c.text));
        EXPECT_EQ(reg.GetRegInt("v"), c.value) << c.text;
    }
}

TEST(SysRegInfoTest, ReadsAreCappedAtEightyBytes) {
    ConfigHome home;
    CSysRegInfo reg;
    char buf[CSysRegInfo::kRegReadCap + 8];
    const std::string fits(79, 'a');
    ASSERT_TRUE(reg.SetRegValue("fits", fits.c_str()));
    ASSERT_TRUE(reg.GetRegValue("fits", buf));
    EXPECT_EQ(std::string(buf), fits);

    const std::string tooLong(80, 'b');
    ASSERT_TRUE(reg.SetRegValue("long", tooLong.c_str()));
    std::memset(buf, 'z', sizeof buf);
    EXPECT_FALSE(reg.GetRegValue("long", buf));
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[CSysRegInfo::kRegReadCap], 'z');  // nothing past the cap touched
    EXPECT_EQ(reg.GetRegInt("long"), -1);

    // The uncapped read still has it.
    std::string text;
    ASSERT_TRUE(reg.GetRegValue("long", text));
    EXPECT_EQ(text, tooLong);
}

TEST(SysRegInfoTest, SectionsAreSeparateAndCopiedWithTheObject) {
    ConfigHome home;
    CSysRegInfo reg;
    EXPECT_STREQ(reg.GetRegSection(), "Software\\Ostravine\\Kestrona");
    CSysRegInfo run;
    run.SetRegSection(CSysRegInfo::kRunSection);
    ASSERT_TRUE(run.SetRegValue("Kestrona", "/opt/kestrona/autoboot.lnk"));
    EXPECT_EQ(reg.GetRegInt("Kestrona"), -1);

    CSysRegInfo copy(run);
    EXPECT_STREQ(copy.GetRegSection(), CSysRegInfo::kRunSection);
    reg = copy;
    char buf[CSysRegInfo::kRegReadCap];
    ASSERT_TRUE(reg.GetRegValue("kestrona", buf));
    EXPECT_STREQ(buf, "/opt/kestrona/autoboot.lnk");

    // An overlong section is cut, not written past the end.
    const std::string huge(5000, 'k');
    reg.SetRegSection(huge.c_str());
    EXPECT_EQ(std::strlen(reg.GetRegSection()), CSysRegInfo::kSectionSize - 1);
}

}  // namespace
