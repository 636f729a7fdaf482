#pragma once
// One upload of FlashImage to the device currentDevice: handshake, blocks, retransmission,
// time-outs counted in status-timer ticks, and the receive thread.
#include <atomic>
#include <cstdint>

#include "upload/frames.h"

enum UploadPhase : uint32_t { phaseIdle = 0, phaseHandshake = 1, phaseTransfer = 2 };

// Shared by the window thread and the receive thread; each field is read and written whole.
struct UploadState {
    std::atomic<uint8_t> running{0};
    std::atomic<uint8_t> done{0};
    std::atomic<uint8_t> noResponse{0};
    std::atomic<uint32_t> state{phaseIdle};
    std::atomic<uint32_t> expectedReplyLength{0};
    std::atomic<int32_t> offset{0};
    std::atomic<uint32_t> retryBudget{100};
    std::atomic<int32_t> retriesLeft{0};
    std::atomic<uint32_t> timeoutTicks{0};
    std::atomic<int32_t> countdown{0};
    std::atomic<uint32_t> lastFrameLength{0};
    std::atomic<uint32_t> lastStatus{0};
    std::atomic<uint32_t> transferCount{0};
    uint8_t txBuffer[frameBufferSize]{};
    uint8_t rxBuffer[frameBufferSize]{};
};
extern UploadState upload;

void StartUpload();
void SendFrame(uint32_t length);
void RetransmitOrFail();
void SendNextBlock();
void ReceiveLoop();
// Called once per status-timer tick: countdown -= 1 if it is above 0, never losing a reload.
void TickCountdown();
