// The trust-on-first-use store: verdicts across reloads, and files that were
// damaged or written by someone else.
#include "store/known_peers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/temp_dir.h"

namespace kestrona {
namespace {

std::array<uint8_t, 32> Id(uint8_t fill) {
    std::array<uint8_t, 32> id;
    id.fill(fill);
    return id;
}

std::string ReadText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(KnownPeers, FirstUseThenSameOrChangedAcrossReloads) {
    testing::TempDir dir;
    const auto path = dir.path() / "data" / "known_peers.txt";
    std::string error;
    {
        KnownPeers peers(path.string());
        EXPECT_EQ(peers.Check("1001", Id(1)), KnownPeers::Verdict::kNew);
        // Check alone stores nothing.
        EXPECT_FALSE(std::filesystem::exists(path));
        ASSERT_TRUE(peers.Remember("1001", Id(1), error)) << error;
        ASSERT_TRUE(peers.Remember("2002", Id(2), error)) << error;
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    KnownPeers peers(path.string());
    EXPECT_EQ(peers.Check("1001", Id(1)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("1001", Id(9)), KnownPeers::Verdict::kChanged);
    EXPECT_EQ(peers.Check("2002", Id(2)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("3003", Id(1)), KnownPeers::Verdict::kNew);
    // Accepting the change replaces the old identity, and only that one.
    ASSERT_TRUE(peers.Remember("1001", Id(9), error));
    EXPECT_EQ(peers.Check("1001", Id(9)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("1001", Id(1)), KnownPeers::Verdict::kChanged);
    EXPECT_EQ(peers.Check("2002", Id(2)), KnownPeers::Verdict::kSame);

    // Numbers that are not plain digits are never stored or matched.
    for (const char* bad : {"", "-5", "12 34", "12345678901", "1001\n2002", "+1001"}) {
        EXPECT_FALSE(peers.Remember(bad, Id(3), error)) << bad;
        EXPECT_EQ(peers.Check(bad, Id(3)), KnownPeers::Verdict::kNew) << bad;
    }
}

TEST(KnownPeers, HostileOrDamagedFilesNeitherCrashNorLoseEntries) {
    testing::TempDir dir;
    const auto path = dir.path() / "known_peers.txt";
    const std::string good = "1001 " + std::string(64, 'a');
    {
        std::ofstream out(path, std::ios::binary);
        out << "kestrona-known-peers 1\r\n"
            << good << "\r\n"
            << "2002 " << std::string(63, 'b') << "\n"  // one digit short
            << "3003 " << std::string(64, 'g') << "\n"  // not hex
            << std::string(100000, 'z') << "\n"         // absurdly long
            << std::string("4004 \0", 6) << "\n"
            << "5005 " << std::string(64, 'C');  // no newline at the end
    }
    KnownPeers peers(path.string());
    EXPECT_EQ(peers.Check("1001", Id(0xaa)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("5005", Id(0xcc)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("2002", Id(0xbb)), KnownPeers::Verdict::kNew);

    // A rewrite keeps the damaged lines a person may want to repair (but not
    // the absurd one), and the good entries.
    std::string error;
    ASSERT_TRUE(peers.Remember("6006", Id(6), error)) << error;
    const std::string text = ReadText(path);
    EXPECT_NE(text.find(good), std::string::npos);
    EXPECT_NE(text.find("2002 " + std::string(63, 'b')), std::string::npos);
    EXPECT_EQ(text.find(std::string(1000, 'z')), std::string::npos);
    EXPECT_EQ(peers.Check("5005", Id(0xcc)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("6006", Id(6)), KnownPeers::Verdict::kSame);

    // Parsing is bounded whatever the input.
    std::string flood;
    for (int i = 0; i < 30000; ++i)
        flood += std::to_string(100000 + i) + " " + std::string(64, '0') + "\n";
    const auto content = KnownPeers::Parse(flood);
    EXPECT_LE(content.peers.size(), KnownPeers::kMaxPeers);
    EXPECT_TRUE(KnownPeers::Parse(std::string(5 << 20, '\n')).peers.empty());

    // Larger than this store ever writes: read as far as the bound, never
    // rewritten (that would cut it).
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << good << "\n"
            << std::string(KnownPeers::kMaxFileBytes, '#') << "\n7007 " << good.substr(5);
    }
    EXPECT_EQ(peers.Check("1001", Id(0xaa)), KnownPeers::Verdict::kSame);
    EXPECT_EQ(peers.Check("7007", Id(0xaa)), KnownPeers::Verdict::kNew);
    const auto size = std::filesystem::file_size(path);
    EXPECT_FALSE(peers.Remember("8008", Id(8), error));
    EXPECT_NE(error.find("larger"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(path), size);

    // Unreadable store (a folder in its place): an error, nothing written.
    const auto folder = dir.path() / "folder";
    std::filesystem::create_directory(folder);
    KnownPeers broken(folder.string());
    EXPECT_EQ(broken.Check("1001", Id(1)), KnownPeers::Verdict::kNew);
    EXPECT_FALSE(broken.Remember("1001", Id(1), error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kestrona
