#pragma once
// One virtual device: the USB-serial chip (settings, lines, receive queue) and the
// microcontroller behind it with its bootloader and 32 KB of program memory.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/sim_config.h"

using SimClock = std::chrono::steady_clock;

constexpr uint32_t kFlashSize = 0x8000;
constexpr uint32_t kBootloaderStart = 0x7F40; // from here up: the bootloader, never written
constexpr uint32_t kBootloaderBaud = 500000;
constexpr uint8_t kDefaultLatencyMs = 16;
constexpr uint8_t kMinLatencyMs = 2;

struct LineSettings {
    uint32_t baud = 9600;
    uint8_t wordLength = 8;
    uint8_t stopBits = 0;
    uint8_t parity = 0;
    uint32_t readTimeoutMs = 0; // 0: FT_Read waits until all asked bytes are there
    uint32_t writeTimeoutMs = 0;
    uint16_t flowControl = 0;
    uint8_t xon = 0x11;
    uint8_t xoff = 0x13;
};

struct WaitingByte {
    uint8_t value;
    SimClock::time_point readyAt; // when it has crossed the line and can be read
};

// The chip's buffer of bytes on their way to the host (with the latency model): it passes
// them on only when it holds a packet's worth, when its latency timer runs out since the
// first byte entered it empty, or when the event character arrives.
struct ChipBuffer {
    uint8_t latencyMs = kDefaultLatencyMs;
    uint8_t eventChar = 0;
    bool eventEnabled = false;
    uint32_t held = 0; // bytes at the back of the receive queue not passed on yet
    SimClock::time_point timerEndsAt{};
};

enum class BootPhase : uint8_t { Off, AwaitingHandshake, Ready };

struct VirtualDevice {
    int32_t index = 0;
    std::string description;
    std::string flashPath;
    uintptr_t openHandle = 0; // 0: closed
    LineSettings settings;
    bool dtr = false;
    bool rts = false;
    std::deque<WaitingByte> received;
    ChipBuffer chip;
    BootPhase phase = BootPhase::Off;
    bool listening = false; // in its bootloader from power-up, whatever the lines
    SimClock::duration bootDelay{};
    SimClock::time_point bootsAt{}; // the bootloader hears bytes from then on
    std::vector<uint8_t> frame; // data block frame being received
    SimClock::time_point lastByteAt{};
    SimClock::time_point toDeviceFreeAt{};
    SimClock::time_point toHostFreeAt{};
    std::map<int32_t, uint32_t> sends; // frames received so far per block (and handshake)
    uint32_t blocksWritten = 0;
    std::array<uint8_t, kFlashSize> flash{};
};

// A device as plugged in: lines released, default settings, flash from its file if any.
void InitDevice(VirtualDevice& device, int32_t index, const std::string& description,
                const SimConfig& config, const std::string& flashPath);
void SaveFlash(const VirtualDevice& device);
// The latency timer and event character as the chip has them after being opened.
void ResetReceiveLatency(VirtualDevice& device);
// Empties the receive queue, the chip's buffer with it.
void PurgeReceived(VirtualDevice& device);
// Drives the lines at `now`; the bootloader runs while both are asserted and starts afresh
// each time, hearing bytes after its start-up delay.
void SetLines(VirtualDevice& device, bool dtr, bool rts, SimClock::time_point now);
// Host bytes written at `now`. Notes for the trace are appended to `notes`. False when the
// device vanished (the unplug fault) while taking them.
bool Transmit(VirtualDevice& device, const SimConfig& config, const uint8_t* bytes,
              uint32_t count, SimClock::time_point now, std::string& notes);
uint32_t ReadyCount(const VirtualDevice& device, SimClock::time_point now);
// When the first `count` bytes of the receive queue are all readable; max() if fewer wait.
SimClock::time_point ReadyAt(const VirtualDevice& device, uint32_t count);
// Moves up to `count` readable bytes into `dest`; how many it moved.
uint32_t TakeReady(VirtualDevice& device, uint8_t* dest, uint32_t count, SimClock::time_point now);
