#include "platform/app_paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "platform/temp_dir.h"

using kestrona::testing::ConfigHome;
namespace fs = std::filesystem;

TEST(AppPaths, DataFolderFollowsTheDataHomeRules) {
    ConfigHome home;
    EXPECT_EQ(kestrona::PhoneDataDir(), home.path() / "data" / "kestrona" / "phone");

    // A relative or empty data home is ignored for the default under HOME.
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.path().c_str(), 1);
    for (const char* dataHome : {"relative/data", ""}) {
        ::setenv("XDG_DATA_HOME", dataHome, 1);
        EXPECT_EQ(kestrona::PhoneDataDir(), home.path() / ".local/share/kestrona/phone")
            << dataHome;
    }
    ::setenv("HOME", oldHome.c_str(), 1);
}

TEST(AppPaths, MakingTheFoldersKeepsWhatIsThere) {
    ConfigHome home;
    const fs::path dir = kestrona::PhoneDataDir();
    ASSERT_TRUE(kestrona::EnsurePhoneDataDirs(dir));
    EXPECT_TRUE(fs::is_directory(dir / "list"));
    EXPECT_TRUE(fs::is_directory(dir / "record"));
    std::ofstream(dir / "list" / "ilist.dat") << "kept";
    ASSERT_TRUE(kestrona::EnsurePhoneDataDirs(dir));
    EXPECT_EQ(fs::file_size(dir / "list" / "ilist.dat"), 4u);

    // A file where a folder should be: reported, not replaced.
    const fs::path blocked = home.path() / "blocked";
    fs::create_directories(blocked);
    std::ofstream(blocked / "record") << "x";
    EXPECT_FALSE(kestrona::EnsurePhoneDataDirs(blocked));
    EXPECT_TRUE(fs::is_directory(blocked / "list"));
    EXPECT_TRUE(fs::is_regular_file(blocked / "record"));
}

TEST(AppPaths, ResourcesBesideTheProgramUnlessOverridden) {
    ::unsetenv("KESTRONA_RESOURCE_DIR");
    // A test program in a build tree has no installed share folder.
    EXPECT_EQ(kestrona::ResourceDir(), kestrona::ExecutableDir());
    ::setenv("KESTRONA_RESOURCE_DIR", "/opt/res", 1);
    EXPECT_EQ(kestrona::ResourcePath("ring/in.wav"), fs::path("/opt/res/ring/in.wav"));
    ::unsetenv("KESTRONA_RESOURCE_DIR");
}
