#pragma once
// Loads the virtual device library by name, after setting its environment, and binds its
// 16 entry points.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "link/d2xx.h"

struct LoadedSim {
    void* module = nullptr;
#define SIM_ENTRY(name, type) type name = nullptr;
    D2XX_REQUIRED_ENTRIES(SIM_ENTRY)
#undef SIM_ENTRY
};

using SimEnvironment = std::map<std::string, std::string>;

// Clears every KARVEX_SIM_ variable the virtual device reads.
void ClearSimVariables();

// Clears every KARVEX_SIM_ variable, sets `environment`, loads and binds. False if the
// library or any entry point is missing.
bool LoadSim(LoadedSim& sim, const SimEnvironment& environment);
void UnloadSim(LoadedSim& sim);

// Opens device `index` at the bootloader's settings with both lines asserted.
FT_HANDLE OpenForBootloader(const LoadedSim& sim, int index = 0);
// Writes `bytes`; the status.
FT_STATUS WriteBytes(const LoadedSim& sim, FT_HANDLE handle, std::vector<uint8_t> bytes);
// Reads up to `count` bytes (waiting up to the read time-out) as a string.
std::string ReadText(const LoadedSim& sim, FT_HANDLE handle, uint32_t count);
// A data block frame for `address` with `data`, checksum included.
std::vector<uint8_t> BlockFrame(uint32_t address, const std::vector<uint8_t>& data);
// Whole file content, empty if missing.
std::vector<uint8_t> FileBytes(const std::string& path);
std::vector<std::string> FileLines(const std::string& path);
