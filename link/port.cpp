#include "link/port.h"

#include <atomic>
#include <mutex>

#include "link/driver.h"

int32_t currentDevice = 0;

namespace {
constexpr uint32_t baudRate = 500000;
constexpr uint8_t wordLength = 8, stopBits = 0, parity = 0;
constexpr uint32_t readTimeoutMs = 5000, writeTimeoutMs = 5000;

// Serialises every close-and-reopen of a device, whichever thread makes it.
std::mutex reopening;

bool IsListed(int32_t index) {
    return index >= 0 && static_cast<uint32_t>(index) < deviceList.count;
}

// The slot is read by the receive thread while the window thread reopens the device.
std::atomic_ref<FT_HANDLE> Slot(int32_t index) {
    return std::atomic_ref<FT_HANDLE>(deviceList.handles[index]);
}

// FT_Open writing into the slot of `index`, as if the slot itself had been passed: a failed
// open leaves the slot as it was.
FT_STATUS OpenIntoSlot(int32_t index) {
    FT_HANDLE handle = Slot(index).load();
    FT_STATUS status = driver.FT_Open(index, &handle);
    Slot(index).store(handle);
    return status;
}

bool ConfigurePort(FT_HANDLE handle) {
    return driver.FT_SetBaudRate(handle, baudRate) == FT_OK &&
           driver.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity) == FT_OK &&
           driver.FT_SetTimeouts(handle, readTimeoutMs, writeTimeoutMs) == FT_OK &&
           driver.FT_SetFlowControl(handle, 0, 0, 0) == FT_OK;
}

bool DriveLines(FT_HANDLE handle, bool asserted) {
    if (asserted)
        return driver.FT_SetDtr(handle) == FT_OK && driver.FT_SetRts(handle) == FT_OK;
    return driver.FT_ClrDtr(handle) == FT_OK && driver.FT_ClrRts(handle) == FT_OK;
}
} // namespace

FT_HANDLE DeviceHandle(int32_t index) { return IsListed(index) ? Slot(index).load() : nullptr; }

bool OpenDevice(int32_t index) {
    if (!IsListed(index))
        return false;
    FT_STATUS opened;
    {
        std::lock_guard<std::mutex> lock(reopening);
        opened = OpenIntoSlot(index);
    }
    if (opened != FT_OK)
        return false;
    FT_HANDLE handle = DeviceHandle(index);
    if (!ConfigurePort(handle) || !SetControlLines(index, false)) {
        // Left open, the device would refuse every later open until the program restarts.
        driver.FT_Close(handle);
        return false;
    }
    currentDevice = index;
    return true;
}

bool SetControlLines(int32_t index, bool asserted) {
    if (!IsListed(index))
        return false;
    std::lock_guard<std::mutex> lock(reopening);
    FT_HANDLE handle = Slot(index).load();
    if (!DriveLines(handle, asserted) || driver.FT_Close(handle) != FT_OK)
        return false;
    OpenIntoSlot(index);
    return true;
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
