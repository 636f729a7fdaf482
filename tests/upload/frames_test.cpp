#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "image/flash_image.h"
#include "upload/frames.h"

namespace {
uint8_t ByteSum(const uint8_t* bytes, uint32_t length) {
    return static_cast<uint8_t>(std::accumulate(bytes, bytes + length, 0u));
}

std::vector<uint8_t> PatternImage() {
    std::vector<uint8_t> image(flashImageCapacity, 0xEE);
    for (uint32_t i = 0; i < imageSize; ++i)
        image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return image;
}
} // namespace

TEST(BlockDataCount, FullBlocksUpToTheLastAddress) {
    EXPECT_EQ(BlockDataCount(0x0000), 64);
    EXPECT_EQ(BlockDataCount(0x7F00), 64);
    EXPECT_EQ(BlockDataCount(0x7F01), 63);
    EXPECT_EQ(BlockDataCount(0x7F30), 16);
    EXPECT_EQ(BlockDataCount(0x7F3F), 1);
    int blocks = 0;
    for (int32_t a = 0; a <= lastAddress; a += blockSize, ++blocks)
        EXPECT_EQ(BlockDataCount(a), blockSize) << a;
    EXPECT_EQ(blocks, 509);
}

TEST(HandshakeRequest, IsTheSingleByteC1) {
    uint8_t frame[frameBufferSize] = {};
    EXPECT_EQ(BuildHandshakeRequest(frame), 1u);
    EXPECT_EQ(frame[0], 0xC1);
}

TEST(BlockFrame, FirstBlockOfPatchedImageStartsWithTheJump) {
    std::vector<uint8_t> image(flashImageCapacity, 0xFF);
    PatchResetVector(image.data());
    uint8_t frame[frameBufferSize];
    ASSERT_EQ(BuildBlockFrame(image.data(), 0, frame), 69u);
    const uint8_t head[] = {0x00, 0x00, 0x00, 0x40, 0xA0, 0xEF, 0x3F, 0xF0, 0xFF};
    EXPECT_EQ(std::memcmp(frame, head, sizeof head), 0);
}

TEST(BlockFrame, BlankBlockAt0040HasChecksumC0) {
    std::vector<uint8_t> image(flashImageCapacity, 0xFF);
    uint8_t frame[frameBufferSize];
    ASSERT_EQ(BuildBlockFrame(image.data(), 0x40, frame), 69u);
    std::vector<uint8_t> expected = {0x00, 0x00, 0x40, 0x40};
    expected.insert(expected.end(), 64, 0xFF);
    expected.push_back(0xC0);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 69), expected);
}

TEST(BlockFrame, EveryBlockCarriesItsAddressAndBytesAndSumsToZero) {
    std::vector<uint8_t> image = PatternImage();
    for (int32_t a = 0; a <= lastAddress; a += blockSize) {
        SCOPED_TRACE(a);
        uint8_t frame[frameBufferSize];
        ASSERT_EQ(BuildBlockFrame(image.data(), a, frame), 69u);
        EXPECT_EQ(frame[0], 0x00);
        EXPECT_EQ(frame[1] * 256 + frame[2], a);
        EXPECT_EQ(frame[3], 64);
        EXPECT_EQ(std::memcmp(frame + 4, image.data() + a, 64), 0);
        EXPECT_EQ(ByteSum(frame, 69), 0);
    }
}

TEST(BlockFrame, ShortLastBlockStopsAtTheLastAddress) {
    std::vector<uint8_t> image = PatternImage();
    uint8_t frame[frameBufferSize];
    std::memset(frame, 0x77, sizeof frame);
    ASSERT_EQ(BuildBlockFrame(image.data(), 0x7F30, frame), 21u);
    EXPECT_EQ(frame[1], 0x7F);
    EXPECT_EQ(frame[2], 0x30);
    EXPECT_EQ(frame[3], 16);
    EXPECT_EQ(std::memcmp(frame + 4, image.data() + 0x7F30, 16), 0);
    EXPECT_EQ(ByteSum(frame, 21), 0);
    EXPECT_EQ(frame[21], 0x77); // nothing written past the frame
}

TEST(BlockFrame, NoFrameForAnAddressOutsideTheImage) {
    std::vector<uint8_t> image = PatternImage();
    uint8_t frame[frameBufferSize] = {};
    EXPECT_EQ(BuildBlockFrame(image.data(), lastAddress + 1, frame), 0u);
    EXPECT_EQ(BuildBlockFrame(image.data(), -64, frame), 0u);
}

TEST(Replies, HandshakeReplyIsCThenK) {
    const uint8_t ck[] = {'C', 'K', 'x'};
    EXPECT_TRUE(IsHandshakeReply(ck, 2));
    EXPECT_TRUE(IsHandshakeReply(ck, 3));  // bytes after the reply are ignored
    EXPECT_FALSE(IsHandshakeReply(ck, 1)); // 'K' not received yet
    EXPECT_FALSE(IsHandshakeReply(ck, 0));
    for (const char* wrong : {"CC", "KC", "CJ", "ck", "K\0"}) {
        SCOPED_TRACE(wrong);
        EXPECT_FALSE(IsHandshakeReply(reinterpret_cast<const uint8_t*>(wrong), 2));
    }
}

TEST(Replies, BlockAcknowledgementIsK) {
    const uint8_t kkk[] = {'K', 'K', 'K'};
    EXPECT_TRUE(IsBlockAcknowledgement(kkk, 1));
    EXPECT_TRUE(IsBlockAcknowledgement(kkk, 3));  // several waiting count once
    EXPECT_FALSE(IsBlockAcknowledgement(kkk, 0)); // stale buffer, nothing received
    const uint8_t other[] = {'C', 'K'};
    EXPECT_FALSE(IsBlockAcknowledgement(other, 2));
    const uint8_t nak[] = {0x00};
    EXPECT_FALSE(IsBlockAcknowledgement(nak, 1));
}
