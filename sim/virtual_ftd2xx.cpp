// The D2XX entry points of the virtual device library: the 16 the program needs and the 2
// that tune the chip's receive latency. Every call runs under one lock (the program calls
// from its window thread and its receive thread at once) and leaves one line in the trace.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "link/d2xx.h"
#include "platform/platform.h"
#include "sim/sim_config.h"
#include "sim/sim_device.h"
#include "sim/sim_trace.h"

namespace {
constexpr FT_STATUS kInvalidParameter = 6;
constexpr uintptr_t kFirstHandle = 0x1001;

struct SimLibrary {
    SimConfig config;
    std::vector<SimConfig> deviceConfigs; // each device's faults and settings
    std::vector<VirtualDevice> devices;
    std::vector<size_t> listed; // the devices attached at the last FT_CreateDeviceInfoList
    Trace trace;
    uintptr_t nextHandle = kFirstHandle;
    bool vanished = false; // the unplug fault struck: every call fails from now on
    SimClock::time_point virtualNow{}; // the device's time under the virtual clock
    std::vector<std::pair<const char*, uint32_t>> callCounts; // names as the calls give them
};

std::mutex simMutex;
SimLibrary* sim = nullptr;

// The virtual clock (configured at load, so read without the lock) makes a run depend only
// on the program's calls, never on how fast the host runs them or how long it sleeps.
bool VirtualClock() {
    return sim && sim->config.virtualClockUs != 0;
}

// The device's time; under the virtual clock, called with the lock held.
SimClock::time_point SimNow() {
    return VirtualClock() ? sim->virtualNow : SimClock::now();
}

// Time a call spends outside the lock: slept on the wall clock, added to the virtual one.
void TakeTime(uint32_t microseconds) {
    if (!VirtualClock()) {
        SleepMicroseconds(microseconds);
        return;
    }
    std::lock_guard<std::mutex> lock(simMutex);
    sim->virtualNow += std::chrono::microseconds(microseconds);
}

// One call in progress, as its trace line will show it.
struct CallRecord {
    const char* name;
    FT_HANDLE handle = nullptr;
    int32_t device = -1;
    std::string arguments;
    std::string results;
    std::string notes;
};

CallRecord NewCall(const char* name, FT_HANDLE handle = nullptr, std::string arguments = {}) {
    CallRecord call{name, handle, -1, std::move(arguments), {}, {}};
    return call;
}

std::string HandleText(FT_HANDLE handle) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return handle ? text : "-";
}

// Text for the trace only: without one, polls and transfers are spared the formatting.
bool Tracing() {
    return sim && sim->trace.file;
}

FT_STATUS Finish(CallRecord& call, FT_STATUS status) {
    if (!Tracing())
        return status;
    std::string device = call.device >= 0 ? std::to_string(call.device) : "-";
    WriteTraceLine(sim->trace, std::string(call.name) + " dev=" + device + " handle=" +
                                   HandleText(call.handle) + call.arguments + " -> " +
                                   std::to_string(status) + call.results);
    size_t start = 0;
    for (size_t end; (end = call.notes.find('\n', start)) != std::string::npos; start = end + 1)
        WriteTraceLine(sim->trace, call.notes.substr(start, end - start));
    return status;
}

// The names are literals, so the same address nearly always: compared as text only when not.
uint32_t CountCall(const char* name) {
    for (auto& [counted, number] : sim->callCounts) {
        if (counted == name)
            return ++number;
    }
    for (auto& [counted, number] : sim->callCounts) {
        if (std::strcmp(counted, name) == 0)
            return ++number;
    }
    sim->callCounts.emplace_back(name, 1);
    return 1;
}

// What every call meets first: a vanished device, then the configured failures. A vanished
// device is not found by an open; every other call fails as an I/O error.
FT_STATUS Precheck(const CallRecord& call) {
    if (sim && sim->vanished && std::strcmp(call.name, "FT_Open") == 0)
        return FT_DEVICE_NOT_FOUND;
    if (!sim || sim->vanished)
        return FT_IO_ERROR;
    uint32_t number = CountCall(call.name);
    for (const CallFault& fault : sim->config.failures) {
        if (fault.call == call.name && Includes(fault.calls, number))
            return fault.status;
    }
    return FT_OK;
}

// The wall clock, shared by every process that loads the library: the one that loads it first
// exports its start to the processes it starts.
uint64_t WallClockMilliseconds() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool IsAttached(const VirtualDevice& device) {
    return sim->config.attached.empty() ||
           Attached(sim->config, device.index, WallClockMilliseconds() - sim->config.startMs);
}

void ListAttached() {
    sim->listed.clear();
    for (size_t i = 0; i < sim->devices.size(); ++i) {
        if (IsAttached(sim->devices[i]))
            sim->listed.push_back(i);
    }
}

// A start for the attach times when none is given, passed on to the processes started later.
void StartAttachClock() {
    if (sim->config.attached.empty() || sim->config.startMs != 0)
        return;
    sim->config.startMs = WallClockMilliseconds();
    SetEnvironmentVariableUtf8("KARVEX_SIM_START", std::to_string(sim->config.startMs).c_str());
}

VirtualDevice* DeviceOfHandle(FT_HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    for (VirtualDevice& device : sim->devices) {
        if (value != 0 && device.openHandle == value)
            return &device;
    }
    return nullptr;
}

// Precheck, then the device whose open handle the call names (1 if none).
FT_STATUS PrecheckHandle(CallRecord& call, VirtualDevice*& device) {
    FT_STATUS status = Precheck(call);
    if (status != FT_OK)
        return status;
    device = DeviceOfHandle(call.handle);
    if (!device)
        return FT_INVALID_HANDLE;
    call.device = device->index;
    return IsAttached(*device) ? FT_OK : FT_IO_ERROR;
}

// Holds a kilobyte of the calling thread's stack per level, as the real library's USB layer
// holds its buffers; deeper levels lie lower, so a stack too small faults at its guard page.
[[gnu::noinline]] uint32_t HoldStack(uint32_t kilobytes) {
    volatile uint8_t buffer[1024];
    buffer[0] = static_cast<uint8_t>(kilobytes);
    buffer[sizeof buffer - 1] = buffer[0];
    if (kilobytes <= 1)
        return buffer[0];
    return HoldStack(kilobytes - 1) + buffer[sizeof buffer - 1]; // no tail call: the frame stays
}

// The stack use configured for the calls that open, close and poll a device. The
// configuration is fixed at load, so this needs no lock.
void UseConfiguredStack() {
    if (sim && sim->config.stackBytes > 0)
        HoldStack((sim->config.stackBytes + 1023) / 1024);
}

// Only an open device can have been written; the others' files may belong to devices another
// process has open.
void Vanish() {
    sim->vanished = true;
    for (const VirtualDevice& device : sim->devices) {
        if (device.openHandle)
            SaveFlash(device);
    }
}

std::string Argument(const char* key, uint32_t value) {
    if (!Tracing())
        return {};
    return std::string(" ") + key + "=" + std::to_string(value);
}

std::string DataText(const uint8_t* bytes, uint32_t count) {
    return Tracing() ? " data=" + (bytes ? HexBytes(bytes, count) : "") : "";
}

// A settings call: `apply` changes the device's chip settings once the handle checks out.
template <typename Apply>
FT_STATUS SettingsCall(CallRecord call, Apply apply) {
    std::lock_guard<std::mutex> lock(simMutex);
    VirtualDevice* device = nullptr;
    FT_STATUS status = PrecheckHandle(call, device);
    if (status == FT_OK)
        apply(*device);
    return Finish(call, status);
}

FT_STATUS LineCall(const char* name, FT_HANDLE handle, bool isDtr, bool asserted) {
    if (sim && sim->config.lineDelayUs > 0) // the configuration is fixed at load
        TakeTime(sim->config.lineDelayUs);
    return SettingsCall(NewCall(name, handle), [&](VirtualDevice& device) {
        SetLines(device, isDtr ? asserted : device.dtr, isDtr ? device.rts : asserted, SimNow());
    });
}

// Under the virtual clock nothing else can happen during a wait: the clock jumps to when the
// bytes are readable or the time-out ends. A wait without limit for bytes never coming
// returns at once with what there is.
void SkipWait(const VirtualDevice& device, uint32_t count) {
    SimClock::time_point until = ReadyAt(device, count);
    if (device.settings.readTimeoutMs != 0)
        until = std::min(until, sim->virtualNow +
                                    std::chrono::milliseconds(device.settings.readTimeoutMs));
    if (until != SimClock::time_point::max())
        sim->virtualNow = std::max(sim->virtualNow, until);
}

// Sleeps, without the lock, until `count` bytes are readable or the read time-out passes.
FT_STATUS WaitForBytes(std::unique_lock<std::mutex>& lock, FT_HANDLE handle, uint32_t count) {
    VirtualDevice* device = DeviceOfHandle(handle);
    const uint32_t timeoutMs = device->settings.readTimeoutMs;
    if (VirtualClock()) {
        SkipWait(*device, count);
        return FT_OK;
    }
    const SimClock::time_point deadline = SimClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        SimClock::time_point now = SimClock::now();
        if (ReadyCount(*device, now) >= count || (timeoutMs != 0 && now >= deadline))
            return FT_OK;
        SimClock::duration pause = std::chrono::milliseconds(1);
        if (timeoutMs != 0)
            pause = std::min(pause, deadline - now);
        lock.unlock();
        SleepMicroseconds(uint32_t(std::chrono::ceil<std::chrono::microseconds>(pause).count()));
        lock.lock();
        if (!sim || sim->vanished)
            return FT_IO_ERROR;
        device = DeviceOfHandle(handle);
        if (!device)
            return FT_INVALID_HANDLE; // closed by another thread meanwhile
    }
}

void FillNode(FT_DEVICE_LIST_INFO_NODE& node, const VirtualDevice& device) {
    node = FT_DEVICE_LIST_INFO_NODE{};
    node.Flags = device.openHandle ? 1 : 0; // bit 0: opened
    node.LocId = static_cast<uint32_t>(device.index + 1);
    std::snprintf(node.SerialNumber, sizeof node.SerialNumber, "KVX%05d", device.index + 1);
    std::snprintf(node.Description, sizeof node.Description, "%s", device.description.c_str());
    node.ftHandle = reinterpret_cast<FT_HANDLE>(device.openHandle);
}

void StartLibrary() {
    sim = new SimLibrary();
    sim->config = ReadSimConfig();
    OpenTrace(sim->trace, sim->config.tracePath);
    for (const std::string& problem : sim->config.problems)
        WriteTraceLine(sim->trace, "# ignored, cannot be read: " + problem);
    StartAttachClock();
    const std::vector<std::string>& descriptions = sim->config.descriptions;
    sim->devices.resize(descriptions.size());
    for (size_t i = 0; i < descriptions.size(); ++i) {
        std::string flashPath = sim->config.flashPath;
        if (i > 0 && !flashPath.empty())
            flashPath += "." + std::to_string(i);
        sim->deviceConfigs.push_back(ReadSimConfig(static_cast<int32_t>(i)));
        InitDevice(sim->devices[i], static_cast<int32_t>(i), descriptions[i], sim->deviceConfigs[i],
                   flashPath);
    }
    ListAttached();
}

void StopLibrary() {
    // A thread killed at process exit may still own the lock; do not wait for it for long.
    std::unique_lock<std::mutex> lock(simMutex, std::defer_lock);
    for (int attempt = 0; attempt < 100 && !lock.try_lock(); ++attempt)
        SleepMicroseconds(1000);
    for (const VirtualDevice& device : sim->devices) {
        if (device.openHandle)
            SaveFlash(device);
    }
    CloseTrace(sim->trace);
    delete sim;
    sim = nullptr;
}
} // namespace

// The state is rebuilt from the environment at every load of the library.
__attribute__((constructor)) static void LoadVirtualDevice() { StartLibrary(); }
__attribute__((destructor)) static void UnloadVirtualDevice() { StopLibrary(); }

extern "C" {

FT_STATUS D2XX_API FT_CreateDeviceInfoList(uint32_t* numDevs) {
    std::lock_guard<std::mutex> lock(simMutex);
    CallRecord call = NewCall("FT_CreateDeviceInfoList");
    FT_STATUS status = Precheck(call);
    if (status == FT_OK && !numDevs)
        status = kInvalidParameter;
    if (status == FT_OK) {
        ListAttached();
        *numDevs = static_cast<uint32_t>(sim->listed.size());
        call.results = Argument("count", *numDevs);
    }
    return Finish(call, status);
}

FT_STATUS D2XX_API FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, uint32_t* numDevs) {
    std::lock_guard<std::mutex> lock(simMutex);
    CallRecord call = NewCall("FT_GetDeviceInfoList");
    FT_STATUS status = Precheck(call);
    if (status == FT_OK && ((!dest && !sim->listed.empty()) || !numDevs))
        status = kInvalidParameter;
    if (status == FT_OK) {
        for (size_t i = 0; i < sim->listed.size(); ++i)
            FillNode(dest[i], sim->devices[sim->listed[i]]);
        *numDevs = static_cast<uint32_t>(sim->listed.size());
        call.results = Argument("count", *numDevs);
    }
    return Finish(call, status);
}

FT_STATUS D2XX_API FT_Open(int index, FT_HANDLE* handle) {
    std::lock_guard<std::mutex> lock(simMutex);
    UseConfiguredStack();
    CallRecord call = NewCall("FT_Open");
    call.device = index;
    FT_STATUS status = Precheck(call);
    bool listed = status == FT_OK && index >= 0 && static_cast<size_t>(index) < sim->listed.size();
    VirtualDevice* device =
        listed ? &sim->devices[sim->listed[static_cast<size_t>(index)]] : nullptr;
    if (status == FT_OK && (!device || !IsAttached(*device)))
        status = FT_DEVICE_NOT_FOUND;
    else if (status == FT_OK && !handle)
        status = kInvalidParameter;
    else if (status == FT_OK && device->openHandle)
        status = FT_DEVICE_NOT_OPENED; // open through another handle already
    if (status == FT_OK) {
        call.device = device->index;
        device->openHandle = sim->nextHandle++;
        ResetReceiveLatency(*device);
        *handle = reinterpret_cast<FT_HANDLE>(device->openHandle);
        call.handle = *handle;
    }
    return Finish(call, status);
}

FT_STATUS D2XX_API FT_Close(FT_HANDLE handle) {
    UseConfiguredStack();
    return SettingsCall(NewCall("FT_Close", handle), [](VirtualDevice& device) {
        device.openHandle = 0;
        SaveFlash(device);
    });
}

FT_STATUS D2XX_API FT_Read(FT_HANDLE handle, void* buffer, uint32_t toRead, uint32_t* returned) {
    std::unique_lock<std::mutex> lock(simMutex);
    UseConfiguredStack();
    CallRecord call = NewCall("FT_Read", handle);
    call.arguments = Argument("want", toRead);
    VirtualDevice* device = nullptr;
    FT_STATUS status = PrecheckHandle(call, device);
    if (status == FT_OK && (!buffer || !returned))
        status = kInvalidParameter;
    if (status == FT_OK)
        status = WaitForBytes(lock, handle, toRead);
    if (status == FT_OK) {
        uint8_t* bytes = static_cast<uint8_t*>(buffer);
        *returned = TakeReady(*DeviceOfHandle(handle), bytes, toRead, SimNow());
        call.results = Argument("got", *returned) + DataText(bytes, *returned);
    }
    return Finish(call, status);
}

FT_STATUS D2XX_API FT_Write(FT_HANDLE handle, void* buffer, uint32_t toWrite, uint32_t* written) {
    std::lock_guard<std::mutex> lock(simMutex);
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    CallRecord call = NewCall("FT_Write", handle);
    call.arguments = Argument("size", toWrite) + DataText(bytes, toWrite);
    VirtualDevice* device = nullptr;
    FT_STATUS status = PrecheckHandle(call, device);
    if (status == FT_OK && ((!bytes && toWrite > 0) || !written))
        status = kInvalidParameter;
    if (status == FT_OK) {
        if (!Transmit(*device, sim->deviceConfigs[static_cast<size_t>(device->index)], bytes,
                      toWrite, SimNow(), call.notes))
            Vanish();
        *written = toWrite;
        call.results = Argument("written", toWrite);
    }
    return Finish(call, status);
}

FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    return SettingsCall(NewCall("FT_SetBaudRate", handle, Argument("baud", baud)),
                        [&](VirtualDevice& device) { device.settings.baud = baud; });
}

FT_STATUS D2XX_API FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                             uint8_t stopBits, uint8_t parity) {
    std::string arguments = Argument("bits", wordLength) + Argument("stop", stopBits) +
                            Argument("parity", parity);
    return SettingsCall(NewCall("FT_SetDataCharacteristics", handle, arguments),
                        [&](VirtualDevice& device) {
                            device.settings.wordLength = wordLength;
                            device.settings.stopBits = stopBits;
                            device.settings.parity = parity;
                        });
}

FT_STATUS D2XX_API FT_SetTimeouts(FT_HANDLE handle, uint32_t readMs, uint32_t writeMs) {
    std::string arguments = Argument("read", readMs) + Argument("write", writeMs);
    return SettingsCall(NewCall("FT_SetTimeouts", handle, arguments), [&](VirtualDevice& device) {
        device.settings.readTimeoutMs = readMs;
        device.settings.writeTimeoutMs = writeMs;
    });
}

FT_STATUS D2XX_API FT_SetFlowControl(FT_HANDLE handle, uint16_t mode, uint8_t xon, uint8_t xoff) {
    std::string arguments = Argument("mode", mode) + Argument("xon", xon) + Argument("xoff", xoff);
    return SettingsCall(NewCall("FT_SetFlowControl", handle, arguments), [&](VirtualDevice& device) {
        device.settings.flowControl = mode;
        device.settings.xon = xon;
        device.settings.xoff = xoff;
    });
}

FT_STATUS D2XX_API FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
    std::lock_guard<std::mutex> lock(simMutex);
    UseConfiguredStack();
    if (VirtualClock())
        sim->virtualNow += std::chrono::microseconds(sim->config.virtualClockUs);
    CallRecord call = NewCall("FT_GetQueueStatus", handle);
    VirtualDevice* device = nullptr;
    FT_STATUS status = PrecheckHandle(call, device);
    if (status == FT_OK && !rxBytes)
        status = kInvalidParameter;
    if (status == FT_OK) {
        *rxBytes = ReadyCount(*device, SimNow());
        call.results = Argument("rx", *rxBytes);
    }
    return Finish(call, status);
}

FT_STATUS D2XX_API FT_Purge(FT_HANDLE handle, uint32_t mask) {
    // Written bytes reach the device at once, so there is never transmit data to discard.
    return SettingsCall(NewCall("FT_Purge", handle, Argument("mask", mask)),
                        [&](VirtualDevice& device) {
                            if (mask & FT_PURGE_RX)
                                PurgeReceived(device);
                        });
}

FT_STATUS D2XX_API FT_SetDtr(FT_HANDLE handle) { return LineCall("FT_SetDtr", handle, true, true); }
FT_STATUS D2XX_API FT_ClrDtr(FT_HANDLE handle) { return LineCall("FT_ClrDtr", handle, true, false); }
FT_STATUS D2XX_API FT_SetRts(FT_HANDLE handle) { return LineCall("FT_SetRts", handle, false, true); }
FT_STATUS D2XX_API FT_ClrRts(FT_HANDLE handle) { return LineCall("FT_ClrRts", handle, false, false); }

FT_STATUS D2XX_API FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) {
    std::lock_guard<std::mutex> lock(simMutex);
    CallRecord call = NewCall("FT_SetLatencyTimer", handle, Argument("ms", milliseconds));
    VirtualDevice* device = nullptr;
    FT_STATUS status = PrecheckHandle(call, device);
    if (status == FT_OK && milliseconds < kMinLatencyMs)
        status = kInvalidParameter;
    if (status == FT_OK)
        device->chip.latencyMs = milliseconds;
    return Finish(call, status);
}

// The error character has no effect: the line never has parity errors.
FT_STATUS D2XX_API FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventEnabled,
                               uint8_t errorChar, uint8_t errorEnabled) {
    std::string arguments = Argument("event", eventChar) + Argument("eventOn", eventEnabled) +
                            Argument("error", errorChar) + Argument("errorOn", errorEnabled);
    return SettingsCall(NewCall("FT_SetChars", handle, arguments), [&](VirtualDevice& device) {
        device.chip.eventChar = eventChar;
        device.chip.eventEnabled = eventEnabled != 0;
    });
}

} // extern "C"

// Every entry point of the list, defined here with the type the program binds it as.
#define SIM_DEFINES(name, type) static_assert(std::is_same_v<decltype(&name), type>);
D2XX_REQUIRED_ENTRIES(SIM_DEFINES)
D2XX_OPTIONAL_ENTRIES(SIM_DEFINES)
#undef SIM_DEFINES
