// A randomized fault campaign: whole uploads against the virtual device in this process, each
// under a fault mix drawn from its seed, with the status timer ticking as fast as the engine
// lets time-outs pass. After every upload: `done` with the image in flash, the lines released
// and the device closed; or `noResponse` with the device closed; never a double open, a crash
// or a hang. A failure prints its seed and mix; `--seed S` replays that upload alone.
//
//   fault_campaign [--seconds N] [--uploads N] [--first-seed S]   # runs N s, at least N uploads
//   fault_campaign --seed S [--trace FILE]    # one upload, with the device's call trace
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "tests/link/sim_session.h"
#include "tests/sim/loaded_sim.h"
#include "upload/engine.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr size_t flashSize = 0x8000;
constexpr int blockCount = 509;
// Status-timer ticks per poll that found no whole reply waiting: the engine's time passes
// only while it waits in vain, a block timing out after 250 such polls (a millisecond or
// so), the handshake request after 2.
constexpr uint64_t ticksPerPoll = 4;
constexpr auto hangLimit = std::chrono::seconds(30);

// --- The fault mix ------------------------------------------------------------------------
struct CallFailure {
    std::string call;
    uint32_t number;
    uint32_t status;
};

struct FaultMix {
    SimVariables variables;
    std::vector<CallFailure> failures;
    std::string text; // as printed on a failure
};

const char* const entryPoints[] = {
    "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_Open", "FT_Close", "FT_Read",
    "FT_Write", "FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetTimeouts",
    "FT_SetFlowControl", "FT_GetQueueStatus", "FT_Purge", "FT_SetDtr", "FT_ClrDtr",
    "FT_SetRts", "FT_ClrRts"};

struct Draw {
    std::mt19937_64 random;
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; }
    uint32_t Below(uint32_t n) { return uint32_t(random() % n); }
    template <typename T, size_t N> T From(const T (&values)[N]) { return values[Below(N)]; }
};

// Refused or dropped replies: a few sends of a few blocks, or of the handshake request.
std::string ReplyFaults(Draw& draw) {
    std::string text;
    for (uint32_t n = 1 + draw.Below(3); n > 0; --n) {
        std::string block = draw.Chance(0.2) ? "hs" : std::to_string(draw.Below(blockCount));
        uint32_t first = 1 + draw.Below(3);
        text += (text.empty() ? "" : ";") + block + ":" + std::to_string(first) + "-" +
                std::to_string(first + draw.Below(3));
    }
    return text;
}

// A call late in the upload as often as early: the calls an upload makes run to thousands
// for the polls and reads, to a few for the opens, closes and line changes.
uint32_t CallNumber(Draw& draw, const std::string& call) {
    bool polled = call == "FT_GetQueueStatus" || call == "FT_Read" || call == "FT_Write";
    return 1 + draw.Below(polled ? 1200 : 6);
}

std::string tracePath; // empty: no trace, the campaign judges by what it sees

FaultMix DrawMix(uint64_t seed) {
    Draw draw{std::mt19937_64(seed)};
    FaultMix mix;
    SimVariables& v = mix.variables;
    v["TRACE"] = tracePath;
    if (draw.Chance(0.25))
        v["NAK"] = ReplyFaults(draw);
    if (draw.Chance(0.15))
        v["DROP"] = ReplyFaults(draw);
    // Every reply late by about a poll, or by more than the handshake's time-out. Never by
    // more than a block's: replies carry no address, so a block resent after its time-out gets
    // two, and the second is taken for the next block's; should that block be refused, its
    // refusal is taken for the block after, and the refused block is never sent again.
    if (draw.Chance(0.2))
        v["LATENCY_US"] = std::to_string(draw.From({2u, 10u, 30u}));
    // Tripled acknowledgements come as one reply: split, each 'K' would count for a block.
    if (draw.Chance(0.15))
        v["TRIPLE_ACK"] = "1";
    else if (draw.Chance(0.15))
        v["SPLIT_US"] = std::to_string(draw.From({0u, 5u, 30u}));
    if (draw.Chance(0.05))
        v["UNPLUG_AFTER"] = std::to_string(1 + draw.Below(blockCount));
    if (draw.Chance(0.12))
        v["BOOT_DELAY_US"] = std::to_string(draw.From({20u, 300u, 3000u}));
    if (draw.Chance(0.1))
        v["STACK"] = "65536";
    if (draw.Chance(0.02))
        v["SILENT"] = "1";
    if (draw.Chance(0.3)) {
        std::string fail;
        for (uint32_t n = 1 + draw.Below(2); n > 0; --n) {
            std::string call = draw.Chance(0.3) ? "FT_Open" : draw.From(entryPoints);
            uint32_t number = CallNumber(draw, call);
            // FT_Open refused as by a device held elsewhere (3), others as I/O errors (4),
            // and now and then an invalid handle (1).
            uint32_t status = draw.Chance(0.2) ? 1 : call == "FT_Open" ? 3 : 4;
            mix.failures.push_back({call, number, status});
            fail += (fail.empty() ? "" : ";") + call + ":" + std::to_string(number) + "=" +
                    std::to_string(status);
        }
        v["FAIL"] = fail;
    }
    for (const auto& [name, value] : v) {
        if (name != "TRACE")
            mix.text += (mix.text.empty() ? "" : " ") + ("KARVEX_SIM_" + name) + "=" + value;
    }
    if (mix.text.empty())
        mix.text = "no fault";
    return mix;
}

// --- What the device went through, seen at the program's calls -----------------------------
// Both of the program's threads call; the counts match the device's own because no entry
// point is called by both at once (opens and closes are serialised by the program).
struct Observed {
    const FaultMix* mix = nullptr;
    std::map<std::string, uint32_t> calls; // per entry point, counted from 1 as the device does
    bool open = false;
    bool dtr = false;
    bool rts = false;
    bool vanished = false;             // a call failed with 4 that was not injected: unplugged
    bool closeFailedWhileOpen = false; // an injected close failure left the device open
    bool endExcused = false;           // an injected failure struck a release call of the end
    std::string violation;
};
Observed seen;
std::mutex seenLock;
std::atomic<uint64_t> pollsInVain{0};
std::atomic<uint64_t> writes{0}; // each write reloads the countdown: a new wait begins
DriverTable library; // the virtual device's own entries, under the observing ones

bool Ending() { return upload.done.load() || upload.noResponse.load(); }

// Numbers the call and tells whether the mix makes it fail.
bool Injected(const char* call) {
    std::lock_guard<std::mutex> lock(seenLock);
    uint32_t number = ++seen.calls[call];
    for (const CallFailure& failure : seen.mix->failures) {
        if (failure.call == call && failure.number == number)
            return true;
    }
    return false;
}

// What a call's status means for the checks: unplugged, or a release of the end excused.
void NoteStatus(FT_STATUS status, bool injected) {
    if (status == FT_OK)
        return;
    std::lock_guard<std::mutex> lock(seenLock);
    if (status == FT_IO_ERROR && !injected)
        seen.vanished = true;
    if (injected && Ending())
        seen.endExcused = true;
}

FT_STATUS D2XX_API ObservedOpen(int index, FT_HANDLE* handle) {
    bool injected = Injected("FT_Open");
    FT_STATUS status = library.FT_Open(index, handle);
    NoteStatus(status, injected);
    std::lock_guard<std::mutex> lock(seenLock);
    if (status == FT_OK && seen.open)
        seen.violation = "opened twice";
    if (status == FT_DEVICE_NOT_OPENED && !injected && !seen.closeFailedWhileOpen)
        seen.violation = "FT_Open while the program held the device open";
    if (status == FT_OK) {
        seen.open = true;
        seen.closeFailedWhileOpen = false;
    }
    return status;
}

FT_STATUS D2XX_API ObservedClose(FT_HANDLE handle) {
    bool injected = Injected("FT_Close");
    FT_STATUS status = library.FT_Close(handle);
    NoteStatus(status, injected);
    std::lock_guard<std::mutex> lock(seenLock);
    if (status == FT_OK)
        seen.open = false;
    if (injected && seen.open)
        seen.closeFailedWhileOpen = true;
    return status;
}

template <const char* name, bool Observed::*line, bool level, FT_LineFn DriverTable::*entry>
FT_STATUS D2XX_API ObservedLine(FT_HANDLE handle) {
    bool injected = Injected(name);
    FT_STATUS status = (library.*entry)(handle);
    NoteStatus(status, injected);
    std::lock_guard<std::mutex> lock(seenLock);
    if (status == FT_OK)
        seen.*line = level;
    return status;
}
constexpr char setDtr[] = "FT_SetDtr", clrDtr[] = "FT_ClrDtr";
constexpr char setRts[] = "FT_SetRts", clrRts[] = "FT_ClrRts";

// The other entries: counted, so that the numbering of every entry point stays the device's.
template <const char* name, typename Fn, Fn DriverTable::*entry, typename... Args>
FT_STATUS D2XX_API Counted(Args... args) {
    bool injected = Injected(name);
    FT_STATUS status = (library.*entry)(args...);
    NoteStatus(status, injected);
    return status;
}
constexpr char readName[] = "FT_Read", writeName[] = "FT_Write", purgeName[] = "FT_Purge";
constexpr char baudName[] = "FT_SetBaudRate", dataName[] = "FT_SetDataCharacteristics";
constexpr char timeoutsName[] = "FT_SetTimeouts", flowName[] = "FT_SetFlowControl";
constexpr char createName[] = "FT_CreateDeviceInfoList", listName[] = "FT_GetDeviceInfoList";
constexpr char queueName[] = "FT_GetQueueStatus";

FT_STATUS D2XX_API ObservedWrite(FT_HANDLE handle, void* bytes, uint32_t count, uint32_t* written) {
    FT_STATUS status = Counted<writeName, FT_WriteFn, &DriverTable::FT_Write, FT_HANDLE, void*,
                               uint32_t, uint32_t*>(handle, bytes, count, written);
    ++writes;
    return status;
}

FT_STATUS D2XX_API ObservedQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
    FT_STATUS status = Counted<queueName, FT_GetQueueStatusFn, &DriverTable::FT_GetQueueStatus,
                               FT_HANDLE, uint32_t*>(handle, waiting);
    if (status != FT_OK || *waiting < upload.expectedReplyLength.load())
        ++pollsInVain;
    return status;
}

void ObserveTheLibrary() {
    library = driver;
    driver.FT_CreateDeviceInfoList =
        Counted<createName, FT_CreateDeviceInfoListFn, &DriverTable::FT_CreateDeviceInfoList,
                uint32_t*>;
    driver.FT_GetDeviceInfoList =
        Counted<listName, FT_GetDeviceInfoListFn, &DriverTable::FT_GetDeviceInfoList,
                FT_DEVICE_LIST_INFO_NODE*, uint32_t*>;
    driver.FT_Open = ObservedOpen;
    driver.FT_Close = ObservedClose;
    driver.FT_Read = Counted<readName, FT_ReadFn, &DriverTable::FT_Read, FT_HANDLE, void*,
                             uint32_t, uint32_t*>;
    driver.FT_Write = ObservedWrite;
    driver.FT_SetBaudRate =
        Counted<baudName, FT_SetBaudRateFn, &DriverTable::FT_SetBaudRate, FT_HANDLE, uint32_t>;
    driver.FT_SetDataCharacteristics =
        Counted<dataName, FT_SetDataCharacteristicsFn, &DriverTable::FT_SetDataCharacteristics,
                FT_HANDLE, uint8_t, uint8_t, uint8_t>;
    driver.FT_SetTimeouts = Counted<timeoutsName, FT_SetTimeoutsFn, &DriverTable::FT_SetTimeouts,
                                    FT_HANDLE, uint32_t, uint32_t>;
    driver.FT_SetFlowControl =
        Counted<flowName, FT_SetFlowControlFn, &DriverTable::FT_SetFlowControl, FT_HANDLE,
                uint16_t, uint8_t, uint8_t>;
    driver.FT_GetQueueStatus = ObservedQueueStatus;
    driver.FT_Purge =
        Counted<purgeName, FT_PurgeFn, &DriverTable::FT_Purge, FT_HANDLE, uint32_t>;
    driver.FT_SetDtr = ObservedLine<setDtr, &Observed::dtr, true, &DriverTable::FT_SetDtr>;
    driver.FT_ClrDtr = ObservedLine<clrDtr, &Observed::dtr, false, &DriverTable::FT_ClrDtr>;
    driver.FT_SetRts = ObservedLine<setRts, &Observed::rts, true, &DriverTable::FT_SetRts>;
    driver.FT_ClrRts = ObservedLine<clrRts, &Observed::rts, false, &DriverTable::FT_ClrRts>;
}

// --- One upload -----------------------------------------------------------------------------
enum class Outcome { done, noResponse, notOpened, noDevice };
const char* const outcomeNames[] = {"done", "noResponse", "device not opened", "no device listed"};

struct Result {
    Outcome outcome = Outcome::noDevice;
    std::string violation;
};

char crashReport[2048] = "";

void ReportCrash(int signal) {
    std::fprintf(stderr, "fault_campaign: signal %d during %s\n", signal, crashReport);
    std::_Exit(1);
}

// The status timer, on a thread of its own as in the window: it ticks ticksPerPoll times per
// poll in vain of the current wait, catching up every 100 µs. Polls of a wait that a write
// has ended since are not ticked: they would time the new frame out early. False if the
// upload never ended.
bool PlayStatusTimer() {
    auto deadline = Clock::now() + hangLimit;
    uint64_t writesSeen = writes.load();
    uint64_t pollsTicked = pollsInVain.load();
    while (upload.receiving.load()) {
        if (writes.load() != writesSeen) {
            writesSeen = writes.load();
            pollsTicked = pollsInVain.load();
        } else if (pollsInVain.load() > pollsTicked) {
            for (uint64_t tick = 0; tick < ticksPerPoll; ++tick)
                TickCountdown();
            ++pollsTicked;
        } else if (Clock::now() > deadline) {
            return false;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    return true;
}

void FillImage(uint64_t seed) {
    std::mt19937_64 random(seed ^ 0x5EED);
    for (uint32_t i = 0; i < imageSize; i += 8) {
        uint64_t bytes = random();
        for (uint32_t k = 0; k < 8 && i + k < imageSize; ++k)
            FlashImage[i + k] = uint8_t(bytes >> (8 * k));
    }
}

// The flash before the upload: unlike the image in every block.
void PrepareFlash(const std::string& path) {
    std::vector<uint8_t> flash(flashSize);
    for (size_t i = 0; i < flashSize; ++i)
        flash[i] = uint8_t(~FlashImage[i % imageSize]);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(flash.data()),
                                                std::streamsize(flash.size()));
}

std::string CheckEnd(Outcome outcome, const SimSession& session) {
    bool closed = !seen.open || seen.vanished || seen.endExcused;
    if (outcome == Outcome::notOpened || outcome == Outcome::noResponse)
        return closed || seen.closeFailedWhileOpen ? "" : "device left open";
    if (!closed)
        return "done, but the device left open";
    if ((seen.dtr || seen.rts) && !seen.vanished && !seen.endExcused)
        return "done, but the lines left asserted";
    StopSim(); // writes the flash file of a device still open
    std::vector<uint8_t> flash = FileBytes(session.flashPath);
    if (flash.size() != flashSize || !std::equal(FlashImage, FlashImage + imageSize, flash.begin()))
        return "done, but the flash differs from the image";
    return "";
}

Result RunUpload(uint64_t seed) {
    FaultMix mix = DrawMix(seed);
    std::snprintf(crashReport, sizeof crashReport, "seed %llu (%s)",
                  static_cast<unsigned long long>(seed), mix.text.c_str());
    seen = Observed{};
    seen.mix = &mix;
    upload.done = 0;
    upload.noResponse = 0;
    FillImage(seed);
    SimSession session;
    PrepareFlash("campaign.flash");
    Result result;
    if (!StartSim(session, "campaign", mix.variables)) {
        result.violation = "the virtual device did not load";
        return result;
    }
    ObserveTheLibrary();
    if (EnumerateDevices() != 1) {
        StopSim();
        return result;
    }
    if (!OpenDeviceForUpload(0)) {
        result.outcome = Outcome::notOpened;
    } else {
        StartUpload();
        SetControlLines(0, true);
        if (!PlayStatusTimer()) {
            std::fprintf(stderr, "fault_campaign: seed %llu (%s): hang, the upload never ended\n",
                         static_cast<unsigned long long>(seed), mix.text.c_str());
            std::_Exit(1); // the receive thread still runs: nothing sound can follow
        }
        bool done = upload.done.load(), noResponse = upload.noResponse.load();
        if (done == noResponse)
            result.violation = done ? "ended both done and noResponse" : "ended without outcome";
        result.outcome = done ? Outcome::done : Outcome::noResponse;
    }
    if (result.violation.empty()) {
        std::lock_guard<std::mutex> lock(seenLock);
        result.violation = seen.violation;
    }
    if (result.violation.empty())
        result.violation = CheckEnd(result.outcome, session);
    StopSim();
    return result;
}

struct Options {
    double seconds = 60;
    uint64_t uploads = 10000;
    uint64_t firstSeed = 0;
    bool single = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    options.firstSeed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        char* end = nullptr;
        double value = std::strtod(argv[i + 1], &end);
        if ((*end != '\0' || value < 0) && name != "--trace")
            return false;
        if (name == "--seconds")
            options.seconds = value;
        else if (name == "--uploads")
            options.uploads = uint64_t(value);
        else if (name == "--trace")
            tracePath = argv[i + 1];
        else if (name == "--seed" || name == "--first-seed")
            options.firstSeed = std::strtoull(argv[i + 1], nullptr, 10);
        else
            return false;
        options.single = options.single || name == "--seed";
    }
    return argc % 2 == 1;
}
} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: fault_campaign [--seconds N] [--uploads N] "
                             "[--first-seed S] | --seed S [--trace FILE]\n");
        return 2;
    }
    for (int signal : {SIGSEGV, SIGABRT, SIGFPE, SIGILL})
        std::signal(signal, ReportCrash);
    std::setvbuf(stdout, nullptr, _IOLBF, 1024);
    auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    uint64_t counts[4] = {};
    uint64_t uploads = 0;
    for (uint64_t seed = options.firstSeed;; ++seed) {
        Result result = RunUpload(seed);
        ++uploads;
        ++counts[int(result.outcome)];
        if (!result.violation.empty()) {
            std::printf("fault_campaign: FAILED at seed %llu: %s\n  mix: %s\n  replay: "
                        "fault_campaign --seed %llu\n",
                        static_cast<unsigned long long>(seed), result.violation.c_str(),
                        DrawMix(seed).text.c_str(), static_cast<unsigned long long>(seed));
            return 1;
        }
        bool enough = elapsed() >= options.seconds && uploads >= options.uploads;
        if (options.single || enough || elapsed() >= 3 * options.seconds)
            break;
    }
    double seconds = elapsed();
    std::printf("fault_campaign: %llu uploads in %.1f s (%.0f per second):",
                static_cast<unsigned long long>(uploads), seconds, double(uploads) / seconds);
    for (int i = 0; i < 4; ++i)
        std::printf("%s %s %llu", i ? "," : "", outcomeNames[i],
                    static_cast<unsigned long long>(counts[i]));
    std::printf("\n  seeds %llu..%llu\n", static_cast<unsigned long long>(options.firstSeed),
                static_cast<unsigned long long>(options.firstSeed + uploads - 1));
    if (options.single)
        std::printf("  mix: %s\n", DrawMix(options.firstSeed).text.c_str());
    if (!options.single && uploads < options.uploads)
        std::printf("fault_campaign: fewer uploads than the %llu asked for\n",
                    static_cast<unsigned long long>(options.uploads));
    return 0;
}
