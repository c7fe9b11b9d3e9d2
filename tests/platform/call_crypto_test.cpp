// Stream sealing of one call's blocks and the installation's identity file.
#include "platform/call_crypto.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "platform/temp_dir.h"

namespace kestrona {
namespace {

using Bytes = std::vector<uint8_t>;

SecretKey32 Key(uint8_t fill) {
    SecretKey32 k;
    k.bytes.fill(fill);
    return k;
}

// A sender's stream: header, then `blocks` sealed blocks of `size` bytes.
struct SealedStream {
    Bytes header;
    std::vector<Bytes> blocks;
    std::vector<Bytes> plain;
};

SealedStream MakeStream(const SecretKey32& key, int blocks, size_t size) {
    StreamSealer sealer(key);
    SealedStream s;
    s.header.assign(sealer.Header().begin(), sealer.Header().end());
    for (int i = 0; i < blocks; ++i) {
        Bytes plain(size);
        for (size_t j = 0; j < size; ++j) plain[j] = uint8_t(i * 31 + j);
        Bytes sealed(size + StreamSealer::kOverhead);
        sealer.Seal(plain.data(), plain.size(), sealed.data());
        s.plain.push_back(plain);
        s.blocks.push_back(sealed);
    }
    return s;
}

TEST(StreamSealing, BlocksOpenInOrderAndNothingElseDoes) {
    const SecretKey32 key = Key(7);
    const size_t kBlock = 50;  // 5 coded frames
    const SealedStream s = MakeStream(key, 4, kBlock);
    Bytes out(kBlock);
    {
        StreamOpener opener;
        EXPECT_FALSE(opener.Open(s.blocks[0].data(), s.blocks[0].size(), out.data()));
        ASSERT_TRUE(opener.Start(key, s.header.data()));
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(opener.Open(s.blocks[i].data(), s.blocks[i].size(), out.data())) << i;
            EXPECT_EQ(out, s.plain[i]);
        }
        // Replayed after the end.
        EXPECT_FALSE(opener.Open(s.blocks[3].data(), s.blocks[3].size(), out.data()));
    }
    // One flipped bit anywhere in the header or a block.
    for (int block = -1; block < 2; ++block) {
        const size_t size = block < 0 ? s.header.size() : s.blocks[block].size();
        for (size_t at = 0; at < size; ++at) {
            SealedStream t = s;
            (block < 0 ? t.header : t.blocks[block])[at] ^= 0x08;
            StreamOpener opener;
            bool ok = opener.Start(key, t.header.data());
            for (int i = 0; ok && i <= std::max(block, 1); ++i)
                ok = opener.Open(t.blocks[i].data(), t.blocks[i].size(), out.data());
            EXPECT_FALSE(ok) << "block " << block << " byte " << at;
        }
    }
    // Dropped, reordered, replayed, cut, or under another key; a stream that
    // failed once stays broken even for the right next block.
    auto opensAll = [&](const SecretKey32& k, std::vector<Bytes> seq) {
        StreamOpener opener;
        if (!opener.Start(k, s.header.data()))
            return false;
        for (const auto& b : seq)
            if (!opener.Open(b.data(), b.size(), out.data()))
                return false;
        return true;
    };
    EXPECT_FALSE(opensAll(key, {s.blocks[1]}));
    EXPECT_FALSE(opensAll(key, {s.blocks[0], s.blocks[2], s.blocks[1]}));
    EXPECT_FALSE(opensAll(key, {s.blocks[0], s.blocks[0]}));
    Bytes cut(s.blocks[0].begin(), s.blocks[0].end() - 1);
    EXPECT_FALSE(opensAll(key, {cut}));
    EXPECT_FALSE(opensAll(key, {Bytes(StreamSealer::kOverhead - 1)}));
    EXPECT_FALSE(opensAll(Key(8), {s.blocks[0]}));
    {
        StreamOpener opener;
        ASSERT_TRUE(opener.Start(key, s.header.data()));
        EXPECT_FALSE(opener.Open(s.blocks[1].data(), s.blocks[1].size(), out.data()));
        EXPECT_FALSE(opener.Open(s.blocks[0].data(), s.blocks[0].size(), out.data()));
        EXPECT_FALSE(opener.Started());
    }
    // The same key twice still gives two unrelated streams.
    const SealedStream again = MakeStream(key, 1, kBlock);
    EXPECT_NE(again.header, s.header);
    EXPECT_NE(again.blocks[0], s.blocks[0]);
}

TEST(IdentityKeyFile, CreatedPrivateReloadedSameDamagedKeptAside) {
    testing::TempDir dir;
    const std::string path = (dir.path() / "sub" / "identity.key").string();
    std::string error;
    auto first = IdentityKey::LoadOrCreate(path, error);
    ASSERT_TRUE(first) << error;
    EXPECT_TRUE(error.empty());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto again = IdentityKey::LoadOrCreate(path, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->PublicKey(), first->PublicKey());
    const uint8_t msg[] = {1, 2, 3};
    const auto sig = again->Sign(msg, sizeof msg);
    EXPECT_TRUE(IdentityKey::Verify(first->PublicKey(), msg, sizeof msg, sig.data()));
    EXPECT_FALSE(IdentityKey::Verify(first->PublicKey(), msg, 2, sig.data()));

    // Opened up by someone: narrowed back, same key.
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(IdentityKey::LoadOrCreate(path, error));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Damaged: the old file is kept aside, a new key made and said so.
    std::string text;
    {
        std::ifstream in(path);
        std::getline(in, text);
    }
    text[text.size() - 3] = 'x';
    {
        std::ofstream out(path, std::ios::trunc);
        out << text << "\n";
    }
    auto replaced = IdentityKey::LoadOrCreate(path, error);
    ASSERT_TRUE(replaced);
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_NE(replaced->PublicKey(), first->PublicKey());
    int aside = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path() / "sub")) {
        if (e.path().filename().string().rfind("identity.key.broken-", 0) == 0) {
            ++aside;
            std::ifstream in(e.path());
            std::string kept;
            std::getline(in, kept);
            EXPECT_EQ(kept, text);
        }
    }
    EXPECT_EQ(aside, 1);

    // A folder where nothing can be created.
    if (::geteuid() != 0) {
        const auto locked = dir.path() / "locked";
        std::filesystem::create_directory(locked);
        ::chmod(locked.c_str(), 0500);
        EXPECT_FALSE(IdentityKey::LoadOrCreate((locked / "identity.key").string(), error));
        EXPECT_FALSE(error.empty());
        ::chmod(locked.c_str(), 0700);
    }
    EXPECT_FALSE(IdentityKey::LoadOrCreate(dir.path().string(), error));  // a folder
}

}  // namespace
}  // namespace kestrona
