#pragma once
// One upload of FlashImage to the device currentDevice names at its start: handshake, blocks,
// retransmission, time-outs counted in status-timer ticks, and the receive thread.
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
    // lines, closed the device and left ReceiveLoop (see WaitForReceiveThread).
    std::atomic<uint8_t> receiving{0};
    // The device of this upload, taken from currentDevice by StartUpload: the upload and its
    // end act on it, whatever currentDevice says meanwhile.
    std::atomic<int32_t> device{0};
    std::atomic<uint8_t> abortRequested{0}; // set by AbortUpload, taken by the next pass
    // With noResponse: the device went away (unplugged) and the upload ended at once.
    std::atomic<uint8_t> deviceGone{0};
};

// The receive pass's judgement of replies that come late, split or more than once (see
// engine.cpp). BeginUpload sets it up before the upload is armed; from then on only the
// receive pass uses it.
struct ReplyJudgement {
    // The last byte read was a 'C': in the transfer, the first byte of a late handshake reply,
    // whose second byte follows; in the handshake, possibly the first of the awaited pair.
    bool lateHandshakeC = false;
    bool settling = false;      // waiting for a quiet line before the next frame
    uint32_t quietMs = 0;       // how long the line must stay quiet
    uint32_t lastByteAtMs = 0;  // when the settling began or its last byte came
    uint32_t frameSentAtMs = 0; // when the current frame first went out
    uint32_t ackLength = 0;     // bytes of a block acknowledgement; 0 until learned
    uint32_t ackBytesLeft = 0;  // of the acknowledgement last counted
    uint32_t learnedBytes = 0;  // 'K's after the first block's acknowledgement
    uint32_t owedBytes = 0;     // replies the device may still owe while settling
};
extern ReplyJudgement judgement;
// The clock the quiet waits are measured with: MonotonicMilliseconds, or a test's own.
extern uint32_t (*uploadClockMs)();
// How long the line must stay quiet before the device can be taken to owe nothing more.
uint32_t QuietWaitMs();

extern UploadState upload;

// Arms the upload of FlashImage to currentDevice and sends the handshake request; the replies
// are then handled by ReceivePass, called by StartUpload's receive thread or, where there is
// no thread (the web page), by whoever waits for the device.
void BeginUpload();
// Ends the upload at the receive loop's next pass as a spent retry budget would: noResponse,
// the lines released and the device closed (an interrupted command line).
void AbortUpload();
// BeginUpload with a receive thread that runs ReceivePass until the upload ends.
void StartUpload();
void SendFrame(uint32_t length);
void RetransmitOrFail();
void SendNextBlock();
// One pass of the receive loop: polls the device once, tests the time-out, and reads and
// judges a whole reply if one is waiting. Returns whether the upload still runs.
bool ReceivePass();
void ReceiveLoop();
// Called once per status-timer tick: countdown -= 1 if it is above 0, never losing a reload.
void TickCountdown();
// Returns once no receive thread is left: the previous upload has then released its lines and
// closed its device. Called before every open of a device (OpenDeviceForUpload, StartUpload)
// and by karvex-flash before it reports the end and exits.
void WaitForReceiveThread();
// OpenDevice for the next upload, once the previous upload's receive thread has ended: its
// end would otherwise close or release the device just opened.
bool OpenDeviceForUpload(int32_t index);
