#pragma once
// Binding to the D2XX library and the list of attached devices.
#include <atomic>
#include <cstdint>

#include "link/d2xx.h"

// The loaded library and its 16 entry points, in binding order, then the 2 optional ones
// (empty when the library lacks them).
struct DriverTable {
    void* module;
#define D2XX_TABLE_ENTRY(name, type) type name;
    D2XX_REQUIRED_ENTRIES(D2XX_TABLE_ENTRY)
    D2XX_OPTIONAL_ENTRIES(D2XX_TABLE_ENTRY)
#undef D2XX_TABLE_ENTRY
};
extern DriverTable driver;

// Loads the D2XX library by name and binds all 16 entry points. A library that lacks any
// of them is released and counts as not loaded; on failure the table is empty. The two
// optional entry points are bound when the library has them.
bool LoadDriver(const char* libraryName = nullptr); // nullptr: the system's D2XX library name

// Devices as last reported by the library; arrays allocated by EnumerateDevices and kept
// for the whole run (replaced by larger ones only when a later enumeration finds more).
struct DeviceList {
    uint32_t count;
    FT_DEVICE_LIST_INFO_NODE* nodes;
    // One slot per device index, filled from FT_Open; atomic, as the receive thread reads a slot
    // while the window thread reopens the device.
    std::atomic<FT_HANDLE>* handles;
    uint32_t capacity; // devices the arrays hold
};
extern DeviceList deviceList;

// Fills deviceList; the number of devices, 0 on any failure.
uint32_t EnumerateDevices();
// Description of device `index` (NUL-terminated, at most 64 bytes); "" for a bad index.
const char* DeviceDescription(uint32_t index);
// Serial number of device `index` (at most 15 bytes); "" for a bad index or none.
const char* DeviceSerialNumber(uint32_t index);
