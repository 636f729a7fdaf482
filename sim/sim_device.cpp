#include "sim/sim_device.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr uint8_t kHandshakeRequest = 0xC1;
constexpr uint32_t kMaxBlock = 64;
// A frame left unfinished this long is given up, so the next frame starts cleanly.
constexpr auto kFrameGap = std::chrono::milliseconds(100);
// A full-speed chip's 64-byte packet carries 2 status bytes.
constexpr uint32_t kChipBufferSize = 62;

void FillBootloaderPattern(VirtualDevice& device) {
    static const char pattern[] = "KARVEX BOOT ";
    device.flash.fill(0xFF);
    for (uint32_t a = kBootloaderStart; a < kFlashSize; ++a)
        device.flash[a] = static_cast<uint8_t>(pattern[(a - kBootloaderStart) % 12]);
}

// The flash file goes through stdio, not file streams: on Windows their locale takes a
// thread-local slot that the library never gives back when it is released.
std::FILE* OpenFlashFile(const VirtualDevice& device, const char* mode) {
    return device.flashPath.empty() ? nullptr : std::fopen(device.flashPath.c_str(), mode);
}

void LoadFlash(VirtualDevice& device) {
    FillBootloaderPattern(device);
    if (std::FILE* file = OpenFlashFile(device, "rb")) {
        std::fread(device.flash.data(), 1, kFlashSize, file);
        std::fclose(file);
    }
}

SimClock::duration ByteTime(const VirtualDevice& device) {
    // 10 bits a byte: start, 8 data, stop.
    return std::chrono::nanoseconds(10'000'000'000ULL / std::max<uint32_t>(device.settings.baud, 1));
}

bool HearsBootloaderLine(const VirtualDevice& device) {
    const LineSettings& s = device.settings;
    return device.phase != BootPhase::Off && s.baud == kBootloaderBaud && s.wordLength == 8 &&
           s.stopBits == 0 && s.parity == 0;
}

// The byte just queued entered the chip's buffer at `arrival`: it and the bytes held with
// it become readable when the buffer is passed on, at once if this byte fills it or is the
// event character, else when the timer started by the first of them runs out.
void HoldInChip(VirtualDevice& device, SimClock::time_point arrival) {
    ChipBuffer& chip = device.chip;
    if (chip.held > 0 && arrival >= chip.timerEndsAt)
        chip.held = 0; // passed on when the timer ran out
    if (chip.held == 0)
        chip.timerEndsAt = arrival + std::chrono::milliseconds(chip.latencyMs);
    ++chip.held;
    uint8_t value = device.received.back().value;
    bool passOnNow = chip.held == kChipBufferSize || (chip.eventEnabled && value == chip.eventChar);
    SimClock::time_point passedOnAt = passOnNow ? arrival : chip.timerEndsAt;
    size_t held = std::min<size_t>(chip.held, device.received.size());
    for (auto byte = device.received.rbegin(); byte != device.received.rbegin() + long(held);
         ++byte)
        byte->readyAt = passedOnAt;
    if (passOnNow)
        chip.held = 0;
}

// Queues a reply whose first byte leaves the device at `at`.
void Reply(VirtualDevice& device, const SimConfig& config, const std::string& bytes,
           SimClock::time_point at) {
    SimClock::time_point readyAt = at + std::chrono::microseconds(config.latencyUs);
    if (config.wireTiming)
        readyAt = std::max(readyAt, device.toHostFreeAt);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (config.wireTiming)
            readyAt += ByteTime(device);
        if (i > 0)
            readyAt += std::chrono::microseconds(config.splitUs);
        device.received.push_back({static_cast<uint8_t>(bytes[i]), readyAt});
        if (config.chipLatency)
            HoldInChip(device, readyAt);
    }
    if (config.wireTiming)
        device.toHostFreeAt = readyAt;
}

std::string Note(const VirtualDevice& device, const std::string& text) {
    return "# dev=" + std::to_string(device.index) + " " + text + "\n";
}

// How much later than the others the reply to this send comes (KARVEX_SIM_LATE).
SimClock::duration LateBy(const SimConfig& config, int32_t block, uint32_t send) {
    const ReplyFault* late = FindReplyFault(config.late, block, send);
    return std::chrono::microseconds(late ? late->delayUs : 0);
}

void AnswerHandshake(VirtualDevice& device, const SimConfig& config, SimClock::time_point at,
                     std::string& notes) {
    uint32_t send = ++device.sends[kHandshakeKey];
    std::string what = "handshake send=" + std::to_string(send);
    if (config.silent || FaultApplies(config.drop, kHandshakeKey, send)) {
        notes += Note(device, what + " -> none");
        return;
    }
    bool refused = FaultApplies(config.nak, kHandshakeKey, send);
    Reply(device, config, refused ? "N" : "CK", at + LateBy(config, kHandshakeKey, send));
    notes += Note(device, what + (refused ? " -> N" : " -> CK"));
    if (!refused)
        device.phase = BootPhase::Ready;
}

bool FrameIsSound(const std::vector<uint8_t>& frame) {
    uint32_t address = (frame[1] << 8) | frame[2];
    uint8_t sum = 0;
    for (uint8_t byte : frame)
        sum = static_cast<uint8_t>(sum + byte);
    return sum == 0 && address + frame[3] <= kBootloaderStart;
}

// Judges a complete frame; the reply, or "" for none. Sets `vanished` on the unplug fault.
std::string JudgeFrame(VirtualDevice& device, const SimConfig& config, bool& vanished) {
    uint32_t address = (device.frame[1] << 8) | device.frame[2];
    int32_t block = static_cast<int32_t>(address / kMaxBlock);
    uint32_t send = ++device.sends[block];
    if (config.silent || FaultApplies(config.drop, block, send))
        return "";
    if (FaultApplies(config.nak, block, send) || !FrameIsSound(device.frame))
        return "N";
    std::copy(device.frame.begin() + 4, device.frame.end() - 1, device.flash.begin() + address);
    ++device.blocksWritten;
    vanished = config.unplugAfterBlocks != 0 && device.blocksWritten == config.unplugAfterBlocks;
    return config.tripleAck ? "KKK" : "K";
}

void FinishFrame(VirtualDevice& device, const SimConfig& config, SimClock::time_point at,
                 std::string& notes, bool& vanished) {
    uint32_t address = (device.frame[1] << 8) | device.frame[2];
    int32_t block = static_cast<int32_t>(address / kMaxBlock);
    std::string reply = JudgeFrame(device, config, vanished);
    SimClock::time_point replyAt = at + LateBy(config, block, device.sends[block]);
    if ((config.wireTiming || config.chipLatency) && !reply.empty() && reply[0] == 'K')
        replyAt += std::chrono::microseconds(config.blockWriteUs);
    if (!vanished && !reply.empty())
        Reply(device, config, reply, replyAt);
    char text[96];
    std::snprintf(text, sizeof text, "block %u addr=0x%04X count=%u send=%u -> %s",
                  address / kMaxBlock, address, device.frame[3], device.sends[block],
                  vanished ? "unplugged" : reply.empty() ? "none" : reply.c_str());
    notes += Note(device, text);
    device.frame.clear();
}

// One byte reaching the bootloader at `at`. A frame starts with 0x00; bytes outside a frame
// other than the handshake request are ignored, which resynchronises after garbage.
void Receive(VirtualDevice& device, const SimConfig& config, uint8_t byte, SimClock::time_point at,
             std::string& notes, bool& vanished) {
    if (!device.frame.empty() && at - device.lastByteAt > kFrameGap)
        device.frame.clear();
    device.lastByteAt = at;
    if (device.frame.empty() && byte == kHandshakeRequest) {
        AnswerHandshake(device, config, at, notes);
        return;
    }
    if (device.phase != BootPhase::Ready || (device.frame.empty() && byte != 0x00))
        return;
    device.frame.push_back(byte);
    if (device.frame.size() == 4 && (byte == 0 || byte > kMaxBlock)) {
        Reply(device, config, "N", at);
        notes += Note(device, "frame count=" + std::to_string(byte) + " -> N");
        device.frame.clear();
    } else if (device.frame.size() > 4 && device.frame.size() == device.frame[3] + 5u) {
        FinishFrame(device, config, at, notes, vanished);
    }
}
} // namespace

void InitDevice(VirtualDevice& device, int32_t index, const std::string& description,
                const SimConfig& config, const std::string& flashPath) {
    device.index = index;
    device.description = description;
    device.flashPath = flashPath;
    device.bootDelay = std::chrono::microseconds(config.bootDelayUs);
    device.listening = config.listening;
    if (device.listening)
        device.phase = BootPhase::AwaitingHandshake;
    LoadFlash(device);
}

void SaveFlash(const VirtualDevice& device) {
    if (std::FILE* file = OpenFlashFile(device, "wb")) {
        std::fwrite(device.flash.data(), 1, kFlashSize, file);
        std::fclose(file);
    }
}

void ResetReceiveLatency(VirtualDevice& device) {
    device.chip.latencyMs = kDefaultLatencyMs;
    device.chip.eventEnabled = false;
}

void PurgeReceived(VirtualDevice& device) {
    device.received.clear();
    device.chip.held = 0;
}

void SetLines(VirtualDevice& device, bool dtr, bool rts, SimClock::time_point now) {
    bool wasRunning = device.dtr && device.rts;
    device.dtr = dtr;
    device.rts = rts;
    bool running = dtr && rts;
    if (running == wasRunning || device.listening)
        return;
    device.phase = running ? BootPhase::AwaitingHandshake : BootPhase::Off;
    device.bootsAt = now + device.bootDelay;
    device.frame.clear();
}

bool Transmit(VirtualDevice& device, const SimConfig& config, const uint8_t* bytes,
              uint32_t count, SimClock::time_point now, std::string& notes) {
    if (!HearsBootloaderLine(device) || now < device.bootsAt)
        return true; // nobody listens: the bytes are lost on the line
    SimClock::time_point arrival = config.wireTiming ? std::max(now, device.toDeviceFreeAt) : now;
    bool vanished = false;
    for (uint32_t i = 0; i < count && !vanished; ++i) {
        if (config.wireTiming)
            arrival += ByteTime(device);
        Receive(device, config, bytes[i], arrival, notes, vanished);
    }
    device.toDeviceFreeAt = arrival;
    return !vanished;
}

uint32_t ReadyCount(const VirtualDevice& device, SimClock::time_point now) {
    uint32_t ready = 0;
    for (const WaitingByte& byte : device.received) {
        if (byte.readyAt > now)
            break;
        ++ready;
    }
    return ready;
}

SimClock::time_point ReadyAt(const VirtualDevice& device, uint32_t count) {
    if (count > device.received.size())
        return SimClock::time_point::max();
    SimClock::time_point at{};
    for (uint32_t i = 0; i < count; ++i)
        at = std::max(at, device.received[i].readyAt);
    return at;
}

uint32_t TakeReady(VirtualDevice& device, uint8_t* dest, uint32_t count, SimClock::time_point now) {
    uint32_t taken = std::min(count, ReadyCount(device, now));
    for (uint32_t i = 0; i < taken; ++i) {
        dest[i] = device.received.front().value;
        device.received.pop_front();
    }
    return taken;
}
