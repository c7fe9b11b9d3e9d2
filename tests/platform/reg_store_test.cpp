#include "platform/reg_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/temp_dir.h"

namespace kestrona {
namespace {

namespace fs = std::filesystem;
constexpr const char* kSection = "Software\\Ostravine\\Kestrona";

std::string Slurp(const fs::path& p) {
    std::string s;
    std::error_code ec;
    ReadWholeFile(p, s, ec);
    return s;
}

TEST(RegStoreTest, SectionsMapToFilesUnderTheRoot) {
    testing::ConfigHome home;
    EXPECT_EQ(ConfigRoot(), home.path());
    EXPECT_EQ(SectionFile(kSection), home.path() / "Ostravine" / "Kestrona.conf");
    EXPECT_EQ(SectionFile("Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
              home.path() / "Microsoft" / "Windows" / "CurrentVersion" / "Run.conf");
    EXPECT_EQ(SectionFile("Other\\Key"), home.path() / "Other" / "Key.conf");
    // Nothing may lead out of the root.
    EXPECT_TRUE(SectionFile("Software\\..\\..\\etc\\passwd").empty());
    EXPECT_TRUE(SectionFile("Software\\").empty());
    EXPECT_TRUE(SectionFile("").empty());
    EXPECT_FALSE(RegWriteValue("..", "a", "b"));
}

TEST(RegStoreTest, NamesAreCaseBlindAndKeepTheirFirstSpellingAndOrder) {
    testing::ConfigHome home;
    EXPECT_FALSE(RegSectionExists(kSection));
    EXPECT_FALSE(RegReadValue(kSection, "id"));
    ASSERT_TRUE(RegWriteValue(kSection, "id", "7"));
    ASSERT_TRUE(RegWriteValue(kSection, "Proxy", "0"));
    ASSERT_TRUE(RegWriteValue(kSection, "ID", "8"));
    EXPECT_EQ(RegReadValue(kSection, "Id"), "8");
    EXPECT_EQ(RegReadValue(kSection, "proxy"), "0");
    EXPECT_EQ(Slurp(SectionFile(kSection)), "id=8\nProxy=0\n");

    ASSERT_TRUE(RegDeleteValue(kSection, "PROXY"));
    EXPECT_FALSE(RegReadValue(kSection, "Proxy"));
    EXPECT_TRUE(RegDeleteValue(kSection, "never-there"));
    EXPECT_FALSE(RegDeleteValue("Software\\Nobody", "x"));

    // The file holds a password in clear text: private to the user.
    struct stat st {};
    ASSERT_EQ(::stat(SectionFile(kSection).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST(RegStoreTest, AnyTextSurvivesAndBadNamesAreRefused) {
    testing::ConfigHome home;
    const std::string odd = " lead=eq\\back\nline\r\ttab 中文 ";
    ASSERT_TRUE(RegWriteValue(kSection, "password", odd));
    ASSERT_TRUE(RegWriteValue(kSection, "empty", ""));
    ASSERT_TRUE(RegWriteValue(kSection, "after", "x"));
    EXPECT_EQ(RegReadValue(kSection, "password"), odd);
    EXPECT_EQ(RegReadValue(kSection, "empty"), "");
    EXPECT_EQ(RegReadValue(kSection, "after"), "x");

    for (const char* bad : {"", "a=b", "a\nb", "#x", "[x", ";x"}) {
        EXPECT_FALSE(RegWriteValue(kSection, bad, "v")) << bad;
    }
    EXPECT_FALSE(RegWriteValue(kSection, "nul", std::string("a\0b", 3)));
    // A refused value in a batch changes nothing.
    EXPECT_FALSE(RegWriteValues(kSection, {{"fine", "1"}, {"a=b", "2"}}));
    EXPECT_FALSE(RegReadValue(kSection, "fine"));
}

TEST(RegStoreTest, HandEditedFilesReadAndJunkLinesAreSkipped) {
    testing::ConfigHome home;
    ASSERT_TRUE(RegCreateSection(kSection));
    ASSERT_TRUE(WriteFileAtomically(SectionFile(kSection),
                                    "# comment\r\n[Kestrona]\r\nrate=3\r\nno equals sign\n"
                                    "Host=h\\q\nrate=9\ntail=end"));
    EXPECT_EQ(RegReadValue(kSection, "RATE"), "3");
    EXPECT_EQ(RegReadValue(kSection, "host"), "h\\q");
    EXPECT_EQ(RegReadValue(kSection, "tail"), "end");
}

// Threads hold separate lock descriptors, exactly as separate processes do.
TEST(RegStoreTest, ConcurrentWritersLoseNothing) {
    testing::ConfigHome home;
    constexpr int kThreads = 4;
    constexpr int kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kValues; ++i) {
                RegWriteValue(kSection, "t" + std::to_string(t) + "v" + std::to_string(i),
                              std::to_string(i));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kValues; ++i) {
            EXPECT_EQ(RegReadValue(kSection, "t" + std::to_string(t) + "v" + std::to_string(i)),
                      std::to_string(i));
        }
    }
}

}  // namespace
}  // namespace kestrona
