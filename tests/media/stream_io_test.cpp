// Block sizes, the splitting of coded blocks into sends, the assembly of whole
// blocks from whatever the network delivers, and the proxy preambles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/audio_engine.h"
#include "media/stream_io.h"

using kestrona::ReadResult;

namespace {

TEST(BlockSize, FollowsDelayAndRateInWholeEvenFrames) {
    struct Case {
        int rate, delayMs, samples;
    } cases[] = {
        {8000, 250, 1920},  // not 2000: rounded down to a multiple of 160
        {8000, 500, 4000},    {22050, 250, 5440},  {24000, 5000, 120000}, {12000, 250, 2880},
        {16000, 1000, 16000}, {22050, 500, 10880}, {8000, 5000, 40000},
    };
    for (const Case& c : cases) {
        int bytes = CAudioEngine::BlockBytesFor(c.rate, c.delayMs);
        EXPECT_EQ(bytes, 2 * c.samples) << c.rate << " Hz, " << c.delayMs << " ms";
        EXPECT_EQ(bytes / 16 % 20, 0) << "coded block must hold whole frame pairs";
    }
    // 8000 Hz, 250 ms: 3840 PCM bytes give 240 coded bytes.
    EXPECT_EQ(CAudioEngine::BlockBytesFor(8000, 250) / 16, 240);
}

TEST(BlockSize, NonsenseInputStillGivesAUsableBlock) {
    // A zero-sized block would make the receive loop spin on empty reads.
    EXPECT_EQ(CAudioEngine::BlockBytesFor(8000, 0), 320);
    EXPECT_EQ(CAudioEngine::BlockBytesFor(0, 500), 320);
    EXPECT_EQ(CAudioEngine::BlockBytesFor(-8000, 500), 320);
    EXPECT_EQ(CAudioEngine::BlockBytesFor(8000, 10), 320);
    // An absurd delay is capped instead of overflowing.
    int huge = CAudioEngine::BlockBytesFor(48000, 2000000000);
    EXPECT_GT(huge, 0);
    EXPECT_EQ(huge % 320, 0);
}

struct SendLog {
    std::vector<int> sizes;
    std::vector<uint8_t> bytes;
    int takeAtMost = 1 << 30;  // a send takes no more than this
    int failOnCall = -1;
    ssize_t operator()(const uint8_t* d, size_t n) {
        if (int(sizes.size()) == failOnCall) {
            sizes.push_back(int(n));
            errno = ECONNRESET;
            return -1;
        }
        sizes.push_back(int(n));
        size_t took = std::min<size_t>(n, size_t(takeAtMost));
        bytes.insert(bytes.end(), d, d + took);
        return ssize_t(took);
    }
};

std::vector<uint8_t> Pattern(int n) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[size_t(i)] = uint8_t(i * 7 + 3);
    return v;
}

TEST(SendChunks, BlocksGoOutInSendsOfAtMost500Bytes) {
    std::atomic<int> stop{0};
    struct Case {
        int n;
        std::vector<int> sends;
    } cases[] = {
        {240, {240}},
        {500, {500}},
        {1000, {500, 500}},  // the loop stops when no more than 500 remain
        {1360, {500, 500, 360}},
        {1500, {500, 500, 500}},
        {15000, std::vector<int>(30, 500)},
    };
    for (const Case& c : cases) {
        SendLog log;
        auto data = Pattern(c.n);
        ASSERT_TRUE(kestrona::WriteInChunks(data.data(), c.n, 500, stop, std::ref(log)));
        EXPECT_EQ(log.sizes, c.sends) << c.n;
        EXPECT_EQ(log.bytes, data);
    }
}

TEST(SendChunks, PartialSendsContinueWhereTheSystemStopped) {
    std::atomic<int> stop{0};
    SendLog log;
    log.takeAtMost = 300;
    auto data = Pattern(1360);
    ASSERT_TRUE(kestrona::WriteInChunks(data.data(), 1360, 500, stop, std::ref(log)));
    EXPECT_EQ(log.bytes, data);  // nothing lost or repeated
    EXPECT_EQ(log.sizes.front(), 500);
    // The tail that the system only partly took is completed, so the stream
    // never loses its frame alignment.
    EXPECT_EQ(log.sizes.back(), 1360 - 300 * (int(log.sizes.size()) - 1));
}

TEST(SendChunks, AFailingOrEmptySendFailsTheWrite) {
    std::atomic<int> stop{0};
    auto data = Pattern(1500);
    SendLog failing;
    failing.failOnCall = 1;
    EXPECT_FALSE(kestrona::WriteInChunks(data.data(), 1500, 500, stop, std::ref(failing)));
    EXPECT_EQ(failing.sizes.size(), 2u);

    SendLog zero;
    zero.takeAtMost = 0;
    EXPECT_FALSE(kestrona::WriteInChunks(data.data(), 240, 500, stop, std::ref(zero)));
    EXPECT_EQ(zero.sizes.size(), 1u);
}

// A receive that hands out the prepared segments one per call.
struct Segments {
    std::vector<std::vector<uint8_t>> parts;
    size_t next = 0;
    size_t offset = 0;
    std::vector<size_t> asked;
    std::vector<size_t> returned;
    std::atomic<int>* stopAfter = nullptr;
    size_t stopAtCall = size_t(-1);
    ssize_t operator()(uint8_t* d, size_t n) {
        asked.push_back(n);
        if (stopAfter && asked.size() == stopAtCall)
            *stopAfter = 1;
        if (next >= parts.size())
            return 0;  // end of stream
        auto& p = parts[next];
        size_t take = std::min(n, p.size() - offset);
        std::copy_n(p.begin() + long(offset), take, d);
        offset += take;
        if (offset == p.size())
            ++next, offset = 0;
        returned.push_back(take);
        return ssize_t(take);
    }
};

TEST(WholeBlocks, AssembledFromSplitSegments) {
    std::atomic<int> stop{0};
    auto data = Pattern(240 * 2);
    Segments net;
    // 1, 2, 3, ... byte segments across both blocks.
    for (size_t pos = 0, len = 1; pos < data.size(); pos += len, ++len) {
        len = std::min(len, data.size() - pos);
        net.parts.emplace_back(data.begin() + long(pos), data.begin() + long(pos + len));
    }
    std::vector<uint8_t> block(240);
    ASSERT_EQ(kestrona::ReadFully(block.data(), 240, stop, std::ref(net)), ReadResult::kComplete);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), data.begin()));
    // Each receive asks only for what the block still misses, so no byte of
    // the next block is taken early.
    size_t got = 0;
    for (size_t i = 0; i < net.asked.size(); ++i) {
        EXPECT_EQ(net.asked[i], 240 - got) << "receive " << i;
        got += net.returned[i];
    }
    ASSERT_EQ(kestrona::ReadFully(block.data(), 240, stop, std::ref(net)), ReadResult::kComplete);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), data.begin() + 240));
}

TEST(WholeBlocks, EndOfStreamMidBlockIsBrokenUnlessStopping) {
    auto data = Pattern(100);
    std::atomic<int> stop{0};
    Segments net;
    net.parts = {data};
    std::vector<uint8_t> block(240);
    EXPECT_EQ(kestrona::ReadFully(block.data(), 240, stop, std::ref(net)), ReadResult::kBroken);

    // Stop arrives while the block is incomplete: the partial block is dropped
    // quietly.
    Segments net2;
    net2.parts = {data, data, data};
    net2.stopAfter = &stop;
    net2.stopAtCall = 2;
    EXPECT_EQ(kestrona::ReadFully(block.data(), 240, stop, std::ref(net2)), ReadResult::kStopped);
}

}  // namespace
