#include "upload/frames.h"

#include <cstring>

#include "image/flash_image.h"

namespace {
constexpr uint32_t blockHeaderLength = 4; // 0x00, address high, address low, count
constexpr uint8_t blockFrameStart = 0x00;

uint8_t NegatedSum(const uint8_t* bytes, uint32_t length) {
    uint8_t checksum = 0;
    for (uint32_t i = 0; i < length; ++i)
        checksum = static_cast<uint8_t>(checksum - bytes[i]);
    return checksum;
}
} // namespace

int32_t BlockDataCount(int32_t address) {
    int32_t remaining = lastAddress - address + 1;
    return remaining < blockSize ? remaining : blockSize;
}

uint32_t BuildHandshakeRequest(uint8_t* frame) {
    frame[0] = handshakeRequest;
    return 1;
}

uint32_t BuildBlockFrame(const uint8_t* image, int32_t address, uint8_t* frame) {
    if (address < 0 || address > lastAddress)
        return 0; // no block starts there; nothing of the image beyond it may be sent
    uint32_t count = static_cast<uint32_t>(BlockDataCount(address));
    frame[0] = blockFrameStart;
    frame[1] = static_cast<uint8_t>(address >> 8);
    frame[2] = static_cast<uint8_t>(address);
    frame[3] = static_cast<uint8_t>(count);
    std::memcpy(frame + blockHeaderLength, image + address, count);
    uint32_t checksumAt = blockHeaderLength + count;
    frame[checksumAt] = NegatedSum(frame, checksumAt);
    return checksumAt + 1;
}

bool IsHandshakeReply(const uint8_t* reply, uint32_t length) {
    return length >= handshakeReplyLength && reply[0] == replyC && reply[1] == replyK;
}

bool IsBlockAcknowledgement(const uint8_t* reply, uint32_t length) {
    return length >= blockReplyLength && reply[0] == replyK;
}
