// A D2XX look-alike that lacks FT_ClrRts, the last entry point in binding order. When it is
// released it leaves a file named "partial-ftd2xx-released" in the working directory.
#include <cstdio>

#include "link/d2xx.h"

namespace {
struct ReleaseMarker {
    ~ReleaseMarker() {
        if (std::FILE* file = std::fopen("partial-ftd2xx-released", "w"))
            std::fclose(file);
    }
} releaseMarker;
} // namespace

extern "C" {
FT_STATUS D2XX_API FT_CreateDeviceInfoList(uint32_t*) {
    return FT_IO_ERROR;
}
FT_STATUS D2XX_API FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE*, uint32_t*) {
    return FT_IO_ERROR;
}
FT_STATUS D2XX_API FT_Open(int, FT_HANDLE*) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS D2XX_API FT_Close(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_Read(FT_HANDLE, void*, uint32_t, uint32_t*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_Write(FT_HANDLE, void*, uint32_t, uint32_t*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE, uint32_t) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_SetTimeouts(FT_HANDLE, uint32_t, uint32_t) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_SetFlowControl(FT_HANDLE, uint16_t, uint8_t, uint8_t) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_GetQueueStatus(FT_HANDLE, uint32_t*) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_Purge(FT_HANDLE, uint32_t) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_SetDtr(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_ClrDtr(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}
FT_STATUS D2XX_API FT_SetRts(FT_HANDLE) {
    return FT_INVALID_HANDLE;
}
}
