// A randomized fault campaign: whole uploads against the virtual device in this process, each
// under a fault mix drawn from its seed. An upload runs on this one thread, as the web page
// runs it: the receive loop's passes, each polling once. Its time is the device's virtual
// clock, which advances a step at each poll; the status timer ticks at a drawn period of it
// (1 ms, karvex-flash's 10 ms, or the window's 15.6 ms) and the engine's own clock is the
// same time, so nothing depends on the host's speed or sleep, and a seed replays to the same
// outcome on every platform. The link's latency is drawn too: replies held 1 ms, the chip's
// 2 ms timer with the event character, or its 16 ms default (a library without the settings).
// After every upload: `done` with the image in flash, the lines released and the device
// closed; or `noResponse` with the device closed; never a double open, a crash or a hang. A
// failure prints its seed and mix; `--seed S` replays that upload alone.
//
//   fault_campaign [--seconds N] [--uploads N] [--first-seed S]   # N s and N uploads, at most 3N s
//   fault_campaign --seed S [--trace FILE]    # one upload, with the device's call trace
#include <bitset>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <string_view>
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
constexpr int32_t handshakeKey = -1;

// --- The fault mix ------------------------------------------------------------------------
// An entry point's place in the one list of them, checked when compiled.
constexpr size_t entryCount = std::size(d2xxRequiredNames);
constexpr size_t Entry(std::string_view name) {
    size_t entry = 0;
    while (name != d2xxRequiredNames[entry])
        ++entry;
    return entry;
}

struct CallFailure {
    size_t entry;
    uint32_t number;
    uint32_t status;
};

// A reply fault from the send `first` of a block (or the handshake request) on.
enum class ReplyFaultKind { refused, lost, late };
struct DrawnReplyFault {
    ReplyFaultKind kind;
    int32_t block;
    uint32_t first;
    uint32_t delayUs;
};

struct FaultMix {
    SimVariables variables;
    uint32_t pollUs = 100;  // the device's time per poll
    uint32_t tickUs = 10000; // the status timer's period
    uint32_t linkMs = 2;    // how long the link holds replies
    uint32_t HandshakeTimeoutUs() const { return handshakeTimeoutTicks * tickUs; }
    uint32_t BlockTimeoutUs() const { return blockTimeoutTicks * tickUs; }
    std::vector<DrawnReplyFault> replyFaults;
    std::vector<CallFailure> failures;
    std::string text; // as printed on a failure
};

// Integer draws only: the same on every platform and standard library.
struct Draw {
    std::mt19937_64 random;
    bool Chance(uint32_t percent) { return Below(100) < percent; }
    uint32_t Below(uint32_t n) { return uint32_t(random() % n); }
    template <typename T, size_t N> T From(const T (&values)[N]) { return values[Below(N)]; }
};

// Delays of late replies: beyond the handshake's time-out or below it, beyond a block's
// time-out (once or twice over) or below it.
uint32_t LateDelayUs(Draw& draw, bool handshake) {
    return handshake ? draw.From({30000u, 60000u, 200000u, 600000u})
                     : draw.From({300000u, 4000000u, 12000000u, 25000000u});
}

// Half the time a block (or the handshake) struck already: a repeated send is met only when
// an earlier one went wrong.
int32_t PickBlock(Draw& draw, const FaultMix& mix) {
    if (!mix.replyFaults.empty() && draw.Chance(50))
        return mix.replyFaults[draw.Below(uint32_t(mix.replyFaults.size()))].block;
    return draw.Chance(35) ? handshakeKey : int32_t(draw.Below(blockCount));
}

// A few sends of a few blocks, or of the handshake request, refused, lost or late; repeated
// sends as often as first ones.
std::string ReplyFaults(Draw& draw, ReplyFaultKind kind, FaultMix& mix) {
    std::string text;
    for (uint32_t n = 1 + draw.Below(3); n > 0; --n) {
        int32_t block = PickBlock(draw, mix);
        bool handshake = block == handshakeKey;
        uint32_t first = 1 + draw.Below(3);
        uint32_t delayUs = kind == ReplyFaultKind::late ? LateDelayUs(draw, handshake) : 0;
        mix.replyFaults.push_back({kind, block, first, delayUs});
        text += (text.empty() ? "" : ";") + (handshake ? "hs" : std::to_string(block)) + ":" +
                std::to_string(first) + "-" + std::to_string(first + draw.Below(3)) +
                (delayUs ? "=" + std::to_string(delayUs) : "");
    }
    return text;
}

// A call late in the upload as often as early: the calls an upload makes run to thousands
// for the polls and reads, to a few for the opens, closes and line changes.
uint32_t CallNumber(Draw& draw, size_t entry) {
    bool polled = entry == Entry("FT_GetQueueStatus") || entry == Entry("FT_Read") ||
                  entry == Entry("FT_Write");
    return 1 + draw.Below(polled ? 1200 : 6);
}

std::string CallFailures(Draw& draw, FaultMix& mix) {
    std::string text;
    for (uint32_t n = 1 + draw.Below(2); n > 0; --n) {
        size_t entry = draw.Chance(30) ? Entry("FT_Open") : draw.Below(entryCount);
        uint32_t number = CallNumber(draw, entry);
        // FT_Open refused as by a device held elsewhere (3), others as I/O errors (4), and
        // now and then an invalid handle (1).
        uint32_t status = draw.Chance(20) ? 1 : entry == Entry("FT_Open") ? 3 : 4;
        mix.failures.push_back({entry, number, status});
        text += (text.empty() ? "" : ";") + std::string(d2xxRequiredNames[entry]) + ":" +
                std::to_string(number) + "=" + std::to_string(status);
    }
    return text;
}

std::string tracePath; // empty: no trace, the campaign judges by what it sees

// The link: replies held 1 ms (a serial port in low-latency mode; the program takes it for
// 2), or the chip's latency model with its timer at 2 ms or, without the settings, 16 ms.
void DrawLink(Draw& draw, FaultMix& mix) {
    mix.linkMs = draw.From({1u, 2u, 16u});
    if (mix.linkMs == 1)
        mix.variables["LATENCY_US"] = "1000";
    else
        mix.variables["CHIP_LATENCY"] = "1";
}

// A reply's bytes split no further apart than the link can hold them: two of its periods.
uint32_t SplitUs(Draw& draw, const FaultMix& mix) {
    uint32_t split = 0;
    do
        split = draw.From({0u, 5u, 300u, 1500u, 3000u, 12000u, 33000u});
    while (split > 2000 * mix.linkMs);
    return split;
}

FaultMix DrawMix(uint64_t seed) {
    Draw draw{std::mt19937_64(seed)};
    FaultMix mix;
    SimVariables& v = mix.variables;
    mix.pollUs = draw.From({250u, 500u, 1000u, 2500u, 5000u});
    mix.tickUs = draw.From({1000u, 10000u, 15600u});
    v["VIRTUAL_CLOCK"] = std::to_string(mix.pollUs);
    DrawLink(draw, mix);
    v["TRACE"] = tracePath;
    if (draw.Chance(30))
        v["NAK"] = ReplyFaults(draw, ReplyFaultKind::refused, mix);
    if (draw.Chance(20))
        v["DROP"] = ReplyFaults(draw, ReplyFaultKind::lost, mix);
    if (draw.Chance(30))
        v["LATE"] = ReplyFaults(draw, ReplyFaultKind::late, mix);
    // Every reply late, below or beyond the handshake's time-out (never beyond its 100
    // retries: nothing would be left to try).
    if (draw.Chance(25))
        v["LATENCY_US"] =
            std::to_string(draw.From({2u, 300u, 3000u, 30000u, 60000u, 200000u, 600000u}));
    if (draw.Chance(25))
        v["TRIPLE_ACK"] = "1";
    if (draw.Chance(30))
        v["SPLIT_US"] = std::to_string(SplitUs(draw, mix));
    if (draw.Chance(10))
        v["LISTENING"] = "1";
    if (draw.Chance(5))
        v["UNPLUG_AFTER"] = std::to_string(1 + draw.Below(blockCount));
    if (draw.Chance(12))
        v["BOOT_DELAY_US"] = std::to_string(draw.From({20u, 3000u, 30000u, 600000u}));
    if (draw.Chance(10))
        v["STACK"] = "65536";
    if (draw.Chance(2))
        v["SILENT"] = "1";
    if (draw.Chance(30))
        v["FAIL"] = CallFailures(draw, mix);
    mix.text = "tick=" + std::to_string(mix.tickUs) + "us link=" + std::to_string(mix.linkMs) + "ms";
    for (const auto& [name, value] : v) {
        if (name != "TRACE")
            mix.text += " KARVEX_SIM_" + name + "=" + value;
    }
    return mix;
}

uint32_t Variable(const FaultMix& mix, const char* name) {
    auto found = mix.variables.find(name);
    return found == mix.variables.end() ? 0 : uint32_t(std::stoul(found->second));
}

// --- What the device went through, seen at the program's calls -----------------------------
struct Observed {
    const FaultMix* mix = nullptr;
    uint32_t calls[entryCount] = {}; // per entry point, counted from 1 as the device does
    uint64_t polls = 0;
    uint64_t nextTickUs = 0;
    bool open = false;
    bool dtr = false;
    bool rts = false;
    uint64_t linesUpAtUs = 0; // when both lines were last asserted, in the device's time
    bool linesWereUp = false;
    uint32_t heardRequests = 0;         // handshake requests the bootloader heard
    std::map<int32_t, uint32_t> frames; // data block frames the device took, per block
    bool vanished = false;              // a call failed with 4 that was not injected: unplugged
    bool closeFailedWhileOpen = false;  // an injected close failure left the device open
    bool endExcused = false;            // an injected failure struck a release call of the end
    std::string violation;
};
Observed seen;
DriverTable library; // the virtual device's own entries, under the observing ones

uint64_t DeviceTimeUs() {
    return seen.polls * seen.mix->pollUs;
}

bool Ending() {
    return upload.done.load() || upload.noResponse.load();
}

// Numbers the call and tells whether the mix makes it fail.
bool Injected(size_t entry) {
    uint32_t number = ++seen.calls[entry];
    for (const CallFailure& failure : seen.mix->failures) {
        if (failure.entry == entry && failure.number == number)
            return true;
    }
    return false;
}

// What a call's status means for the checks: unplugged, or a release of the end excused.
void NoteStatus(FT_STATUS status, bool injected) {
    if (status == FT_OK)
        return;
    if (status == FT_IO_ERROR && !injected)
        seen.vanished = true;
    if (injected && Ending())
        seen.endExcused = true;
}

FT_STATUS D2XX_API ObservedOpen(int index, FT_HANDLE* handle) {
    bool injected = Injected(Entry("FT_Open"));
    FT_STATUS status = library.FT_Open(index, handle);
    NoteStatus(status, injected);
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
    bool injected = Injected(Entry("FT_Close"));
    FT_STATUS status = library.FT_Close(handle);
    NoteStatus(status, injected);
    if (status == FT_OK)
        seen.open = false;
    if (injected && seen.open)
        seen.closeFailedWhileOpen = true;
    return status;
}

template <size_t entry, bool Observed::*line, bool level, FT_LineFn DriverTable::*member>
FT_STATUS D2XX_API ObservedLine(FT_HANDLE handle) {
    bool injected = Injected(entry);
    FT_STATUS status = (library.*member)(handle);
    NoteStatus(status, injected);
    bool wereUp = seen.dtr && seen.rts;
    if (status == FT_OK)
        seen.*line = level;
    if (!wereUp && seen.dtr && seen.rts) {
        seen.linesUpAtUs = DeviceTimeUs();
        seen.linesWereUp = true;
    }
    return status;
}

// The other entries: counted, so that the numbering of every entry point stays the device's.
template <size_t entry, typename Fn, Fn DriverTable::*member, typename... Args>
FT_STATUS D2XX_API Counted(Args... args) {
    bool injected = Injected(entry);
    FT_STATUS status = (library.*member)(args...);
    NoteStatus(status, injected);
    return status;
}

// Counts the sends the device's reply faults count: handshake requests the bootloader hears
// (both lines up, its start-up delay over) and data block frames.
void NoteSend(const uint8_t* bytes, uint32_t count) {
    bool booted = seen.dtr && seen.rts &&
                  DeviceTimeUs() >= seen.linesUpAtUs + Variable(*seen.mix, "BOOT_DELAY_US");
    if (count == 1 && bytes[0] == handshakeRequest && booted)
        ++seen.heardRequests;
    if (count > 4 && bytes[0] == 0)
        ++seen.frames[((bytes[1] << 8) | bytes[2]) / blockSize];
}

FT_STATUS D2XX_API ObservedWrite(FT_HANDLE handle, void* bytes, uint32_t count, uint32_t* written) {
    FT_STATUS status = Counted<Entry("FT_Write"), FT_WriteFn, &DriverTable::FT_Write, FT_HANDLE,
                               void*, uint32_t, uint32_t*>(handle, bytes, count, written);
    if (status == FT_OK)
        NoteSend(static_cast<const uint8_t*>(bytes), count);
    return status;
}

// The status timer, in the device's time: every poll advances it a step, and the timer ticks
// for each of its periods passed, so the ticks come from the engine's own polls.
FT_STATUS D2XX_API ObservedQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
    FT_STATUS status =
        Counted<Entry("FT_GetQueueStatus"), FT_GetQueueStatusFn, &DriverTable::FT_GetQueueStatus,
                FT_HANDLE, uint32_t*>(handle, waiting);
    ++seen.polls;
    for (; seen.nextTickUs <= DeviceTimeUs(); seen.nextTickUs += seen.mix->tickUs)
        TickCountdown();
    return status;
}

uint32_t DeviceClockMs() {
    return uint32_t(DeviceTimeUs() / 1000);
}

void ObserveTheLibrary() {
    library = driver;
    driver.FT_CreateDeviceInfoList =
        Counted<Entry("FT_CreateDeviceInfoList"), FT_CreateDeviceInfoListFn,
                &DriverTable::FT_CreateDeviceInfoList, uint32_t*>;
    driver.FT_GetDeviceInfoList =
        Counted<Entry("FT_GetDeviceInfoList"), FT_GetDeviceInfoListFn,
                &DriverTable::FT_GetDeviceInfoList, FT_DEVICE_LIST_INFO_NODE*, uint32_t*>;
    driver.FT_Open = ObservedOpen;
    driver.FT_Close = ObservedClose;
    driver.FT_Read = Counted<Entry("FT_Read"), FT_ReadFn, &DriverTable::FT_Read, FT_HANDLE, void*,
                             uint32_t, uint32_t*>;
    driver.FT_Write = ObservedWrite;
    driver.FT_SetBaudRate = Counted<Entry("FT_SetBaudRate"), FT_SetBaudRateFn,
                                    &DriverTable::FT_SetBaudRate, FT_HANDLE, uint32_t>;
    driver.FT_SetDataCharacteristics =
        Counted<Entry("FT_SetDataCharacteristics"), FT_SetDataCharacteristicsFn,
                &DriverTable::FT_SetDataCharacteristics, FT_HANDLE, uint8_t, uint8_t, uint8_t>;
    driver.FT_SetTimeouts = Counted<Entry("FT_SetTimeouts"), FT_SetTimeoutsFn,
                                    &DriverTable::FT_SetTimeouts, FT_HANDLE, uint32_t, uint32_t>;
    driver.FT_SetFlowControl =
        Counted<Entry("FT_SetFlowControl"), FT_SetFlowControlFn, &DriverTable::FT_SetFlowControl,
                FT_HANDLE, uint16_t, uint8_t, uint8_t>;
    driver.FT_GetQueueStatus = ObservedQueueStatus;
    driver.FT_Purge =
        Counted<Entry("FT_Purge"), FT_PurgeFn, &DriverTable::FT_Purge, FT_HANDLE, uint32_t>;
    driver.FT_SetDtr =
        ObservedLine<Entry("FT_SetDtr"), &Observed::dtr, true, &DriverTable::FT_SetDtr>;
    driver.FT_ClrDtr =
        ObservedLine<Entry("FT_ClrDtr"), &Observed::dtr, false, &DriverTable::FT_ClrDtr>;
    driver.FT_SetRts =
        ObservedLine<Entry("FT_SetRts"), &Observed::rts, true, &DriverTable::FT_SetRts>;
    driver.FT_ClrRts =
        ObservedLine<Entry("FT_ClrRts"), &Observed::rts, false, &DriverTable::FT_ClrRts>;
}

// --- Which faults an upload met --------------------------------------------------------------
enum FaultKind {
    lateBeyondHandshake,
    lateBeyondBlock,
    refusedRepeatedRequest,
    lostRepeatedRequest,
    refusedRepeatedBlock,
    lostRepeatedBlock,
    refusedFirstSend,
    lostFirstSend,
    tripleSplit,
    splitTensOfMs,
    unplugged,
    failedCall,
    bootDelay,
    stackUse,
    silent,
    faultKinds
};
const char* const faultKindNames[faultKinds] = {"late beyond handshake",
                                                "late beyond block",
                                                "refused repeated request",
                                                "lost repeated request",
                                                "refused repeated block",
                                                "lost repeated block",
                                                "refused first send",
                                                "lost first send",
                                                "triple split",
                                                "split tens of ms",
                                                "unplugged",
                                                "failed call",
                                                "boot delay",
                                                "stack",
                                                "silent"};
using FaultKinds = std::bitset<faultKinds>;

// A refused, lost or late reply is met once the device took the send it strikes; a late one
// counts when it comes after the time-out of what it answers.
void NoteReplyFaultsMet(const FaultMix& mix, FaultKinds& met) {
    for (const DrawnReplyFault& fault : mix.replyFaults) {
        bool handshake = fault.block == handshakeKey;
        if ((handshake ? seen.heardRequests : seen.frames[fault.block]) < fault.first)
            continue;
        bool repeated = fault.first > 1;
        if (fault.kind == ReplyFaultKind::refused)
            met.set(!repeated   ? refusedFirstSend
                    : handshake ? refusedRepeatedRequest
                                : refusedRepeatedBlock);
        else if (fault.kind == ReplyFaultKind::lost)
            met.set(!repeated   ? lostFirstSend
                    : handshake ? lostRepeatedRequest
                                : lostRepeatedBlock);
        else if (fault.delayUs > (handshake ? mix.HandshakeTimeoutUs() : mix.BlockTimeoutUs()))
            met.set(handshake ? lateBeyondHandshake : lateBeyondBlock);
    }
}

FaultKinds FaultsMet(const FaultMix& mix) {
    FaultKinds met;
    NoteReplyFaultsMet(mix, met);
    bool heard = seen.heardRequests > 0;
    bool blocksSent = !seen.frames.empty();
    if (Variable(mix, "LATENCY_US") > mix.HandshakeTimeoutUs() && heard)
        met.set(lateBeyondHandshake);
    if (Variable(mix, "TRIPLE_ACK") && mix.variables.count("SPLIT_US") && blocksSent)
        met.set(tripleSplit);
    if (Variable(mix, "SPLIT_US") >= 10000 && heard)
        met.set(splitTensOfMs);
    met.set(unplugged, seen.vanished);
    for (const CallFailure& failure : mix.failures)
        met.set(failedCall, met[failedCall] || seen.calls[failure.entry] >= failure.number);
    met.set(bootDelay, Variable(mix, "BOOT_DELAY_US") && seen.linesWereUp);
    met.set(stackUse, Variable(mix, "STACK") && seen.calls[Entry("FT_Open")] > 0);
    met.set(silent, Variable(mix, "SILENT") && heard);
    return met;
}

// --- One upload -----------------------------------------------------------------------------
enum class Outcome { done, noResponse, notOpened, noDevice };
const char* const outcomeNames[] = {"done", "noResponse", "device not opened", "no device listed"};

struct Result {
    Outcome outcome = Outcome::noDevice;
    std::string violation;
    FaultKinds met;
    uint64_t polls = 0;
};

char crashReport[2048] = "";

void ReportCrash(int signal) {
    std::fprintf(stderr, "fault_campaign: signal %d during %s\n", signal, crashReport);
    std::_Exit(1);
}

// The receive loop's passes until the upload ends; false if it has not ended within twice
// the passes that its time-outs and retry budgets allow.
bool PlayUpload(const FaultMix& mix) {
    uint64_t ticks = (handshakeRetryBudget + 1) * handshakeTimeoutTicks +
                     uint64_t(blockCount) * (blockRetryBudget + 1) * blockTimeoutTicks;
    uint64_t passes = 2 * ticks * mix.tickUs / mix.pollUs;
    for (uint64_t pass = 0; pass < passes; ++pass) {
        if (!ReceivePass())
            return true;
    }
    return false;
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
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(flash.data()), std::streamsize(flash.size()));
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

// The upload as the window makes it, its passes on this thread.
void Upload(const FaultMix& mix, Result& result) {
    if (!OpenDeviceForUpload(0)) {
        result.outcome = Outcome::notOpened;
        return;
    }
    BeginUpload();
    SetControlLines(currentDevice, true);
    if (!PlayUpload(mix)) {
        result.violation = "hang: the upload never ended";
        return;
    }
    bool done = upload.done.load(), noResponse = upload.noResponse.load();
    if (done == noResponse)
        result.violation = done ? "ended both done and noResponse" : "ended without outcome";
    result.outcome = done ? Outcome::done : Outcome::noResponse;
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
    if (mix.linkMs == 16) {
        driver.FT_SetLatencyTimer = nullptr;
        driver.FT_SetChars = nullptr;
    }
    seen.nextTickUs = mix.tickUs;
    uploadClockMs = DeviceClockMs;
    if (EnumerateDevices() == 1)
        Upload(mix, result);
    if (result.violation.empty())
        result.violation = seen.violation;
    if (result.violation.empty() && result.outcome != Outcome::noDevice)
        result.violation = CheckEnd(result.outcome, session);
    result.met = FaultsMet(mix);
    result.polls = seen.polls;
    StopSim();
    return result;
}

// --- The run ------------------------------------------------------------------------------
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

struct Tally {
    uint64_t uploads = 0;
    uint64_t outcomes[4] = {};
    uint64_t met[faultKinds] = {};
    uint64_t digest = 0xCBF29CE484222325; // FNV-1a over each upload's outcome and polls
};

void Count(Tally& tally, const Result& result) {
    ++tally.uploads;
    ++tally.outcomes[int(result.outcome)];
    for (int kind = 0; kind < faultKinds; ++kind)
        tally.met[kind] += result.met[size_t(kind)];
    for (uint64_t value : {uint64_t(result.outcome), result.polls}) {
        for (int byte = 0; byte < 8; ++byte)
            tally.digest = (tally.digest ^ ((value >> (8 * byte)) & 0xFF)) * 0x100000001B3;
    }
}

void PrintSummary(const Tally& tally, const Options& options, double seconds) {
    std::printf("fault_campaign: %llu uploads in %.1f s (%.0f per second):",
                static_cast<unsigned long long>(tally.uploads), seconds,
                double(tally.uploads) / seconds);
    for (int i = 0; i < 4; ++i)
        std::printf("%s %s %llu", i ? "," : "", outcomeNames[i],
                    static_cast<unsigned long long>(tally.outcomes[i]));
    std::printf("\n  met:");
    for (int kind = 0; kind < faultKinds; ++kind)
        std::printf("%s %s %llu", kind ? "," : "", faultKindNames[kind],
                    static_cast<unsigned long long>(tally.met[kind]));
    std::printf("\n  seeds %llu..%llu, outcome digest %016llx\n",
                static_cast<unsigned long long>(options.firstSeed),
                static_cast<unsigned long long>(options.firstSeed + tally.uploads - 1),
                static_cast<unsigned long long>(tally.digest));
    if (options.single)
        std::printf("  mix: %s\n", DrawMix(options.firstSeed).text.c_str());
    if (!options.single && tally.uploads < options.uploads)
        std::printf("fault_campaign: fewer uploads than the %llu asked for\n",
                    static_cast<unsigned long long>(options.uploads));
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
    Tally tally;
    for (uint64_t seed = options.firstSeed;; ++seed) {
        Result result = RunUpload(seed);
        Count(tally, result);
        if (!result.violation.empty()) {
            std::printf("fault_campaign: FAILED at seed %llu, upload %llu, after %.1f s: %s\n"
                        "  mix: %s\n  replay: fault_campaign --seed %llu\n",
                        static_cast<unsigned long long>(seed),
                        static_cast<unsigned long long>(tally.uploads), elapsed(),
                        result.violation.c_str(), DrawMix(seed).text.c_str(),
                        static_cast<unsigned long long>(seed));
            return 1;
        }
        bool enough = elapsed() >= options.seconds && tally.uploads >= options.uploads;
        bool overTime = options.seconds > 0 && elapsed() >= 3 * options.seconds;
        if (options.single || enough || overTime)
            break;
    }
    PrintSummary(tally, options, elapsed());
    return 0;
}
