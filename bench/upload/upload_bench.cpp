// Whole uploads against the virtual device (found by name; run with it on the library path):
// (a) without latency, the engine's cost per block beyond the bare exchange of the same frames;
// (b) with the device's wire-timing model at 500,000 baud, the total time against its floor;
// (c) with the chip's receive latency modelled as well, at its defaults, the total time against
//     the same floor with the latency settings applied after every open and without them.
// With --port PATH instead: the upload without latency through the virtual library and through
// the serial driver on PATH, a pseudo-terminal with the same bootloader behind it. With
// --port-time PATH: one upload through PATH, its time. With --port-cpu PATH: the upload through
// PATH, whose device holds its replies, with the serial driver's queue query polling at once
// (as before it waited for input) and waiting: the time and the share of a core each took.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "link/serial.h"
#include "platform/platform.h"
#include "upload/engine.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int blocks = 509;
constexpr double lineBitsPerByte = 10, baud = 500000;
constexpr std::chrono::microseconds watchPause{200};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Loads the virtual device afresh with wire timing and the chip's latency on or off;
// `library` nullptr: the one with every entry point.
bool LoadDevice(bool wire, bool chipLatency, unsigned blockWriteUs, const char* library = nullptr) {
    if (driver.module) {
        ReleaseSharedLibrary(driver.module);
        driver = DriverTable{};
    }
    SetEnvironmentVariableUtf8("KARVEX_SIM_WIRE", wire ? "1" : "0");
    SetEnvironmentVariableUtf8("KARVEX_SIM_CHIP_LATENCY", chipLatency ? "1" : "0");
    SetEnvironmentVariableUtf8("KARVEX_SIM_BLOCK_WRITE_US", std::to_string(blockWriteUs).c_str());
    return LoadDriver(library) && EnumerateDevices() > 0;
}

// The frames' line time at 500,000 baud plus the device's flash writes.
double FloorSeconds(unsigned blockWriteUs) {
    double line = (blocks * (blockSize + 5) + 1) * lineBitsPerByte / baud;
    return line + blocks * blockWriteUs * 1e-6;
}

// The device open with its bootloader listening, as after the start step.
bool PrepareDevice() {
    return OpenDevice(0) && SetControlLines(0, true);
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
double BareExchangeSeconds() {
    if (!PrepareDevice())
        return -1;
    uint8_t frame[frameBufferSize];
    auto start = Clock::now();
    driver.FT_Purge(DeviceHandle(0), FT_PURGE_RX | FT_PURGE_TX);
    Exchange(frame, BuildHandshakeRequest(frame), handshakeReplyLength);
    for (int block = 0; block < blocks; ++block)
        Exchange(frame, BuildBlockFrame(FlashImage, block * blockSize, frame), blockReplyLength);
    double seconds = Seconds(start);
    SetControlLines(0, false);
    driver.FT_Close(DeviceHandle(0));
    return seconds;
}

// One upload from StartUpload to `done`; negative if it did not finish. Between looks at the
// flags this thread yields, or sleeps for `pause` when given: uploads that take seconds are
// watched as the status timer watches them, ticking every millisecond by the clock, without
// taking a processor from the receive thread on a machine with few. Without a pause the
// quiet waits the engine keeps before the first block and after the last pass at once, so
// that what is measured is the engine's own work.
double UploadSeconds(std::chrono::microseconds pause = std::chrono::microseconds(0)) {
    if (!PrepareDevice())
        return -1;
    upload.done = 0;
    upload.noResponse = 0;
    auto start = Clock::now();
    auto nextTick = start + std::chrono::milliseconds(1);
    StartUpload();
    while (!upload.done.load() && !upload.noResponse.load()) {
        if (pause.count() == 0) {
            std::this_thread::yield();
            continue;
        }
        std::this_thread::sleep_for(pause);
        for (; Clock::now() >= nextTick; nextTick += std::chrono::milliseconds(1))
            TickCountdown();
    }
    double seconds = Seconds(start);
    WaitForReceiveThread();
    return upload.done.load() ? seconds : -1;
}

template <typename Run> double Fastest(int runs, Run run) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        double seconds = run();
        if (seconds < 0)
            return -1;
        best = std::min(best, seconds);
    }
    return best;
}

bool BenchOverhead() {
    if (!LoadDevice(false, false, 0))
        return false;
    double bare = Fastest(20, BareExchangeSeconds);
    double engine = Fastest(20, [] { return UploadSeconds(); });
    if (bare < 0 || engine < 0)
        return false;
    std::printf("no latency: upload %.3f ms, bare exchange %.3f ms, engine %.2f us/block "
                "(whole upload %.2f us/block)\n",
                engine * 1e3, bare * 1e3, (engine - bare) / blocks * 1e6, engine / blocks * 1e6);
    return true;
}

bool BenchWireTiming(unsigned blockWriteUs) {
    if (!LoadDevice(true, false, blockWriteUs))
        return false;
    double seconds = Fastest(2, [] { return UploadSeconds(watchPause); });
    if (seconds < 0)
        return false;
    double floor = FloorSeconds(blockWriteUs);
    double replies = (handshakeReplyLength + blocks * blockReplyLength) * lineBitsPerByte / baud;
    std::printf("wire timing, %u us per block write: %.4f s, floor %.4f s (+%.2f %%); "
                "with the replies' own line time %.4f s (+%.2f %%)\n",
                blockWriteUs, seconds, floor, (seconds / floor - 1) * 100, floor + replies,
                (seconds / (floor + replies) - 1) * 100);
    return true;
}

struct LatencyCase {
    const char* name;
    const char* library;
    bool withoutSettings; // the table's two optional entries emptied: the upload as before
    int runs;
};

// The chip holding replies back (16 ms timer, no event character) on top of wire timing and
// 2 ms per block write.
bool BenchChipLatency() {
    constexpr unsigned blockWriteUs = 2000;
    const double floor = FloorSeconds(blockWriteUs);
    const LatencyCase cases[] = {
        {"latency settings applied", nullptr, false, 5},
        {"latency settings not applied", nullptr, true, 1},
        {"library without the latency settings", BASIC_LIBRARY_NAME, false, 1},
    };
    for (const LatencyCase& c : cases) {
        if (!LoadDevice(true, true, blockWriteUs, c.library))
            return false;
        if (c.withoutSettings) {
            driver.FT_SetLatencyTimer = nullptr;
            driver.FT_SetChars = nullptr;
        }
        double seconds = Fastest(c.runs, [] { return UploadSeconds(watchPause); });
        if (seconds < 0)
            return false;
        std::printf("chip latency model, %s: %.3f s, %.2f x the floor of %.3f s\n", c.name, seconds,
                    seconds / floor, floor);
    }
    return true;
}

bool BenchPortTime(const char* path) {
    LoadSerialDriver(path);
    double seconds = EnumerateDevices() == 1 ? UploadSeconds(watchPause) : -1;
    ReleaseSerialPort();
    if (seconds < 0)
        return false;
    std::printf("%.3f s\n", seconds);
    return true;
}

// Both ways in turn, twice, so that a change in the machine's load shows as a spread.
bool BenchPortCpu(const char* path) {
    constexpr std::chrono::milliseconds tick{10}; // the status timer's, as karvex-flash watches
    LoadSerialDriver(path);
    if (EnumerateDevices() != 1)
        return false;
    for (int round = 0; round < 2; ++round) {
        for (uint32_t waitMs : {0u, 1u}) {
            serialQueueWaitMs = waitMs;
            std::clock_t cpuStart = std::clock();
            double seconds = UploadSeconds(tick);
            double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
            if (seconds < 0)
                return false;
            std::printf("queue query %s: %.3f s, %.3f s of CPU, %.1f %% of a core\n",
                        waitMs == 0 ? "polling at once (before)" : "waiting up to 1 ms (after) ",
                        seconds, cpu, cpu / seconds * 100);
        }
    }
    ReleaseSerialPort();
    return true;
}

bool BenchSerialPort(const char* path) {
    if (!LoadDevice(false, false, 0))
        return false;
    double library = Fastest(20, [] { return UploadSeconds(); });
    ReleaseSharedLibrary(driver.module);
    LoadSerialDriver(path);
    double port = EnumerateDevices() == 1 ? Fastest(20, [] { return UploadSeconds(); }) : -1;
    ReleaseSerialPort();
    if (library < 0 || port < 0)
        return false;
    std::printf("virtual D2XX library: %.1f ms (%.1f us/block); pseudo-terminal: %.1f ms "
                "(%.1f us/block), %.2f x\n",
                library * 1e3, library / blocks * 1e6, port * 1e3, port / blocks * 1e6,
                port / library);
    return true;
}
} // namespace

int main(int argc, char** argv) {
    for (uint32_t i = 0; i < imageSize; ++i)
        FlashImage[i] = uint8_t(i * 31 + 7);
    SetEnvironmentVariableUtf8("KARVEX_SIM_DEVICES", "KARVEX");
    std::string mode = argc == 3 ? argv[1] : "";
    bool ok = mode == "--port"        ? BenchSerialPort(argv[2])
              : mode == "--port-time" ? BenchPortTime(argv[2])
              : mode == "--port-cpu"  ? BenchPortCpu(argv[2])
                                      : BenchOverhead() && BenchWireTiming(2000) &&
                                            BenchWireTiming(200) && BenchChipLatency();
    if (!ok)
        std::fprintf(stderr,
                     "upload_bench: the virtual device could not be loaded or did not finish\n");
    return ok ? 0 : 1;
}
