#pragma once
// Bytes exchanged with the bootloader: the handshake, the data block frames and the replies.
#include <cstdint>

constexpr int32_t blockSize = 64;
constexpr uint32_t frameBufferSize = 256;
constexpr uint8_t handshakeRequest = 0xC1;
constexpr uint32_t handshakeReplyLength = 2;
constexpr uint32_t blockReplyLength = 1;
constexpr uint8_t replyC = 0x43; // 'C', first byte of the handshake reply
constexpr uint8_t replyK = 0x4B; // 'K', its second byte, and a block's acknowledgement

// Data bytes in the block starting at `address`: 64, or fewer for the image's last block.
int32_t BlockDataCount(int32_t address);
// Builds the handshake request into `frame`; returns its length (1).
uint32_t BuildHandshakeRequest(uint8_t* frame);
// Builds the data block frame for `address` of `image` into `frame` (frameBufferSize bytes);
// returns its length, count + 5.
uint32_t BuildBlockFrame(const uint8_t* image, int32_t address, uint8_t* frame);
// Reply tests on the bytes actually received: `length` is how many arrived.
bool IsHandshakeReply(const uint8_t* reply, uint32_t length);
bool IsBlockAcknowledgement(const uint8_t* reply, uint32_t length);
