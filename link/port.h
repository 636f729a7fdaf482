#pragma once
// Opening and configuring a device, and driving its DTR/RTS lines. Every open made here
// (OpenDevice, the reopens of SetControlLines and ReopenStaleHandle) is followed by the
// event character 'K' and a 2 ms latency timer, when the library offers them.
#include <atomic>
#include <cstdint>

#include "link/d2xx.h"

extern int32_t currentDevice;
// How long the link may hold a reply before the program can read it, as the latest open left
// it: the chip's latency timer, 2 ms where it was set, else its default of 16 ms.
extern std::atomic<uint32_t> linkLatencyMs;
// Status of the call that made the latest OpenDevice fail (FT_DEVICE_NOT_FOUND for an index
// not listed); FT_OK after a successful one.
extern FT_STATUS lastOpenStatus;

// Opens device `index` at 500,000 baud 8N1, 5 s time-outs, no flow control, lines released.
// On success currentDevice = index. On failure after the open the handle is closed again.
bool OpenDevice(int32_t index);
// Drives DTR and RTS of device `index`, then closes and reopens it.
bool SetControlLines(int32_t index, bool asserted);
// Recovery after an invalid-handle status seen on `failedHandle`: closes and reopens device
// `index` only if its slot still holds that handle. Serialised with SetControlLines, so the
// device is never opened twice. Returns the status of the reopen (0 when nothing was needed).
FT_STATUS ReopenStaleHandle(int32_t index, FT_HANDLE failedHandle);
// The handle in the slot of device `index` at this moment.
FT_HANDLE DeviceHandle(int32_t index);
