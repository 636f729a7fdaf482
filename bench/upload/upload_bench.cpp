// Whole uploads, each made as karvex-flash makes it (device opened with its lines released, the
// upload started, then the lines raised) and watched as its status timer watches it: a tick
// every period by the clock. Spies on the driver table's FT_Write, FT_Read and FT_Close stamp
// the upload's course, so the figures mean the same for any engine that drives the table.
// Each line printed is "what<TAB>figure", the fastest run's and the slowest's where several.
// Without arguments, against the virtual device (run with it on the library path):
//   the engine's cost per block beyond the bare exchange of the same frames (no latency);
//   wire timing at 500,000 baud and the chip's latency without the latency settings, the time
//   from the handshake reply to the device closed against the floor.
// --ticks US: the chip's latency with the settings applied, the status timer ticking every US.
// --port PATH: per block through the virtual library and through the serial driver on PATH,
//   a pseudo-terminal with the same bootloader behind it (no latency).
// --port-time PATH: one upload through PATH, its whole time.
// --port-quiet US PATH: through PATH, whose device holds replies 1 ms, ticking every US: block 0
//   to block 1, and the last acknowledgement to the program's end.
// --port-cpu PATH: the upload through PATH, whose device holds its replies, with the serial
//   driver's queue query polling at once (as before it waited for input) and waiting.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "link/serial.h"
#include "platform/platform.h"
#include "upload/engine.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
constexpr int blocks = 509;
constexpr double lineBitsPerByte = 10, baud = 500000;
constexpr unsigned blockWriteUs = 2000;

constexpr microseconds karvexFlashTicks{10000}; // its status timer's period

// Points of an upload's course, in nanoseconds of Clock; 0 until reached.
enum Mark { started, firstReply, block0Sent, block1Sent, lastAck, closed, ended, markCount };
std::array<std::atomic<int64_t>, markCount> marks;
using Marks = std::array<int64_t, markCount>;

// The loaded library's entries, which the spies pass the calls on to.
DriverTable passedOn;

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void MarkOnce(Mark mark, int64_t at) {
    int64_t unset = 0;
    marks[mark].compare_exchange_strong(unset, at);
}

// A block frame is 00 addrHi addrLo count data... checksum.
FT_STATUS D2XX_API SpyWrite(FT_HANDLE handle, void* data, uint32_t size, uint32_t* written) {
    const auto* frame = static_cast<const uint8_t*>(data);
    if (size > 3) {
        int address = frame[1] << 8 | frame[2];
        if (address == 0)
            MarkOnce(block0Sent, Now());
        if (address == blockSize)
            MarkOnce(block1Sent, Now());
    }
    return passedOn.FT_Write(handle, data, size, written);
}

FT_STATUS D2XX_API SpyRead(FT_HANDLE handle, void* data, uint32_t size, uint32_t* got) {
    FT_STATUS status = passedOn.FT_Read(handle, data, size, got);
    uint32_t count = status == FT_OK ? std::min(*got, size) : 0;
    if (count == 0)
        return status;
    int64_t at = Now();
    MarkOnce(firstReply, at);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (std::find(bytes, bytes + count, replyK) != bytes + count)
        marks[lastAck].store(at);
    return status;
}

FT_STATUS D2XX_API SpyClose(FT_HANDLE handle) {
    FT_STATUS status = passedOn.FT_Close(handle);
    marks[closed].store(Now());
    return status;
}

void InstallSpies() {
    passedOn = driver;
    driver.FT_Write = SpyWrite;
    driver.FT_Read = SpyRead;
    driver.FT_Close = SpyClose;
}

// Loads the virtual device afresh with wire timing and the chip's latency on or off;
// `library` nullptr: the one with every entry point.
bool LoadDevice(bool wire, bool chipLatency, unsigned writeUs, const char* library = nullptr) {
    if (driver.module) {
        ReleaseSharedLibrary(driver.module);
        driver = DriverTable{};
    }
    SetEnvironmentVariableUtf8("KARVEX_SIM_WIRE", wire ? "1" : "0");
    SetEnvironmentVariableUtf8("KARVEX_SIM_CHIP_LATENCY", chipLatency ? "1" : "0");
    SetEnvironmentVariableUtf8("KARVEX_SIM_BLOCK_WRITE_US", std::to_string(writeUs).c_str());
    if (!LoadDriver(library))
        return false;
    InstallSpies();
    return EnumerateDevices() > 0;
}

bool LoadPort(const char* path) {
    LoadSerialDriver(path);
    InstallSpies();
    return EnumerateDevices() == 1;
}

// The frames' line time at 500,000 baud plus the device's flash writes.
double FloorSeconds(unsigned writeUs) {
    double line = (blocks * (blockSize + 5) + 1) * lineBitsPerByte / baud;
    return line + blocks * writeUs * 1e-6;
}

void ClearMarks() {
    for (auto& mark : marks)
        mark.store(0);
}

Marks TakeMarks() {
    Marks taken{};
    std::transform(marks.begin(), marks.end(), taken.begin(),
                   [](auto& mark) { return mark.load(); });
    return taken;
}

// Ticks until the upload has ended, then waits for the receive thread as karvex-flash does
// before it reports and exits. True when the upload ended done.
bool FollowUpload(microseconds period) {
    auto nextTick = Clock::now() + period;
    while (!upload.done.load() && !upload.noResponse.load()) {
        std::this_thread::sleep_until(nextTick);
        for (; Clock::now() >= nextTick; nextTick += period)
            TickCountdown();
    }
    WaitForReceiveThread();
    marks[ended].store(Now());
    return upload.done.load() != 0;
}

bool Upload(microseconds period) {
    ClearMarks();
    upload.done = 0;
    upload.noResponse = 0;
    if (!OpenDeviceForUpload(0))
        return false;
    marks[started].store(Now());
    StartUpload();
    SetControlLines(0, true);
    return FollowUpload(period);
}

void Exchange(const uint8_t* frame, uint32_t length, uint32_t replyLength) {
    uint8_t reply[frameBufferSize];
    uint32_t transferred = 0, waiting = 0;
    driver.FT_Write(DeviceHandle(0), const_cast<uint8_t*>(frame), length, &transferred);
    while (driver.FT_GetQueueStatus(DeviceHandle(0), &waiting) == FT_OK && waiting < replyLength) {
    }
    driver.FT_Read(DeviceHandle(0), reply, waiting, &transferred);
}

// The same frames and replies as an upload, written and polled directly.
bool BareExchange() {
    ClearMarks();
    if (!OpenDevice(0) || !SetControlLines(0, true))
        return false;
    uint8_t frame[frameBufferSize];
    driver.FT_Purge(DeviceHandle(0), FT_PURGE_RX | FT_PURGE_TX);
    Exchange(frame, BuildHandshakeRequest(frame), handshakeReplyLength);
    for (int block = 0; block < blocks; ++block)
        Exchange(frame, BuildBlockFrame(FlashImage, block * blockSize, frame), blockReplyLength);
    SetControlLines(0, false);
    driver.FT_Close(DeviceHandle(0));
    return true;
}

// The marks of `runs` runs; none when one failed.
std::vector<Marks> Runs(int runs, const std::function<bool()>& run) {
    std::vector<Marks> taken;
    for (int i = 0; i < runs; ++i) {
        if (!run())
            return {};
        taken.push_back(TakeMarks());
    }
    return taken;
}

struct Spread {
    double best = 1e9, worst = 0;
};

Spread SecondsBetween(const std::vector<Marks>& runs, Mark from, Mark to) {
    Spread spread;
    for (const Marks& run : runs) {
        double seconds = double(run[to] - run[from]) * 1e-9;
        spread.best = std::min(spread.best, seconds);
        spread.worst = std::max(spread.worst, seconds);
    }
    return spread;
}

void PrintMilliseconds(const std::string& what, Spread spread) {
    std::printf("%s\t%.1f ms, slowest %.1f ms\n", what.c_str(), spread.best * 1e3,
                spread.worst * 1e3);
}

// The time from the handshake reply to the device closed against the floor.
void PrintAgainstFloor(const std::string& what, Spread spread, double floor) {
    std::printf("%s\t%.3f s, %.3f x floor, slowest %.3f x\n", what.c_str(), spread.best,
                spread.best / floor, spread.worst / floor);
}

// From block 1 to the last acknowledgement: the exchanges alone, whatever the engine waits
// after the handshake and block 0.
Spread SecondsPerBlock(const std::vector<Marks>& runs) {
    Spread spread = SecondsBetween(runs, block1Sent, lastAck);
    return {spread.best / (blocks - 1), spread.worst / (blocks - 1)};
}

void PrintPerBlock(const std::string& what, const std::vector<Marks>& runs) {
    Spread spread = SecondsPerBlock(runs);
    std::printf("%s\t%.1f us, slowest %.1f us\n", what.c_str(), spread.best * 1e6,
                spread.worst * 1e6);
}

bool BenchOverhead() {
    if (!LoadDevice(false, false, 0))
        return false;
    auto bare = Runs(20, BareExchange);
    auto engine = Runs(20, [] { return Upload(karvexFlashTicks); });
    if (bare.empty() || engine.empty())
        return false;
    double bareBlock = SecondsPerBlock(bare).best, engineBlock = SecondsPerBlock(engine).best;
    std::printf("no latency, per block from block 1 to the last acknowledgement\tupload %.2f us, "
                "bare exchange %.2f us, engine %.2f us\n",
                engineBlock * 1e6, bareBlock * 1e6, (engineBlock - bareBlock) * 1e6);
    return true;
}

bool BenchWireTiming(unsigned writeUs) {
    if (!LoadDevice(true, false, writeUs))
        return false;
    auto runs = Runs(2, [] { return Upload(karvexFlashTicks); });
    if (runs.empty())
        return false;
    PrintAgainstFloor("wire timing, " + std::to_string(writeUs) +
                          " us per block write: handshake reply to closed",
                      SecondsBetween(runs, firstReply, closed), FloorSeconds(writeUs));
    return true;
}

// The chip holding replies back (16 ms timer, no event character) on top of wire timing.
bool BenchWithoutSettings() {
    struct Case {
        const char* name;
        const char* library;
        bool emptied; // the table's two optional entries emptied: the upload as before them
    };
    const Case cases[] = {{"latency settings not applied", nullptr, true},
                          {"library without the latency settings", BASIC_LIBRARY_NAME, false}};
    for (const Case& c : cases) {
        if (!LoadDevice(true, true, blockWriteUs, c.library))
            return false;
        if (c.emptied) {
            driver.FT_SetLatencyTimer = nullptr;
            driver.FT_SetChars = nullptr;
        }
        auto runs = Runs(1, [] { return Upload(karvexFlashTicks); });
        if (runs.empty())
            return false;
        PrintAgainstFloor(std::string("chip latency model, ") + c.name +
                              ": handshake reply to closed",
                          SecondsBetween(runs, firstReply, closed), FloorSeconds(blockWriteUs));
    }
    return true;
}

std::string TicksName(microseconds period) {
    char name[32];
    std::snprintf(name, sizeof name, "%g ms ticks", double(period.count()) / 1000);
    return name;
}

// The chip's latency model at its defaults with the settings applied.
bool BenchTicks(microseconds period) {
    if (!LoadDevice(true, true, blockWriteUs))
        return false;
    auto runs = Runs(5, [&] { return Upload(period); });
    if (runs.empty())
        return false;
    std::string what = "D2XX, " + TicksName(period) + ": ";
    PrintAgainstFloor(what + "handshake reply to closed (target 1.05 x)",
                      SecondsBetween(runs, firstReply, closed), FloorSeconds(blockWriteUs));
    PrintMilliseconds(what + "handshake reply to block 0",
                      SecondsBetween(runs, firstReply, block0Sent));
    PrintMilliseconds(what + "block 0 to block 1", SecondsBetween(runs, block0Sent, block1Sent));
    PrintPerBlock(what + "per block from block 1 to the last acknowledgement", runs);
    PrintMilliseconds(what + "last acknowledgement to closed",
                      SecondsBetween(runs, lastAck, closed));
    return true;
}

// Runs `bench` on the serial driver for PATH, the port released after it.
bool OnPort(const char* path, const std::function<bool()>& bench) {
    bool ok = LoadPort(path) && bench();
    ReleaseSerialPort();
    return ok;
}

bool PrintPortTime() {
    auto runs = Runs(1, [] { return Upload(karvexFlashTicks); });
    if (!runs.empty())
        std::printf("%.3f s\n", SecondsBetween(runs, started, ended).best);
    return !runs.empty();
}

bool PrintPortQuiet(microseconds period) {
    auto runs = Runs(3, [&] { return Upload(period); });
    if (runs.empty())
        return false;
    std::string what = "serial, " + TicksName(period) + ": ";
    PrintMilliseconds(what + "block 0 to block 1 (target 50 ms)",
                      SecondsBetween(runs, block0Sent, block1Sent));
    PrintMilliseconds(what + "last acknowledgement to exit (target 50 ms)",
                      SecondsBetween(runs, lastAck, ended));
    return true;
}

bool PrintPortCpu(uint32_t waitMs) {
    serialQueueWaitMs = waitMs;
    std::clock_t cpuStart = std::clock();
    auto runs = Runs(1, [] { return Upload(karvexFlashTicks); });
    double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (runs.empty())
        return false;
    double seconds = SecondsBetween(runs, started, ended).best;
    std::printf("queue query %s\t%.3f s, %.3f s of CPU, %.1f %% of a core\n",
                waitMs == 0 ? "polling at once (before)" : "waiting up to 1 ms (after)", seconds,
                cpu, cpu / seconds * 100);
    return true;
}

// Both ways in turn, twice, so that a change in the machine's load shows as a spread.
bool PrintPortCpuRounds() {
    return PrintPortCpu(0) && PrintPortCpu(1) && PrintPortCpu(0) && PrintPortCpu(1);
}

bool BenchSerialPort(const char* path) {
    auto uploadOnce = [] { return Upload(karvexFlashTicks); };
    if (!LoadDevice(false, false, 0))
        return false;
    auto library = Runs(20, uploadOnce);
    ReleaseSharedLibrary(driver.module);
    std::vector<Marks> port;
    auto uploadsThroughPort = [&] {
        port = Runs(20, uploadOnce);
        return !port.empty();
    };
    if (library.empty() || !OnPort(path, uploadsThroughPort))
        return false;
    double libraryBlock = SecondsPerBlock(library).best, portBlock = SecondsPerBlock(port).best;
    std::printf("per block from block 1 to the last acknowledgement\tvirtual D2XX library %.1f "
                "us; pseudo-terminal %.1f us, %.2f x\n",
                libraryBlock * 1e6, portBlock * 1e6, portBlock / libraryBlock);
    return true;
}

// One section, or without a mode those of the virtual device alone.
bool Bench(const std::string& mode, microseconds period, const char* path) {
    if (mode == "--ticks")
        return period.count() > 0 && BenchTicks(period);
    if (mode == "--port-quiet")
        return period.count() > 0 && OnPort(path, [&] { return PrintPortQuiet(period); });
    if (mode == "--port")
        return BenchSerialPort(path);
    if (mode == "--port-time")
        return OnPort(path, PrintPortTime);
    if (mode == "--port-cpu")
        return OnPort(path, PrintPortCpuRounds);
    return BenchOverhead() && BenchWireTiming(blockWriteUs) && BenchWireTiming(200) &&
           BenchWithoutSettings();
}
} // namespace

int main(int argc, char** argv) {
    for (uint32_t i = 0; i < imageSize; ++i)
        FlashImage[i] = uint8_t(i * 31 + 7);
    SetEnvironmentVariableUtf8("KARVEX_SIM_DEVICES", "KARVEX");
    microseconds period(argc >= 3 ? std::strtoul(argv[2], nullptr, 10) : 0);
    bool ok = Bench(argc >= 2 ? argv[1] : "", period, argv[argc - 1]);
    if (!ok)
        std::fprintf(stderr,
                     "upload_bench: the device could not be loaded or the upload did not finish\n");
    return ok ? 0 : 1;
}
