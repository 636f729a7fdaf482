#pragma once
// One upload of FlashImage to the device currentDevice: handshake, blocks, retransmission,
// time-outs counted in status-timer ticks, and the receive thread.
#include <atomic>
#include <cstdint>

#include "upload/frames.h"

enum UploadPhase : uint32_t { phaseIdle = 0, phaseHandshake = 1, phaseTransfer = 2 };

constexpr uint32_t handshakeRetryBudget = 100;
constexpr uint32_t handshakeTimeoutTicks = 5;
constexpr uint32_t blockRetryBudget = 10;
constexpr uint32_t blockTimeoutTicks = 1000;

// Shared by the window thread and the receive thread; each field is read and written whole.
struct UploadState {
    std::atomic<uint8_t> running{0};
    std::atomic<uint8_t> done{0};
    std::atomic<uint8_t> noResponse{0};
    std::atomic<uint32_t> state{phaseIdle};
    std::atomic<uint32_t> expectedReplyLength{0};
    std::atomic<int32_t> offset{0};
    std::atomic<uint32_t> retryBudget{handshakeRetryBudget};
    std::atomic<int32_t> retriesLeft{0};
    std::atomic<uint32_t> timeoutTicks{0};
    std::atomic<int32_t> countdown{0};
    std::atomic<uint32_t> lastFrameLength{0};
    std::atomic<uint32_t> lastStatus{0};
    std::atomic<uint32_t> transferCount{0};
    uint8_t txBuffer[frameBufferSize]{};
    uint8_t rxBuffer[frameBufferSize]{};
    // Set once StartUpload has sent the handshake request and armed its counters; until then
    // the receive thread waits, so it never acts on a previous upload's countdown or budget.
    std::atomic<uint8_t> armed{0};
    // Set while a receive thread exists: from StartUpload until the thread has released the
    // lines, closed the device and left ReceiveLoop. Whoever ends the process or starts the
    // next upload right after `done` or `noResponse` waits for it (see WaitForReceiveThread).
    std::atomic<uint8_t> receiving{0};
};
extern UploadState upload;

void StartUpload();
void SendFrame(uint32_t length);
void RetransmitOrFail();
void SendNextBlock();
void ReceiveLoop();
// Called once per status-timer tick: countdown -= 1 if it is above 0, never losing a reload.
void TickCountdown();
// Returns once no receive thread is left; the previous upload's device is then closed.
void WaitForReceiveThread();
