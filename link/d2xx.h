#pragma once
// The D2XX library's binary interface as this program uses it: types, the device
// information node, the 16 entry points and the 2 optional ones that tune the chip's receive
// latency, for the architecture being built.
#include <cstddef>
#include <cstdint>

#include "platform/calling.h"

using FT_STATUS = uint32_t;
using DWORD32 = uint32_t; // the library's DWORD and ULONG: 32 bits on every platform
using FT_HANDLE = void*;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
};

enum : uint32_t { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };

struct FT_DEVICE_LIST_INFO_NODE {
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32);
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == (sizeof(void*) == 8 ? 104 : 100));

extern "C" {
using FT_CreateDeviceInfoListFn = FT_STATUS(D2XX_API*)(uint32_t* numDevs);
using FT_GetDeviceInfoListFn = FT_STATUS(D2XX_API*)(FT_DEVICE_LIST_INFO_NODE* dest,
                                                    uint32_t* numDevs);
using FT_OpenFn = FT_STATUS(D2XX_API*)(int index, FT_HANDLE* handle);
using FT_CloseFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle);
using FT_ReadFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, void* buffer, uint32_t toRead,
                                       uint32_t* returned);
using FT_WriteFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, void* buffer, uint32_t toWrite,
                                        uint32_t* written);
using FT_SetBaudRateFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint32_t baud);
using FT_SetDataCharacteristicsFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint8_t wordLength,
                                                         uint8_t stopBits, uint8_t parity);
using FT_SetTimeoutsFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint32_t readMs, uint32_t writeMs);
using FT_SetFlowControlFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint16_t mode, uint8_t xon,
                                                 uint8_t xoff);
using FT_GetQueueStatusFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint32_t* rxBytes);
using FT_PurgeFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint32_t mask);
using FT_LineFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle); // SetDtr, ClrDtr, SetRts, ClrRts
using FT_SetLatencyTimerFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint8_t milliseconds);
using FT_SetCharsFn = FT_STATUS(D2XX_API*)(FT_HANDLE handle, uint8_t eventChar,
                                           uint8_t eventEnabled, uint8_t errorChar,
                                           uint8_t errorEnabled);
}

// The one list of the entry points: X(name, pointer type) for each. The 16 every library has,
// in binding order...
#define D2XX_REQUIRED_ENTRIES(X)                                                                 \
    X(FT_CreateDeviceInfoList, FT_CreateDeviceInfoListFn)                                        \
    X(FT_GetDeviceInfoList, FT_GetDeviceInfoListFn)                                              \
    X(FT_Open, FT_OpenFn)                                                                        \
    X(FT_Close, FT_CloseFn)                                                                      \
    X(FT_Read, FT_ReadFn)                                                                        \
    X(FT_Write, FT_WriteFn)                                                                      \
    X(FT_SetBaudRate, FT_SetBaudRateFn)                                                          \
    X(FT_SetDataCharacteristics, FT_SetDataCharacteristicsFn)                                    \
    X(FT_SetTimeouts, FT_SetTimeoutsFn)                                                          \
    X(FT_SetFlowControl, FT_SetFlowControlFn)                                                    \
    X(FT_GetQueueStatus, FT_GetQueueStatusFn)                                                    \
    X(FT_Purge, FT_PurgeFn)                                                                      \
    X(FT_SetDtr, FT_LineFn)                                                                      \
    X(FT_ClrDtr, FT_LineFn)                                                                      \
    X(FT_SetRts, FT_LineFn)                                                                      \
    X(FT_ClrRts, FT_LineFn)
// ...and the 2 that tune the receive latency, which older libraries lack.
#define D2XX_OPTIONAL_ENTRIES(X)                                                                 \
    X(FT_SetLatencyTimer, FT_SetLatencyTimerFn)                                                  \
    X(FT_SetChars, FT_SetCharsFn)

#define D2XX_ENTRY_NAME(name, type) #name,
inline constexpr const char* d2xxRequiredNames[] = {D2XX_REQUIRED_ENTRIES(D2XX_ENTRY_NAME)};
inline constexpr const char* d2xxOptionalNames[] = {D2XX_OPTIONAL_ENTRIES(D2XX_ENTRY_NAME)};
#undef D2XX_ENTRY_NAME
