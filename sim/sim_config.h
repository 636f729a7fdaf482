#pragma once
// The virtual device's configuration, read from the environment when the library loads.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// 1-based numbers of the occurrences a fault applies to, as inclusive ranges; no range means
// every occurrence.
struct Occurrences {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
};
bool Includes(const Occurrences& when, uint32_t number);

// Block keys of the reply faults besides block indexes (address / 64).
constexpr int32_t kEveryBlock = -1;
constexpr int32_t kHandshakeKey = -2;

struct ReplyFault {
    int32_t block;
    Occurrences sends;
    uint32_t delayUs = 0; // late replies only
};

struct CallFault {
    std::string call;
    Occurrences calls;
    uint32_t status;
};

// When a device is attached, in milliseconds after the start (KARVEX_SIM_START); until 0:
// never removed.
struct AttachWindow {
    int32_t device;
    uint32_t fromMs;
    uint32_t untilMs;
};

struct SimConfig {
    std::vector<std::string> descriptions;
    std::vector<AttachWindow> attached; // devices not listed are attached all the time
    uint64_t startMs = 0; // the wall clock's milliseconds since 1970 at the start; 0: unset
    std::string flashPath;
    std::string tracePath;
    std::vector<ReplyFault> nak;
    std::vector<ReplyFault> drop;
    std::vector<ReplyFault> late;
    std::vector<CallFault> failures;
    bool silent = false;
    bool tripleAck = false;
    bool wireTiming = false;
    bool chipLatency = false; // the chip holds replies back as its receive buffer does
    uint32_t latencyUs = 0;
    uint32_t blockWriteUs = 2000;
    uint32_t unplugAfterBlocks = 0; // 0: never
    uint32_t splitUs = 0;     // each reply byte after the first this much later than the one before
    uint32_t bootDelayUs = 0; // the bootloader hears nothing this long after the lines assert it
    uint32_t stackBytes = 0;  // stack used by FT_Open, FT_Close, FT_Read, FT_GetQueueStatus
    bool listening = false;   // the bootloader runs from power-up, whatever the lines
    uint32_t lineDelayUs = 0; // time each DTR/RTS call takes, outside the library's lock
    uint32_t virtualClockUs = 0; // 0: the wall clock; else time passes only at polls, this much
    std::vector<std::string> problems; // variables ignored because they could not be read
};

// The configuration of the library, or with `device` (0, 1, ...) the one of that device, where
// each variable with the suffix _<device> is read in place of the one without.
SimConfig ReadSimConfig(int32_t device = -1);
// Whether `device` is attached `sinceStartMs` after the start.
bool Attached(const SimConfig& config, int32_t device, uint64_t sinceStartMs);
// The first reply fault of `faults` that covers send `send` of block `block` (or
// kHandshakeKey); null if none does.
const ReplyFault* FindReplyFault(const std::vector<ReplyFault>& faults, int32_t block,
                                 uint32_t send);
bool FaultApplies(const std::vector<ReplyFault>& faults, int32_t block, uint32_t send);
