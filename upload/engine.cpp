#include "upload/engine.h"

#include <algorithm>
#include <thread>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "platform/platform.h"

UploadState upload;

// Memory orders: `armed` publishes what the window thread wrote before the first send
// (txBuffer, counters, statuses) to the receive thread; `done`, `noResponse` and `receiving`
// publish the receive thread's last writes to whoever sees them set or cleared. The other
// fields are plain counters or progress read on their own, relaxed. `countdown` is changed
// by both threads, but only ever as a value of its own, so relaxed suffices there too.

namespace {
constexpr size_t receiveThreadStack = 4096;
constexpr uint32_t purgeBoth = FT_PURGE_RX | FT_PURGE_TX;
constexpr auto relaxed = std::memory_order_relaxed;

FT_HANDLE Handle() {
    return DeviceHandle(upload.device.load(relaxed));
}

void Record(FT_STATUS status) {
    upload.lastStatus.store(status, relaxed);
}

void Write(uint32_t length) {
    uint32_t written = 0;
    Record(driver.FT_Write(Handle(), upload.txBuffer, length, &written));
    upload.transferCount.store(written, relaxed);
}

void ReloadCountdown() {
    upload.countdown.store(static_cast<int32_t>(upload.timeoutTicks.load(relaxed)), relaxed);
}

// The flag is set first, so the status timer may report while the lines are still released.
void EndUpload(std::atomic<uint8_t>& outcome) {
    outcome.store(1, std::memory_order_release);
    upload.running.store(0, relaxed);
    SetControlLines(upload.device.load(relaxed), false);
    driver.FT_Close(Handle());
}

// Bytes waiting at the device; 0 when the query fails in any way. An invalid handle (the
// device was closed under us) is recovered by reopening it, unless that was done meanwhile.
uint32_t QueryWaitingBytes() {
    FT_HANDLE handle = Handle();
    uint32_t waiting = 0;
    FT_STATUS status = driver.FT_GetQueueStatus(handle, &waiting);
    Record(status);
    if (status == FT_INVALID_HANDLE)
        Record(ReopenStaleHandle(upload.device.load(relaxed), handle));
    return status == FT_OK ? waiting : 0;
}

// Polls once; true when a whole reply is waiting. The time-out is tested on every poll, a
// recovering one included, so a device whose reopen keeps failing still ends the upload.
bool PollForReply(uint32_t& waiting) {
    waiting = QueryWaitingBytes();
    if (upload.countdown.load(relaxed) <= 0) {
        RetransmitOrFail();
        if (!upload.running.load(relaxed))
            return false;
    }
    return waiting >= upload.expectedReplyLength.load(relaxed);
}

// Reads what is waiting into rxBuffer; returns how many bytes the read really transferred,
// 0 when it failed, so that bytes of an earlier reply are never judged again.
uint32_t ReadReply(uint32_t waiting) {
    uint32_t toRead = std::min(waiting, frameBufferSize);
    uint32_t transferred = 0;
    FT_STATUS status = driver.FT_Read(Handle(), upload.rxBuffer, toRead, &transferred);
    Record(status);
    upload.transferCount.store(transferred, relaxed);
    return status == FT_OK ? std::min(transferred, toRead) : 0;
}

void AcceptAcknowledgement() {
    if (upload.offset.load(relaxed) > lastAddress)
        EndUpload(upload.done);
    else
        SendNextBlock();
}

// A handshake request repeated after its time-out gets a second 'C','K', which arrives while
// a block waits for its acknowledgement, possibly split over two reads. Counted as a wrong
// reply it would resend the block, and the device's second 'K' would then shift every later
// acknowledgement by one. Returns how many leading bytes of `bytes` are such late bytes.
uint32_t LateHandshakeBytes(const uint8_t* bytes, uint32_t count) {
    uint32_t late = 0;
    for (; late < count; ++late) {
        bool secondByte = bytes[late] == replyK && upload.lateHandshakeC.load(relaxed);
        if (bytes[late] != replyC && !secondByte)
            break;
        upload.lateHandshakeC.store(bytes[late] == replyC, relaxed);
    }
    if (late < count)
        upload.lateHandshakeC.store(0, relaxed);
    return late;
}

void JudgeTransferReply(uint32_t received) {
    // A read that failed may leave the acknowledgement it missed queued: read after the block
    // is sent again, it would pass for the resend's, every later one would come a block early,
    // and a lost frame could then pass as acknowledged.
    if (received == 0)
        Record(driver.FT_Purge(Handle(), FT_PURGE_RX));
    uint32_t late = LateHandshakeBytes(upload.rxBuffer, received);
    if (late > 0 && late == received)
        return; // nothing for the block yet: its wait goes on
    if (IsBlockAcknowledgement(upload.rxBuffer + late, received - late))
        AcceptAcknowledgement();
    else
        RetransmitOrFail();
}

void JudgeReply(uint32_t received) {
    if (upload.state.load(relaxed) == phaseTransfer) {
        JudgeTransferReply(received);
        return;
    }
    if (!IsHandshakeReply(upload.rxBuffer, received)) {
        RetransmitOrFail();
        return;
    }
    // A second handshake reply read along with the first may end in its 'C' alone.
    LateHandshakeBytes(upload.rxBuffer + handshakeReplyLength, received - handshakeReplyLength);
    // The handshake reply also counts as the acknowledgement that releases the first block.
    upload.state.store(phaseTransfer, relaxed);
    AcceptAcknowledgement();
}

void SendHandshakeRequest() {
    uint32_t length = BuildHandshakeRequest(upload.txBuffer);
    upload.retryBudget.store(handshakeRetryBudget, relaxed);
    upload.timeoutTicks.store(handshakeTimeoutTicks, relaxed);
    SendFrame(length);
    upload.armed.store(1, std::memory_order_release);
}

void WaitUntilArmed() {
    while (!upload.armed.load(std::memory_order_acquire))
        std::this_thread::yield();
}
} // namespace

void WaitForReceiveThread() {
    while (upload.receiving.load(std::memory_order_acquire))
        std::this_thread::yield();
}

bool OpenDeviceForUpload(int32_t index) {
    WaitForReceiveThread();
    return OpenDevice(index);
}

void BeginUpload() {
    upload.armed.store(0, relaxed);
    upload.device.store(currentDevice, relaxed);
    upload.lateHandshakeC.store(0, relaxed);
    upload.expectedReplyLength.store(handshakeReplyLength, relaxed);
    upload.state.store(phaseHandshake, relaxed);
    upload.offset.store(0, relaxed);
    upload.running.store(1, relaxed);
    Record(driver.FT_Purge(Handle(), purgeBoth));
    SendHandshakeRequest();
}

void StartUpload() {
    WaitForReceiveThread();
    upload.receiving.store(1, relaxed);
    // The thread starts before the request is sent and waits until it is armed.
    upload.armed.store(0, relaxed);
    if (!StartDetachedThread(ReceiveLoop, receiveThreadStack)) {
        upload.receiving.store(0, relaxed);
        upload.device.store(currentDevice, relaxed);
        EndUpload(upload.noResponse); // nothing would ever wait for the replies
        return;
    }
    BeginUpload();
}

void SendFrame(uint32_t length) {
    Write(length);
    upload.retriesLeft.store(static_cast<int32_t>(upload.retryBudget.load(relaxed)), relaxed);
    upload.lastFrameLength.store(length, relaxed);
    ReloadCountdown();
}

void RetransmitOrFail() {
    int32_t retries = upload.retriesLeft.load(relaxed);
    if (retries <= 0) {
        EndUpload(upload.noResponse);
        return;
    }
    upload.retriesLeft.store(retries - 1, relaxed);
    Write(upload.lastFrameLength.load(relaxed));
    ReloadCountdown();
}

void SendNextBlock() {
    int32_t address = upload.offset.load(relaxed);
    uint32_t length = BuildBlockFrame(FlashImage, address, upload.txBuffer);
    upload.expectedReplyLength.store(blockReplyLength, relaxed);
    upload.timeoutTicks.store(blockTimeoutTicks, relaxed);
    upload.retryBudget.store(blockRetryBudget, relaxed);
    SendFrame(length);
    upload.offset.store(address + BlockDataCount(address), relaxed);
}

bool ReceivePass() {
    uint32_t waiting = 0;
    if (upload.running.load(relaxed) && PollForReply(waiting))
        JudgeReply(ReadReply(waiting));
    return upload.running.load(relaxed) != 0;
}

void ReceiveLoop() {
    WaitUntilArmed();
    while (ReceivePass())
        std::this_thread::yield();
    upload.receiving.store(0, std::memory_order_release);
}

void TickCountdown() {
    int32_t value = upload.countdown.load(relaxed);
    // A failed exchange reloads `value` with what the receive thread stored meanwhile.
    while (value > 0 && !upload.countdown.compare_exchange_weak(value, value - 1, relaxed)) {
    }
}
