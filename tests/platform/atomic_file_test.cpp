#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/temp_dir.h"

namespace kestrona {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
    std::string s;
    std::error_code ec;
    ReadWholeFile(p, s, ec);
    return s;
}

std::size_t EntryCount(const fs::path& dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(AtomicFileTest, ReplacesContentAndKeepsPermissions) {
    testing::TempDir dir;
    const fs::path file = dir.path() / "a.dat";
    ASSERT_TRUE(WriteFileAtomically(file, "first"));
    ::chmod(file.c_str(), 0600);
    ASSERT_TRUE(WriteFileAtomically(file, std::string("se\0cond", 7)));
    EXPECT_EQ(Slurp(file), std::string("se\0cond", 7));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(WriteFileAtomically(file, ""));
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(EntryCount(dir.path()), 1u);  // no temporary left behind
}

TEST(AtomicFileTest, FailureReportsAndChangesNothing) {
    testing::TempDir dir;
    std::error_code ec;
    EXPECT_FALSE(WriteFileAtomically(dir.path() / "missing" / "a.dat", "x", ec));
    EXPECT_TRUE(ec);
    std::string out = "stale";
    EXPECT_FALSE(ReadWholeFile(dir.path() / "nothing", out, ec));
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
    EXPECT_TRUE(out.empty());
}

TEST(AtomicFileTest, ProcessDyingBeforeRenameLeavesOldFileWhole) {
    testing::TempDir dir;
    const fs::path file = dir.path() / "book.dat";
    ASSERT_TRUE(WriteFileAtomically(file, "old content"));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetBeforeRenameHookForTest([](const fs::path&) { ::_exit(42); });
        WriteFileAtomically(file, "new content that never lands");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42);  // it did die between write and rename

    EXPECT_EQ(Slurp(file), "old content");
    // The abandoned temporary does not get in the way of the next write.
    ASSERT_TRUE(WriteFileAtomically(file, "next"));
    EXPECT_EQ(Slurp(file), "next");
}

}  // namespace
}  // namespace kestrona
