#include "tests/link/fake_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/driver.h"

FakeDriver fakeDriver;

namespace {
using Guard = std::lock_guard<std::recursive_mutex>;

FT_HANDLE NewHandle() {
    return reinterpret_cast<FT_HANDLE>(uintptr_t(++fakeDriver.handlesIssued));
}

void Log(const std::string& call) {
    fakeDriver.calls.push_back(call);
}

// The status a call gets before it does any work: scripted failure, vanished device.
bool Refused(const char* name, FT_STATUS& status) {
    if (fakeDriver.unplugged) {
        status = std::string(name) == "Open" ? FT_DEVICE_NOT_FOUND : FT_IO_ERROR;
        return true;
    }
    auto scripted = fakeDriver.failing.find(name);
    if (scripted == fakeDriver.failing.end())
        return false;
    status = scripted->second.status;
    if (scripted->second.times > 0 && --scripted->second.times == 0)
        fakeDriver.failing.erase(scripted);
    return true;
}

// Index of the device open through `handle`, -1 if none.
int OwnerOf(FT_HANDLE handle) {
    auto& open = fakeDriver.openHandle;
    auto found = std::find(open.begin(), open.end(), handle);
    return handle && found != open.end() ? int(found - open.begin()) : -1;
}

// Common prologue of a call on a handle: logs it, then refuses it or finds its device.
FT_STATUS Begin(const char* name, FT_HANDLE handle, const std::string& args, int& device) {
    Log(std::string(name) + " " + HandleName(handle) + args);
    FT_STATUS status = FT_OK;
    if (Refused(name, status))
        return status;
    device = OwnerOf(handle);
    return device < 0 ? FT_INVALID_HANDLE : FT_OK;
}

FT_STATUS D2XX_API CreateDeviceInfoList(uint32_t* count) {
    Guard guard(fakeDriver.lock);
    Log("CreateDeviceInfoList");
    FT_STATUS status = fakeDriver.createListStatus;
    if (status == FT_OK && !Refused("CreateDeviceInfoList", status))
        *count = uint32_t(fakeDriver.descriptions.size());
    return status;
}

FT_STATUS D2XX_API GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, uint32_t* count) {
    Guard guard(fakeDriver.lock);
    Log("GetDeviceInfoList " + std::to_string(*count));
    FT_STATUS status = fakeDriver.getListStatus;
    if (status != FT_OK || Refused("GetDeviceInfoList", status))
        return status;
    uint32_t n = std::min(*count, uint32_t(fakeDriver.descriptions.size()));
    for (uint32_t i = 0; i < n; ++i) {
        nodes[i] = FT_DEVICE_LIST_INFO_NODE{};
        nodes[i].LocId = i + 1;
        std::strncpy(nodes[i].Description, fakeDriver.descriptions[i].c_str(),
                     sizeof nodes[i].Description);
        nodes[i].ftHandle = fakeDriver.openHandle[i];
    }
    *count = n;
    return FT_OK;
}

FT_STATUS D2XX_API Open(int index, FT_HANDLE* handle) {
    std::this_thread::yield(); // a real open takes a while: let other threads run meanwhile
    Guard guard(fakeDriver.lock);
    FT_STATUS status = FT_OK;
    if (Refused("Open", status)) {
        Log("Open " + std::to_string(index) + " refused");
        return status;
    }
    if (index < 0 || size_t(index) >= fakeDriver.openHandle.size()) {
        Log("Open " + std::to_string(index) + " not found");
        return FT_DEVICE_NOT_FOUND;
    }
    if (fakeDriver.openHandle[index]) {
        Log("Open " + std::to_string(index) + " already open");
        return FT_DEVICE_NOT_OPENED;
    }
    *handle = fakeDriver.openHandle[index] = NewHandle();
    Log("Open " + std::to_string(index) + " -> " + HandleName(*handle));
    return FT_OK;
}

FT_STATUS D2XX_API Close(FT_HANDLE handle) {
    if (fakeDriver.slowCloseIn > 0 && --fakeDriver.slowCloseIn == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Guard guard(fakeDriver.lock);
    int device = -1;
    FT_STATUS status = Begin("Close", handle, "", device);
    if (status == FT_OK)
        fakeDriver.openHandle[device] = nullptr;
    return status;
}

FT_STATUS D2XX_API Read(FT_HANDLE handle, void* buffer, uint32_t toRead, uint32_t* returned) {
    Guard guard(fakeDriver.lock);
    int device = -1;
    FT_STATUS status = Begin("Read", handle, " " + std::to_string(toRead), device);
    if (status != FT_OK)
        return status;
    uint32_t n = std::min(toRead, uint32_t(fakeDriver.pending.size()));
    bool lost = fakeDriver.emptyReads > 0;
    fakeDriver.emptyReads -= lost;
    if (!lost)
        std::copy_n(fakeDriver.pending.begin(), n, static_cast<uint8_t*>(buffer));
    fakeDriver.pending.erase(fakeDriver.pending.begin(), fakeDriver.pending.begin() + n);
    *returned = lost ? 0 : n;
    return FT_OK;
}

FT_STATUS D2XX_API Write(FT_HANDLE handle, void* buffer, uint32_t toWrite, uint32_t* written) {
    std::this_thread::sleep_for(std::chrono::milliseconds(fakeDriver.delayNextWriteMs.exchange(0)));
    Guard guard(fakeDriver.lock);
    fakeDriver.pollsSinceWrite = 0;
    int device = -1;
    FT_STATUS status = Begin("Write", handle, " " + std::to_string(toWrite), device);
    if (status != FT_OK)
        return status;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::vector<uint8_t> frame(bytes, bytes + toWrite);
    fakeDriver.frames.push_back({frame, fakeDriver.ticks});
    if (fakeDriver.respond) {
        std::string reply = fakeDriver.respond(frame);
        fakeDriver.pending.insert(fakeDriver.pending.end(), reply.begin(), reply.end());
    }
    *written = toWrite;
    return FT_OK;
}

FT_STATUS D2XX_API GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
    Guard guard(fakeDriver.lock);
    ++fakeDriver.pollsSinceWrite;
    ++fakeDriver.polls;
    FT_STATUS status = FT_OK;
    if (Refused("GetQueueStatus", status)) {
        if (fakeDriver.failedQueryCounts)
            *rxBytes = uint32_t(fakeDriver.pending.size());
        return status;
    }
    if (OwnerOf(handle) < 0)
        return FT_INVALID_HANDLE; // not logged: the receive thread polls without pause
    *rxBytes = uint32_t(fakeDriver.pending.size());
    return FT_OK;
}

FT_STATUS D2XX_API Purge(FT_HANDLE handle, uint32_t mask) {
    Guard guard(fakeDriver.lock);
    int device = -1;
    FT_STATUS status = Begin("Purge", handle, " " + std::to_string(mask), device);
    if (status == FT_OK && (mask & FT_PURGE_RX))
        fakeDriver.pending.clear();
    return status;
}

FT_STATUS Setting(const char* name, FT_HANDLE handle, const std::string& args) {
    Guard guard(fakeDriver.lock);
    int device = -1;
    return Begin(name, handle, args, device);
}

FT_STATUS D2XX_API SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    return Setting("SetBaudRate", handle, " " + std::to_string(baud));
}

FT_STATUS D2XX_API SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                          uint8_t parity) {
    return Setting("SetDataCharacteristics", handle,
                   " " + std::to_string(bits) + " " + std::to_string(stop) + " " +
                       std::to_string(parity));
}

FT_STATUS D2XX_API SetTimeouts(FT_HANDLE handle, uint32_t readMs, uint32_t writeMs) {
    return Setting("SetTimeouts", handle,
                   " " + std::to_string(readMs) + " " + std::to_string(writeMs));
}

FT_STATUS D2XX_API SetFlowControl(FT_HANDLE handle, uint16_t mode, uint8_t xon, uint8_t xoff) {
    return Setting("SetFlowControl", handle,
                   " " + std::to_string(mode) + " " + std::to_string(xon) + " " +
                       std::to_string(xoff));
}

FT_STATUS Line(const char* name, FT_HANDLE handle, std::vector<bool>& line, bool level) {
    Guard guard(fakeDriver.lock);
    int device = -1;
    FT_STATUS status = Begin(name, handle, "", device);
    if (status == FT_OK)
        line[size_t(device)] = level;
    return status;
}

FT_STATUS D2XX_API SetDtr(FT_HANDLE handle) {
    return Line("SetDtr", handle, fakeDriver.dtr, true);
}
FT_STATUS D2XX_API ClrDtr(FT_HANDLE handle) {
    return Line("ClrDtr", handle, fakeDriver.dtr, false);
}
FT_STATUS D2XX_API SetRts(FT_HANDLE handle) {
    return Line("SetRts", handle, fakeDriver.rts, true);
}
FT_STATUS D2XX_API ClrRts(FT_HANDLE handle) {
    return Line("ClrRts", handle, fakeDriver.rts, false);
}
} // namespace

std::string HandleName(FT_HANDLE handle) {
    return handle ? "h" + std::to_string(reinterpret_cast<uintptr_t>(handle)) : "null";
}

void InstallFakeDriver(std::vector<std::string> descriptions) {
    Guard guard(fakeDriver.lock);
    size_t n = descriptions.size();
    fakeDriver.descriptions = std::move(descriptions);
    fakeDriver.createListStatus = fakeDriver.getListStatus = FT_OK;
    fakeDriver.failing.clear();
    fakeDriver.calls.clear();
    fakeDriver.openHandle.assign(n, nullptr);
    fakeDriver.dtr.assign(n, false);
    fakeDriver.rts.assign(n, false);
    fakeDriver.pending.clear();
    fakeDriver.frames.clear();
    fakeDriver.respond = nullptr;
    fakeDriver.ticks = 0;
    fakeDriver.unplugged = false;
    fakeDriver.handlesIssued = 0;
    fakeDriver.emptyReads = 0;
    fakeDriver.failedQueryCounts = false;
    fakeDriver.pollsSinceWrite = 0;
    fakeDriver.delayNextWriteMs = 0;
    fakeDriver.slowCloseIn = 0;
    driver = DriverTable{nullptr,
                         CreateDeviceInfoList,
                         GetDeviceInfoList,
                         Open,
                         Close,
                         Read,
                         Write,
                         SetBaudRate,
                         SetDataCharacteristics,
                         SetTimeouts,
                         SetFlowControl,
                         GetQueueStatus,
                         Purge,
                         SetDtr,
                         ClrDtr,
                         SetRts,
                         ClrRts,
                         nullptr, // as a library without the two optional entry points
                         nullptr};
}

std::vector<std::string> TakeCalls() {
    Guard guard(fakeDriver.lock);
    std::vector<std::string> calls;
    calls.swap(fakeDriver.calls);
    return calls;
}
