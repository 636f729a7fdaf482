#include "link/driver.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"

DriverTable driver{};
DeviceList deviceList{};

namespace {
template <typename Entry> bool BindEntry(void* module, const char* name, Entry& entry) {
    entry = reinterpret_cast<Entry>(FindLibrarySymbol(module, name));
    return entry != nullptr;
}

// Every required entry, in binding order; false as soon as one is missing.
bool BindAllEntries(void* module, DriverTable& table) {
#define D2XX_BIND(name, type) BindEntry(module, #name, table.name) &&
    return D2XX_REQUIRED_ENTRIES(D2XX_BIND) true;
#undef D2XX_BIND
}

void BindOptionalEntries(void* module, DriverTable& table) {
#define D2XX_BIND(name, type) BindEntry(module, #name, table.name);
    D2XX_OPTIONAL_ENTRIES(D2XX_BIND)
#undef D2XX_BIND
}

// Grows the arrays to hold `count` devices. They are replaced only when too small, so that
// repeated enumerations do not pile up memory, and the handles already opened are kept.
// Nothing enumerates while an upload runs.
bool ReserveDevices(uint32_t count) {
    if (count <= deviceList.capacity)
        return true;
    auto* nodes = new (std::nothrow) FT_DEVICE_LIST_INFO_NODE[count]();
    auto* handles = new (std::nothrow) std::atomic<FT_HANDLE>[count]();
    if (!nodes || !handles) {
        delete[] nodes;
        delete[] handles;
        return false;
    }
    for (uint32_t i = 0; i < deviceList.capacity; ++i)
        handles[i].store(deviceList.handles[i].load());
    delete[] deviceList.nodes;
    delete[] deviceList.handles;
    deviceList.nodes = nodes;
    deviceList.handles = handles;
    deviceList.capacity = count;
    return true;
}

// A library may fill all 64 description bytes (all 16 serial number bytes); the texts must
// still end inside the node.
void TerminateTexts(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        FT_DEVICE_LIST_INFO_NODE& node = deviceList.nodes[i];
        node.Description[sizeof node.Description - 1] = '\0';
        node.SerialNumber[sizeof node.SerialNumber - 1] = '\0';
    }
}
} // namespace

bool LoadDriver(const char* libraryName) {
    driver = DriverTable{};
    void* module = LoadSharedLibrary(libraryName ? libraryName : driverLibraryName);
    if (!module)
        return false;
    DriverTable bound{};
    bound.module = module;
    if (!BindAllEntries(module, bound)) {
        ReleaseSharedLibrary(module);
        return false;
    }
    BindOptionalEntries(module, bound);
    driver = bound;
    return true;
}

uint32_t EnumerateDevices() {
    deviceList.count = 0;
    uint32_t count = 0;
    if (driver.FT_CreateDeviceInfoList(&count) != FT_OK || !ReserveDevices(count))
        return 0;
    uint32_t listed = count;
    if (driver.FT_GetDeviceInfoList(deviceList.nodes, &listed) != FT_OK)
        return 0;
    deviceList.count = std::min(listed, count);
    TerminateTexts(deviceList.count);
    return deviceList.count;
}

const char* DeviceDescription(uint32_t index) {
    return index < deviceList.count ? deviceList.nodes[index].Description : "";
}

const char* DeviceSerialNumber(uint32_t index) {
    return index < deviceList.count ? deviceList.nodes[index].SerialNumber : "";
}
