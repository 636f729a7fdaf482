#include "upload/engine.h"

#include <algorithm>
#include <thread>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "platform/platform.h"

UploadState upload;
ReplyJudgement judgement;
uint32_t (*uploadClockMs)() = MonotonicMilliseconds;

// Memory orders: `armed` publishes what the window thread wrote before the first send
// (txBuffer, counters, statuses, the judgement) to the receive thread; `done`, `noResponse`
// and `receiving` publish the receive thread's last writes to whoever sees them set or
// cleared. The other fields are plain counters or progress read on their own, relaxed.
// `countdown` is changed by both threads, but only ever as a value of its own, so relaxed
// suffices there too.

namespace {
constexpr size_t receiveThreadStack = 4096;
constexpr uint32_t purgeBoth = FT_PURGE_RX | FT_PURGE_TX;
constexpr auto relaxed = std::memory_order_relaxed;

// The quiet wait (QuietWaitMs): a reply's bytes can reach the program as far apart as the
// link holds what it receives, one latency period for bytes that straddle the chip's
// passing them on, and as much again for the chip's USB transfer that carries them, so two
// periods. The device answers a block once its last byte is in (1.4 ms for 69 bytes at
// 500,000 baud) and its flash row written (about 2 ms): 4 ms of turnaround. The margin covers
// the clock's 1 ms steps and USB's 1 ms frames.
constexpr uint32_t deviceTurnaroundMs = 4;
constexpr uint32_t quietMarginMs = 2;

bool Running() {
    return upload.running.load(relaxed) != 0;
}

FT_HANDLE Handle() {
    return DeviceHandle(upload.device.load(relaxed));
}

void Record(FT_STATUS status) {
    upload.lastStatus.store(status, relaxed);
}

// The flag is set first, so the status timer may report while the lines are still released.
void EndUpload(std::atomic<uint8_t>& outcome) {
    outcome.store(1, std::memory_order_release);
    upload.running.store(0, relaxed);
    SetControlLines(upload.device.load(relaxed), false);
    driver.FT_Close(Handle());
}

// A device that went away fails every call with an I/O error (or not found) and cannot be
// opened again. So a call failing so is followed by a reopen: a device that opens again had a
// glitch and the upload goes on; one not found ends the upload at once, rather than through
// ten time-outs. Its handle was closed by the reopen; it has no lines left to release.
void CheckDeviceAfter(FT_STATUS status, FT_HANDLE handle) {
    if (status != FT_IO_ERROR && status != FT_DEVICE_NOT_FOUND)
        return;
    FT_STATUS reopened = ReopenStaleHandle(upload.device.load(relaxed), handle);
    Record(reopened);
    if (reopened != FT_DEVICE_NOT_FOUND)
        return;
    upload.deviceGone.store(1, relaxed);
    upload.noResponse.store(1, std::memory_order_release);
    upload.running.store(0, relaxed);
}

void Write(uint32_t length) {
    FT_HANDLE handle = Handle();
    uint32_t written = 0;
    FT_STATUS status = driver.FT_Write(handle, upload.txBuffer, length, &written);
    Record(status);
    upload.transferCount.store(written, relaxed);
    CheckDeviceAfter(status, handle);
}

void ReloadCountdown() {
    upload.countdown.store(static_cast<int32_t>(upload.timeoutTicks.load(relaxed)), relaxed);
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
    CheckDeviceAfter(status, handle);
    return status == FT_OK ? waiting : 0;
}

// Reads what is waiting into rxBuffer; returns how many bytes the read really transferred,
// 0 when it failed, so that bytes of an earlier reply are never judged again.
uint32_t ReadReply(uint32_t waiting) {
    FT_HANDLE handle = Handle();
    uint32_t toRead = std::min(waiting, frameBufferSize);
    uint32_t transferred = 0;
    FT_STATUS status = driver.FT_Read(handle, upload.rxBuffer, toRead, &transferred);
    Record(status);
    upload.transferCount.store(transferred, relaxed);
    CheckDeviceAfter(status, handle);
    return status == FT_OK ? std::min(transferred, toRead) : 0;
}

// Replies carry no address, so a reply the device still owes for an earlier frame would pass
// for the current frame's, and every later acknowledgement would then come a block early: a
// refused or lost block further on would be taken as written. Recognised, whatever their
// split over reads:
// - A late handshake reply ('C' and any second byte) during the transfer.
// - Bytes read along with a reply that was acted on: they left the device before the next
//   frame did, so they answer nothing sent since.
// - The rest of a multi-byte acknowledgement: its length is learned at the first block, and
//   an acknowledgement is counted in bytes, not reads.
// - Replies still owed for a frame sent more than once (a block sent again, a handshake
//   request repeated after the lines came up): before the next block the line must stay
//   quiet for QuietWaitMs and as long again as the frame has been out; what arrives meanwhile
//   is theirs.
// - After the last acknowledgement the line must stay quiet likewise; a reply it cannot owe
//   ends the upload as not responding rather than done.
// What remains: a reply later than that quiet wait, or a byte of the first block's
// acknowledgement split from the one before by more than it, still passes for a later block's.

// Ends the upload, or sends the next block once the line is quiet (or at once).
void FinishAcknowledgedFrame() {
    judgement.settling = false;
    if (upload.offset.load(relaxed) > lastAddress)
        EndUpload(upload.done);
    else
        SendNextBlock();
}

uint32_t SendsOfFrame() {
    return 1 + upload.retryBudget.load(relaxed) -
           static_cast<uint32_t>(std::max(upload.retriesLeft.load(relaxed), 0));
}

// Waits for the line to be quiet. Replies owed for `repeats` sends of a frame come as far
// apart as the sends went out: the wait is as long again as the frame has been out.
void Settle(uint32_t repeats) {
    uint32_t now = uploadClockMs();
    judgement.quietMs = QuietWaitMs() + (repeats > 0 ? now - judgement.frameSentAtMs : 0);
    judgement.lastByteAtMs = now;
    judgement.learnedBytes = 0;
    judgement.owedBytes = repeats * std::max<uint32_t>(judgement.ackLength, 1);
    judgement.settling = true;
    upload.expectedReplyLength.store(1, relaxed);
}

void AcceptAcknowledgement() {
    bool learning = judgement.ackLength == 0;
    bool last = upload.offset.load(relaxed) > lastAddress;
    uint32_t repeats = SendsOfFrame() - 1;
    judgement.ackBytesLeft = learning ? 0 : judgement.ackLength - 1;
    if (learning || last || repeats > 0)
        Settle(repeats);
    else
        FinishAcknowledgedFrame();
}

// The first request goes out before the lines start the bootloader, so only a device already
// in it hears that one; what such a device owes for the repeats carries its 'C' and is
// skipped in the transfer (or, lacking it, passes at worst for a refusal of block 0, which
// then goes again and is waited for). Only requests repeated once the lines are up can leave
// replies owed that would pass for an acknowledgement.
void AcceptHandshakeReply() {
    upload.state.store(phaseTransfer, relaxed);
    judgement.ackBytesLeft = 0;
    uint32_t sends = SendsOfFrame();
    if (sends > 2)
        Settle(sends - 2);
    else
        FinishAcknowledgedFrame(); // the reply releases the first block
}

// A quiet line ends the wait: the first block's acknowledgement length is then known.
void EndSettling() {
    if (judgement.ackLength == 0 && upload.state.load(relaxed) == phaseTransfer &&
        upload.offset.load(relaxed) > 0)
        judgement.ackLength = 1 + judgement.learnedBytes;
    FinishAcknowledgedFrame();
}

// A byte that arrived while the line should settle: first the replies owed for repeats, then
// the rest of the first block's acknowledgement. After the last block, one the device cannot
// owe means the replies were out of step.
void JudgeSettlingByte(uint8_t byte) {
    if (judgement.owedBytes > 0) {
        --judgement.owedBytes;
    } else if (judgement.ackLength == 0) {
        judgement.learnedBytes += byte == replyK;
    } else if (upload.offset.load(relaxed) > lastAddress) {
        EndUpload(upload.noResponse);
    }
}

// A late handshake reply: a 'C', then one byte, whatever it is; a 'C' where the second byte
// should be starts another, as after a reply cut short. True when `byte` is part of one.
bool SkipLateHandshakeByte(uint8_t byte) {
    bool secondByte = judgement.lateHandshakeC;
    judgement.lateHandshakeC = byte == replyC;
    return byte == replyC || secondByte;
}

// The rest of a multi-byte acknowledgement already counted.
bool SkipAcknowledgementByte(uint8_t byte) {
    if (judgement.ackBytesLeft == 0 || byte != replyK)
        return false;
    --judgement.ackBytesLeft;
    return true;
}

// Judges the bytes of a read in order. Only the first byte that is no late or trailing byte
// is the waiting frame's reply (`fresh`); what follows it was sent before the reaction to it.
void JudgeTransferBytes(const uint8_t* bytes, uint32_t count, bool fresh) {
    for (uint32_t i = 0; i < count && Running(); ++i) {
        if (judgement.settling)
            judgement.lastByteAtMs = uploadClockMs(); // the line is not quiet yet
        if (SkipLateHandshakeByte(bytes[i]) || SkipAcknowledgementByte(bytes[i]))
            continue;
        if (judgement.settling) {
            JudgeSettlingByte(bytes[i]);
        } else if (fresh) {
            fresh = false;
            judgement.ackBytesLeft = 0;
            if (IsBlockAcknowledgement(bytes + i, 1))
                AcceptAcknowledgement();
            else
                RetransmitOrFail();
        }
    }
}

// A 'C','K' pair wherever it stands, its 'C' possibly ending the previous read. Returns how
// many bytes it used: up to the pair's end when found, all of them otherwise.
uint32_t JudgeHandshakeBytes(const uint8_t* bytes, uint32_t count) {
    uint8_t previous = judgement.lateHandshakeC ? replyC : 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t pair[2] = {previous, bytes[i]};
        previous = bytes[i];
        if (IsHandshakeReply(pair, 2)) {
            judgement.lateHandshakeC = false;
            AcceptHandshakeReply();
            return i + 1;
        }
    }
    judgement.lateHandshakeC = previous == replyC;
    RetransmitOrFail();
    return count;
}

// A read that failed may leave what it missed queued: read later, an acknowledgement would
// pass for the resend's, every later one would come a block early, and a lost frame could
// then pass as acknowledged. After the last block, what it missed cannot be known.
void JudgeFailedRead() {
    if (upload.state.load(relaxed) == phaseHandshake) {
        RetransmitOrFail();
        return;
    }
    Record(driver.FT_Purge(Handle(), FT_PURGE_RX));
    if (!judgement.settling)
        RetransmitOrFail();
    else if (upload.offset.load(relaxed) > lastAddress)
        EndUpload(upload.noResponse);
}

void JudgeReply(uint32_t received) {
    if (received == 0) {
        JudgeFailedRead();
        return;
    }
    bool handshake = upload.state.load(relaxed) == phaseHandshake;
    uint32_t used = handshake ? JudgeHandshakeBytes(upload.rxBuffer, received) : 0;
    if (upload.state.load(relaxed) == phaseTransfer)
        JudgeTransferBytes(upload.rxBuffer + used, received - used, !handshake);
}

// While the line settles, its quiet ends the wait; otherwise the frame's time-out is tested.
void TestTimeOut(uint32_t waiting) {
    if (!judgement.settling) {
        if (upload.countdown.load(relaxed) <= 0)
            RetransmitOrFail();
    } else if (waiting == 0 && uploadClockMs() - judgement.lastByteAtMs >= judgement.quietMs) {
        EndSettling();
    }
}

// Polls once; true when a whole reply is waiting. The time-out is tested on every poll, a
// recovering one included, so a device whose reopen keeps failing still ends the upload.
bool PollForReply(uint32_t& waiting) {
    waiting = QueryWaitingBytes();
    if (Running())
        TestTimeOut(waiting);
    return Running() && waiting >= upload.expectedReplyLength.load(relaxed);
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

uint32_t QuietWaitMs() {
    return 2 * linkLatencyMs.load(relaxed) + deviceTurnaroundMs + quietMarginMs;
}

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
    upload.abortRequested.store(0, relaxed);
    upload.deviceGone.store(0, relaxed);
    judgement = ReplyJudgement{};
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
    judgement.frameSentAtMs = uploadClockMs();
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

void AbortUpload() {
    upload.abortRequested.store(1, relaxed);
}

bool ReceivePass() {
    uint32_t waiting = 0;
    if (upload.abortRequested.exchange(0, relaxed) && Running())
        EndUpload(upload.noResponse);
    if (Running() && PollForReply(waiting)) {
        uint32_t received = ReadReply(waiting);
        if (Running())
            JudgeReply(received);
    }
    return Running();
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
