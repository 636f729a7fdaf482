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
    FT_CreateDeviceInfoListFn CreateDeviceInfoList = nullptr;
    FT_GetDeviceInfoListFn GetDeviceInfoList = nullptr;
    FT_OpenFn Open = nullptr;
    FT_CloseFn Close = nullptr;
    FT_ReadFn Read = nullptr;
    FT_WriteFn Write = nullptr;
    FT_SetBaudRateFn SetBaudRate = nullptr;
    FT_SetDataCharacteristicsFn SetDataCharacteristics = nullptr;
    FT_SetTimeoutsFn SetTimeouts = nullptr;
    FT_SetFlowControlFn SetFlowControl = nullptr;
    FT_GetQueueStatusFn GetQueueStatus = nullptr;
    FT_PurgeFn Purge = nullptr;
    FT_LineFn SetDtr = nullptr;
    FT_LineFn ClrDtr = nullptr;
    FT_LineFn SetRts = nullptr;
    FT_LineFn ClrRts = nullptr;
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
