#include "cli/commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/many.h"
#include "cli/progress.h"
#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "link/serial.h"
#include "platform/platform.h"
#include "text/texts.h"
#include "upload/engine.h"

void Say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }
void Say(const texts::Text& text) { Say(texts::Localized(text)); }

// Fills FlashImage from the file and patches the jump unless told not to.
int ReadImage(const FlashOptions& options) {
    if (ReadHexFile(FlashImage, options.hexPath.c_str()) != hexReadOk) {
        Say(texts::hexReadError);
        return exitHexFile;
    }
    if (!options.noGoto)
        PatchResetVector(FlashImage);
    return exitUploaded;
}

bool BindDriver() {
    if (LoadDriver())
        return true;
    Say(texts::noDriver);
    return false;
}

namespace {
constexpr std::chrono::milliseconds startDelay{1000};

int ReportUsageError(const std::string& problem) {
    Say("karvex-flash: " + problem);
    Say(texts::usageLine);
    return exitUsage;
}

// The D2XX devices, then the serial ports, which need no library; the serial number last, so
// that scripts reading the columns before it still work.
int ListDevices() {
    uint32_t count = BindDriver() ? EnumerateDevices() : 0;
    for (uint32_t index = 0; index < count; ++index)
        std::printf("%u\t%s\t%s\n", static_cast<unsigned>(index),
                    LibraryTextAsUtf8(DeviceDescription(index)).c_str(),
                    LibraryTextAsUtf8(DeviceSerialNumber(index)).c_str());
    for (const SerialPortEntry& port : ListSerialPorts())
        std::printf("port\t%s\t%s\t%s\n", port.path.c_str(), port.description.c_str(),
                    port.serialNumber.c_str());
    return exitUploaded;
}

int DumpImage(const FlashOptions& options) {
    if (int code = ReadImage(options); code != exitUploaded)
        return code;
    if (!WriteWholeFile(options.dumpPath.c_str(), FlashImage, imageSize)) {
        Say(texts::Filled(texts::imageNotWritten, {options.dumpPath}));
        return exitDumpNotWritten;
    }
    return exitUploaded;
}

// Repeats of the waiting block already sent. 0 outside the transfer, and while the budget is
// still the handshake's (the quiet wait after a repeated handshake request).
uint32_t RepeatsOfBlock() {
    uint32_t budget = upload.retryBudget.load();
    auto left = static_cast<uint32_t>(std::max(upload.retriesLeft.load(), 0));
    if (upload.state.load() != phaseTransfer || budget != blockRetryBudget || left > budget)
        return 0;
    return budget - left;
}

void ShowUploadProgress() {
    ShowProgress(upload.offset, RepeatsOfBlock());
}

// The receive thread reports the end before it releases the lines and closes the device;
// the process must not end under it.
int ReportEnd(const texts::Text& message, int code) {
    WaitForReceiveThread();
    ShowUploadProgress(); // the last blocks may have gone since this tick's redraw
    EndProgress();
    Say(message);
    return code;
}

// Ends an interrupted upload as a spent retry budget would: the receive thread releases the
// lines and closes the device, as at every end.
void AbandonUpload() {
    AbortUpload();
    WaitForReceiveThread();
    upload.noResponse.store(0);
    upload.done.store(0);
}

// The status timer's work, one tick every tickPeriod, until the upload has ended.
int FollowUpload(ProgressStyle style) {
    BeginProgress(style);
    ShowUploadProgress();
    for (;;) {
        std::this_thread::sleep_for(tickPeriod);
        TickCountdown();
        ShowUploadProgress();
        if (upload.noResponse.exchange(0))
            return ReportEnd(upload.deviceGone.load() ? texts::deviceDisconnected
                                                      : texts::noResponse,
                             exitNoResponse);
        if (upload.done.exchange(0))
            return ReportEnd(texts::finished, exitUploaded);
        if (InterruptionRequested()) {
            AbandonUpload();
            return ReportEnd(texts::interrupted, exitInterrupted);
        }
    }
}

// The start timer's second; false when the program was interrupted meanwhile.
bool WaitForStart() {
    for (std::chrono::milliseconds waited{0}; waited < startDelay; waited += tickPeriod) {
        std::this_thread::sleep_for(tickPeriod);
        if (InterruptionRequested())
            return false;
    }
    return true;
}

// From the open device to the end: the start timer's second, the handshake, the lines. An
// interruption before the handshake finds the lines released since the open.
int RunUpload(int32_t device, const FlashOptions& options) {
    if (!WaitForStart()) {
        driver.FT_Close(DeviceHandle(device));
        Say(texts::interrupted);
        return exitInterrupted;
    }
    StartUpload();
    SetControlLines(device, true);
    bool bar = !options.quiet && StandardErrorIsTerminal();
    return FollowUpload(options.progressLines ? ProgressStyle::lines
                        : bar                 ? ProgressStyle::bar
                                              : ProgressStyle::none);
}

// The one FTDI chip's port for --port auto; "" when there is none or more than one, said.
std::string FindFtdiPort() {
    std::vector<SerialPortEntry> found;
    for (const SerialPortEntry& port : ListSerialPorts()) {
        if (port.usbVendor == ftdiVendor)
            found.push_back(port);
    }
    if (found.size() == 1)
        return found[0].path;
    Say(found.empty() ? texts::noFtdiPort : texts::severalFtdiPorts);
    for (const SerialPortEntry& port : found)
        Say("  " + port.path + "\t" + port.description);
    return "";
}

int UploadThroughPort(const FlashOptions& options) {
    std::string port = options.port == "auto" ? FindFtdiPort() : options.port;
    if (port.empty())
        return exitNoDevice;
    LoadSerialDriver(port.c_str());
    EnumerateDevices();
    if (!OpenDeviceForUpload(0)) {
        Say(texts::Filled(texts::portNotOpened, {port, SerialFailure()}));
        return exitOpenFailed;
    }
    if (SerialLinesMissing())
        Say("karvex-flash: " + texts::Filled(texts::noControlLines, {port}));
    int code = RunUpload(0, options);
    ReleaseSerialPort();
    return code;
}

int UploadImage(const FlashOptions& options) {
    CatchInterruptions();
    // The file first, so that a wrong path or a bad file is reported as such whatever the
    // driver's state.
    if (int code = ReadImage(options); code != exitUploaded)
        return code;
    if (!options.port.empty())
        return UploadThroughPort(options);
    if (!BindDriver())
        return exitNoDriver;
    uint32_t count = EnumerateDevices();
    if (static_cast<uint32_t>(options.device) >= count) {
        Say(texts::selectDevice);
        return exitNoDevice;
    }
    if (!OpenDeviceForUpload(options.device)) {
        Say(texts::Filled(texts::deviceNotOpened,
                          {std::to_string(options.device), std::to_string(lastOpenStatus)}));
        return exitOpenFailed;
    }
    return RunUpload(options.device, options);
}
} // namespace

int RunKarvexFlash(const std::vector<std::string>& arguments) {
    FlashOptions options;
    std::string problem;
    if (!ParseFlashOptions(arguments, options, problem))
        return ReportUsageError(problem);
    switch (options.mode) {
    case FlashMode::help:
        std::fputs(texts::Localized(texts::helpText), stdout);
        return exitUploaded;
    case FlashMode::version:
        std::puts(KARVEX_VERSION);
        return exitUploaded;
    case FlashMode::list:
        return ListDevices();
    case FlashMode::dump:
        return DumpImage(options);
    case FlashMode::all:
        return UploadToAll(options);
    case FlashMode::wait:
        return RunStation(options);
    case FlashMode::upload:
        break;
    }
    return UploadImage(options);
}
