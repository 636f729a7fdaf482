#include "link/serial.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "link/driver.h"
#include "platform/platform.h"
#include "text/texts.h"

// The D2XX sequence closes and reopens the device around every switch of the lines. Done on
// a serial port, that would pulse the lines: the last close drops them (HUPCL) or leaves them
// for the next open to raise. So FT_Close only ends the handle and FT_Open hands out a new one,
// while the port itself stays open, settings and lines untouched, until ReleaseSerialPort (or
// the end of the process). Holding it also keeps the port ours between the upload's reopens.
// The first open of a port may still raise DTR and RTS for an instant on some systems: the
// kernel does that before the program can act, and OpenDevice releases them right after.

namespace {
constexpr FT_STATUS invalidParameter = 6;
} // namespace

uint32_t serialQueueWaitMs = 1;

namespace {
struct SerialDriver {
    std::mutex lock; // the window and receive threads call at once, as with the library
    std::string path;
    SerialPort port;
    SerialSettings settings;
    uintptr_t openHandle = 0; // 0: no handle open
    uintptr_t lastHandle = 0;
    bool linesMissing = false;
    std::string failure;
};
SerialDriver serial;

bool IsOpenHandle(FT_HANDLE handle) {
    return serial.openHandle != 0 && reinterpret_cast<uintptr_t>(handle) == serial.openHandle;
}

FT_STATUS Fail(FT_STATUS status) {
    serial.failure = LastSystemError();
    return status;
}

// Runs `call` on the port when `handle` is the open one.
template <typename Call> FT_STATUS OnPort(FT_HANDLE handle, Call call) {
    std::lock_guard<std::mutex> guard(serial.lock);
    if (!IsOpenHandle(handle))
        return FT_INVALID_HANDLE;
    return call(serial.port);
}

template <typename Change> FT_STATUS ChangeSettings(FT_HANDLE handle, Change change) {
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        SerialSettings settings = serial.settings;
        change(settings);
        switch (ConfigureSerialPort(port, settings)) {
        case PortSetup::done:
            serial.settings = settings;
            return FT_OK;
        case PortSetup::speedRefused:
            serial.failure = texts::Filled(texts::speedRefused, {std::to_string(settings.baud)});
            return FT_IO_ERROR;
        case PortSetup::failed:
            break;
        }
        return Fail(FT_IO_ERROR);
    });
}

FT_STATUS DriveLine(FT_HANDLE handle, SerialLine line, bool asserted) {
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        switch (SetSerialLine(port, line, asserted)) {
        case LineChange::done:
            return FT_OK;
        case LineChange::unsupported:
            serial.linesMissing = true;
            return FT_OK;
        case LineChange::failed:
            break;
        }
        return Fail(FT_IO_ERROR);
    });
}

FT_STATUS D2XX_API CreateList(uint32_t* count) {
    *count = 1;
    return FT_OK;
}

FT_STATUS D2XX_API GetList(FT_DEVICE_LIST_INFO_NODE* nodes, uint32_t* count) {
    nodes[0] = FT_DEVICE_LIST_INFO_NODE{};
    size_t length = std::min(serial.path.size(), sizeof nodes[0].Description - 1);
    std::memcpy(nodes[0].Description, serial.path.data(), length);
    *count = 1;
    return FT_OK;
}

FT_STATUS D2XX_API Open(int index, FT_HANDLE* handle) {
    std::lock_guard<std::mutex> guard(serial.lock);
    if (index != 0 || serial.port.gone)
        return FT_DEVICE_NOT_FOUND; // a port that went away is not opened again
    if (serial.openHandle != 0)
        return FT_DEVICE_NOT_OPENED; // one handle at a time, as the chip allows
    if (serial.port.handle == -1 && !OpenSerialPort(serial.path.c_str(), serial.port))
        return Fail(FT_DEVICE_NOT_OPENED);
    serial.openHandle = ++serial.lastHandle;
    *handle = reinterpret_cast<FT_HANDLE>(serial.openHandle);
    return FT_OK;
}

FT_STATUS D2XX_API Close(FT_HANDLE handle) {
    return OnPort(handle, [](SerialPort&) -> FT_STATUS {
        serial.openHandle = 0;
        return FT_OK;
    });
}

FT_STATUS D2XX_API Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        return ReadSerialPort(port, static_cast<uint8_t*>(buffer), size, *done) ? FT_OK
                                                                                : FT_IO_ERROR;
    });
}

FT_STATUS D2XX_API Write(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        return WriteSerialPort(port, static_cast<const uint8_t*>(buffer), size, *done)
                   ? FT_OK
                   : FT_IO_ERROR;
    });
}

FT_STATUS D2XX_API SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    return ChangeSettings(handle, [&](SerialSettings& settings) { settings.baud = baud; });
}

FT_STATUS D2XX_API SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                          uint8_t parity) {
    if (wordLength < 7 || wordLength > 8 || (stopBits != 0 && stopBits != 2) || parity > 2)
        return invalidParameter;
    return ChangeSettings(handle, [&](SerialSettings& settings) {
        settings.dataBits = wordLength;
        settings.twoStopBits = stopBits == 2;
        settings.parity = parity;
    });
}

FT_STATUS D2XX_API SetTimeouts(FT_HANDLE handle, uint32_t readMs, uint32_t writeMs) {
    return ChangeSettings(handle, [&](SerialSettings& settings) {
        settings.readTimeoutMs = readMs;
        settings.writeTimeoutMs = writeMs;
    });
}

// The port is always set up without flow control; no other mode is offered.
FT_STATUS D2XX_API SetFlowControl(FT_HANDLE handle, uint16_t mode, uint8_t, uint8_t) {
    if (mode != 0)
        return invalidParameter;
    return OnPort(handle, [](SerialPort&) -> FT_STATUS { return FT_OK; });
}

FT_STATUS D2XX_API GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        return SerialBytesWaiting(port, *waiting, serialQueueWaitMs) ? FT_OK : FT_IO_ERROR;
    });
}

FT_STATUS D2XX_API Purge(FT_HANDLE handle, uint32_t mask) {
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        return PurgeSerialPort(port, mask & FT_PURGE_RX, mask & FT_PURGE_TX) ? FT_OK : FT_IO_ERROR;
    });
}

// The system's driver keeps a timer of its own: 1 ms once the port took low latency, its
// default (16 ms for the FTDI chip's) otherwise. A timer asked for is granted when the port's
// is no longer.
FT_STATUS D2XX_API SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) {
    return OnPort(handle, [&](SerialPort& port) -> FT_STATUS {
        return port.lowLatency && milliseconds >= 1 ? FT_OK : FT_IO_ERROR;
    });
}

FT_STATUS D2XX_API SetDtr(FT_HANDLE handle) {
    return DriveLine(handle, SerialLine::dtr, true);
}
FT_STATUS D2XX_API ClrDtr(FT_HANDLE handle) {
    return DriveLine(handle, SerialLine::dtr, false);
}
FT_STATUS D2XX_API SetRts(FT_HANDLE handle) {
    return DriveLine(handle, SerialLine::rts, true);
}
FT_STATUS D2XX_API ClrRts(FT_HANDLE handle) {
    return DriveLine(handle, SerialLine::rts, false);
}
} // namespace

void LoadSerialDriver(const char* utf8Path) {
    ReleaseSerialPort();
    std::lock_guard<std::mutex> guard(serial.lock);
    serial.path = utf8Path;
    serial.settings = SerialSettings{};
    serial.openHandle = 0;
    serial.linesMissing = false;
    serial.failure.clear();
    driver = DriverTable{.module = nullptr,
                         .FT_CreateDeviceInfoList = CreateList,
                         .FT_GetDeviceInfoList = GetList,
                         .FT_Open = Open,
                         .FT_Close = Close,
                         .FT_Read = Read,
                         .FT_Write = Write,
                         .FT_SetBaudRate = SetBaudRate,
                         .FT_SetDataCharacteristics = SetDataCharacteristics,
                         .FT_SetTimeouts = SetTimeouts,
                         .FT_SetFlowControl = SetFlowControl,
                         .FT_GetQueueStatus = GetQueueStatus,
                         .FT_Purge = Purge,
                         .FT_SetDtr = SetDtr,
                         .FT_ClrDtr = ClrDtr,
                         .FT_SetRts = SetRts,
                         .FT_ClrRts = ClrRts,
                         .FT_SetLatencyTimer = SetLatencyTimer,
                         .FT_SetChars = nullptr};
}

std::string SerialFailure() {
    std::lock_guard<std::mutex> guard(serial.lock);
    return serial.failure;
}

bool SerialLinesMissing() {
    std::lock_guard<std::mutex> guard(serial.lock);
    return serial.linesMissing;
}

void ReleaseSerialPort() {
    std::lock_guard<std::mutex> guard(serial.lock);
    CloseSerialPort(serial.port);
    serial.openHandle = 0;
}
