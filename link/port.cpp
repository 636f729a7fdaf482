#include "link/port.h"

#include <atomic>
#include <mutex>

#include "link/driver.h"

int32_t currentDevice = 0;
FT_STATUS lastOpenStatus = FT_OK;

namespace {
constexpr uint32_t baudRate = 500000;
constexpr uint8_t wordLength = 8, stopBits = 0, parity = 0;
constexpr uint32_t readTimeoutMs = 5000, writeTimeoutMs = 5000;
// Every reply ends in 'K'; as the event character it makes the chip pass each reply on at
// once instead of holding it until its latency timer runs out.
constexpr uint8_t replyEnd = 'K';
constexpr uint8_t latencyTimerMs = 2;
constexpr uint8_t defaultLatencyTimerMs = 16;
} // namespace

std::atomic<uint32_t> linkLatencyMs{defaultLatencyTimerMs};

namespace {
// Serialises every close-and-reopen of a device, whichever thread makes it.
std::mutex reopening;

bool IsListed(int32_t index) {
    return index >= 0 && static_cast<uint32_t>(index) < deviceList.count;
}

std::atomic<FT_HANDLE>& Slot(int32_t index) {
    return deviceList.handles[index];
}

// The chip forgets both settings when it is opened, so every open applies them again. A
// library without them, or a refusal, leaves the chip's slower defaults: still correct.
void ShortenReceiveLatency(FT_HANDLE handle) {
    if (driver.FT_SetChars)
        driver.FT_SetChars(handle, replyEnd, 1, 0, 0);
    bool shortened =
        driver.FT_SetLatencyTimer && driver.FT_SetLatencyTimer(handle, latencyTimerMs) == FT_OK;
    linkLatencyMs.store(shortened ? latencyTimerMs : defaultLatencyTimerMs);
}

// FT_Open writing into the slot of `index`, as if the slot itself had been passed: a failed
// open leaves the slot as it was.
FT_STATUS OpenIntoSlot(int32_t index) {
    FT_HANDLE handle = Slot(index).load();
    FT_STATUS status = driver.FT_Open(index, &handle);
    Slot(index).store(handle);
    if (status == FT_OK)
        ShortenReceiveLatency(handle);
    return status;
}

// Each setting only after the one before succeeded; the status of the first that failed.
FT_STATUS ConfigurePort(FT_HANDLE handle) {
    FT_STATUS status = driver.FT_SetBaudRate(handle, baudRate);
    if (status == FT_OK)
        status = driver.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
    if (status == FT_OK)
        status = driver.FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs);
    if (status == FT_OK)
        status = driver.FT_SetFlowControl(handle, 0, 0, 0);
    return status;
}

FT_STATUS DriveLines(FT_HANDLE handle, bool asserted) {
    FT_STATUS status = asserted ? driver.FT_SetDtr(handle) : driver.FT_ClrDtr(handle);
    if (status == FT_OK)
        status = asserted ? driver.FT_SetRts(handle) : driver.FT_ClrRts(handle);
    return status;
}

// SetControlLines, reporting the status of the call that failed.
FT_STATUS SwitchLines(int32_t index, bool asserted) {
    if (!IsListed(index))
        return FT_DEVICE_NOT_FOUND;
    std::lock_guard<std::mutex> lock(reopening);
    FT_HANDLE handle = Slot(index).load();
    FT_STATUS status = DriveLines(handle, asserted);
    if (status == FT_OK)
        status = driver.FT_Close(handle);
    if (status == FT_OK)
        OpenIntoSlot(index);
    return status;
}

FT_STATUS OpenAndConfigure(int32_t index) {
    if (!IsListed(index))
        return FT_DEVICE_NOT_FOUND;
    FT_STATUS status;
    {
        std::lock_guard<std::mutex> lock(reopening);
        status = OpenIntoSlot(index);
    }
    if (status != FT_OK)
        return status;
    FT_HANDLE handle = DeviceHandle(index);
    status = ConfigurePort(handle);
    if (status == FT_OK)
        status = SwitchLines(index, false);
    if (status != FT_OK)
        driver.FT_Close(handle); // left open, the device would refuse every later open
    return status;
}
} // namespace

FT_HANDLE DeviceHandle(int32_t index) {
    return IsListed(index) ? Slot(index).load() : nullptr;
}

bool OpenDevice(int32_t index) {
    lastOpenStatus = OpenAndConfigure(index);
    if (lastOpenStatus != FT_OK)
        return false;
    currentDevice = index;
    return true;
}

bool SetControlLines(int32_t index, bool asserted) {
    return SwitchLines(index, asserted) == FT_OK;
}

FT_STATUS ReopenStaleHandle(int32_t index, FT_HANDLE failedHandle) {
    if (!IsListed(index))
        return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(reopening);
    if (Slot(index).load() != failedHandle)
        return FT_OK; // someone else reopened it meanwhile
    driver.FT_Close(failedHandle);
    return OpenIntoSlot(index);
}
