// The configurable faults and timing, as the variables in sim/README.md describe them, and
// the call trace.
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "tests/sim/sim_test_fixture.h"

namespace {
using Faults = SimTest;
using Trace = SimTest;

const std::vector<uint8_t> kData(64, 0x5A);

// Opened, then the handshake request; what came back.
std::string Handshake(const LoadedSim& sim, FT_HANDLE& handle) {
    handle = OpenForBootloader(sim);
    if (!handle || WriteBytes(sim, handle, {0xC1}) != FT_OK)
        return "<failed>";
    return ReadText(sim, handle, 2);
}

// One send of block `block`; its reply ("" for none within the read time-out).
std::string Send(const LoadedSim& sim, FT_HANDLE handle, uint32_t block, uint32_t count = 1) {
    if (WriteBytes(sim, handle, BlockFrame(block * 64, kData)) != FT_OK)
        return "<failed>";
    return ReadText(sim, handle, count);
}

TEST_F(Faults, NakAndDropHitTheGivenSendsOfTheGivenBlocks) {
    Load({{"KARVEX_SIM_NAK", "1:2;hs:1"}, {"KARVEX_SIM_DROP", "2:1-2"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "N");
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    ASSERT_EQ(ReadText(sim, handle, 2), "CK");
    EXPECT_EQ(Send(sim, handle, 0), "K");
    EXPECT_EQ(Send(sim, handle, 1), "K");
    EXPECT_EQ(Send(sim, handle, 1), "N");
    EXPECT_EQ(Send(sim, handle, 1), "K");
    EXPECT_EQ(Send(sim, handle, 2), "");
    EXPECT_EQ(Send(sim, handle, 2), "");
    EXPECT_EQ(Send(sim, handle, 2), "K");
    EXPECT_EQ(Send(sim, handle, 3), "K");
}

// A late reply holds up the replies behind it, as a stalled line does. Timed by the virtual
// clock: each read waits out its 200 ms time-out at most.
TEST_F(Faults, LateRepliesHoldUpTheRepliesBehindThem) {
    Load({{"KARVEX_SIM_LATE", "hs:1=300000;1:2=500000"}, {"KARVEX_SIM_VIRTUAL_CLOCK", "1000"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "") << "at 200 ms";
    ASSERT_EQ(ReadText(sim, handle, 2), "CK") << "at 300 ms";
    EXPECT_EQ(Send(sim, handle, 1), "K");
    EXPECT_EQ(Send(sim, handle, 1), "") << "at 500 ms";
    EXPECT_EQ(Send(sim, handle, 2, 2), "") << "at 700 ms, block 2's 'K' behind the late one";
    EXPECT_EQ(ReadText(sim, handle, 2), "KK") << "at 800 ms";
}

TEST_F(Faults, EveryBlockDroppedButTheHandshakeAnswered) {
    Load({{"KARVEX_SIM_DROP", "*"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "CK");
    EXPECT_EQ(Send(sim, handle, 0), "");
    EXPECT_EQ(Send(sim, handle, 508), "");
}

TEST_F(Faults, SilentDeviceNeverAnswers) {
    Load({{"KARVEX_SIM_SILENT", "1"}});
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(Handshake(sim, handle), "");
}

TEST_F(Faults, TripleAcknowledgement) {
    Load({{"KARVEX_SIM_TRIPLE_ACK", "1"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "CK");
    EXPECT_EQ(Send(sim, handle, 0, 8), "KKK");
}

// The device vanishes after its second block: every call gives 4 and writes nothing back.
TEST_F(Faults, UnpluggedAfterABlock) {
    std::string flash = TestFile(".flash");
    Load({{"KARVEX_SIM_UNPLUG_AFTER", "2"}, {"KARVEX_SIM_FLASH", flash}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "CK");
    ASSERT_EQ(Send(sim, handle, 0), "K");
    uint32_t written = 0;
    std::vector<uint8_t> frame = BlockFrame(0x40, kData);
    EXPECT_EQ(sim.FT_Write(handle, frame.data(), 69, &written), FT_OK) << "the block went out";
    uint32_t waiting = 77;
    EXPECT_EQ(sim.FT_GetQueueStatus(handle, &waiting), FT_IO_ERROR);
    EXPECT_EQ(waiting, 77u);
    char buffer[4];
    uint32_t got = 77;
    EXPECT_EQ(sim.FT_Read(handle, buffer, 1, &got), FT_IO_ERROR);
    EXPECT_EQ(got, 77u);
    written = 77;
    EXPECT_EQ(sim.FT_Write(handle, frame.data(), 69, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 77u);
    EXPECT_EQ(sim.FT_Close(handle), FT_IO_ERROR);
    FT_HANDLE slot = reinterpret_cast<FT_HANDLE>(0x77);
    EXPECT_EQ(sim.FT_Open(0, &slot), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(slot, reinterpret_cast<FT_HANDLE>(0x77));
    uint32_t count = 77;
    EXPECT_EQ(sim.FT_CreateDeviceInfoList(&count), FT_IO_ERROR);
    EXPECT_EQ(count, 77u);
    std::vector<uint8_t> saved = FileBytes(flash);
    ASSERT_EQ(saved.size(), 0x8000u) << "flash saved when the device vanished";
    EXPECT_EQ(std::vector<uint8_t>(saved.begin(), saved.begin() + 128), std::vector<uint8_t>(128, 0x5A));
    EXPECT_EQ(saved[128], 0xFF);
}

TEST_F(Faults, FailingCallsLeaveTheirOutputsAndTheDeviceAlone) {
    Load({{"KARVEX_SIM_FAIL", "FT_Open:2;FT_SetDtr;FT_GetDeviceInfoList;FT_SetBaudRate:1=2"}});
    FT_DEVICE_LIST_INFO_NODE node{};
    node.Flags = 0x77;
    uint32_t count = 1;
    EXPECT_EQ(sim.FT_GetDeviceInfoList(&node, &count), FT_IO_ERROR);
    EXPECT_EQ(node.Flags, 0x77u);
    EXPECT_EQ(sim.FT_CreateDeviceInfoList(&count), FT_OK) << "only the listing fails";

    FT_HANDLE handle = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK);
    ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    FT_HANDLE slot = reinterpret_cast<FT_HANDLE>(0x77);
    EXPECT_EQ(sim.FT_Open(0, &slot), FT_DEVICE_NOT_OPENED) << "second open refused";
    EXPECT_EQ(slot, reinterpret_cast<FT_HANDLE>(0x77));
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK) << "third open allowed";

    EXPECT_EQ(sim.FT_SetBaudRate(handle, 500000), 2u) << "explicit status";
    EXPECT_EQ(sim.FT_SetBaudRate(handle, 500000), FT_OK);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 200, 200), FT_OK);
    EXPECT_EQ(sim.FT_SetDtr(handle), FT_IO_ERROR);
    EXPECT_EQ(sim.FT_SetDtr(handle), FT_IO_ERROR) << "every call when no number is given";
    ASSERT_EQ(sim.FT_SetRts(handle), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "") << "the refused SetDtr left DTR released";
}

TEST_F(Faults, FailingDeviceCount) {
    Load({{"KARVEX_SIM_FAIL", "FT_CreateDeviceInfoList"}});
    uint32_t count = 77;
    EXPECT_EQ(sim.FT_CreateDeviceInfoList(&count), FT_IO_ERROR);
    EXPECT_EQ(count, 77u);
}

TEST_F(Faults, LatencyDelaysEveryReply) {
    Load({{"KARVEX_SIM_LATENCY_US", "200000"}});
    FT_HANDLE handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 5000, 5000), FT_OK);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    uint32_t waiting = 77;
    ASSERT_EQ(sim.FT_GetQueueStatus(handle, &waiting), FT_OK);
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(ReadText(sim, handle, 2), "CK");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

// Split: the 'K' of 'C','K' comes later than the 'C'. A start-up delay: the bootloader hears
// nothing for a while after the lines assert it. Listening: it answers with the lines
// released. Slow line calls take their time.
TEST_F(Faults, SplitRepliesStartUpDelayListeningAndSlowLines) {
    using namespace std::chrono;
    Load({{"KARVEX_SIM_SPLIT_US", "300000"}});
    FT_HANDLE handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "C") << "the 'K' within the 200 ms read time-out";
    EXPECT_EQ(ReadText(sim, handle, 2), "K");

    Load({{"KARVEX_SIM_BOOT_DELAY_US", "300000"}});
    handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "") << "heard during the start-up delay";
    std::this_thread::sleep_for(milliseconds(150));
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "CK");

    Load({{"KARVEX_SIM_LISTENING", "1"}, {"KARVEX_SIM_LINE_DELAY_US", "100000"}});
    handle = OpenForBootloader(sim); // asserts both lines: two slow calls
    ASSERT_NE(handle, nullptr);
    auto start = steady_clock::now();
    ASSERT_EQ(sim.FT_ClrDtr(handle), FT_OK);
    EXPECT_GE(steady_clock::now() - start, milliseconds(100));
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "CK") << "not heard with DTR released";
}

// Under the virtual clock the device's time passes by the step at each poll and by the
// waits of reads and line calls, never by the host's time: the start-up delay, latency and
// split are counted in polls, and a read jumps to its bytes or its time-out without waiting.
TEST_F(Faults, VirtualClockPassesOnlyAtPollsReadsAndLineCalls) {
    using namespace std::chrono;
    Load({{"KARVEX_SIM_VIRTUAL_CLOCK", "1000"}, {"KARVEX_SIM_BOOT_DELAY_US", "1000"},
          {"KARVEX_SIM_LATENCY_US", "3000"}, {"KARVEX_SIM_SPLIT_US", "2000"}});
    FT_HANDLE handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK); // at 0 ms, during the start-up delay
    std::this_thread::sleep_for(milliseconds(20));
    auto poll = [&] {
        uint32_t waiting = 77;
        return sim.FT_GetQueueStatus(handle, &waiting) == FT_OK ? waiting : 77;
    };
    EXPECT_EQ(poll(), 0u);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK); // at 1 ms: 'C' at 4 ms, 'K' at 6 ms
    std::vector<uint32_t> polls;
    for (int i = 0; i < 5; ++i)
        polls.push_back(poll());
    EXPECT_EQ(polls, (std::vector<uint32_t>{0, 0, 1, 1, 2}));
    EXPECT_EQ(ReadText(sim, handle, 2), "CK");

    ASSERT_EQ(sim.FT_SetTimeouts(handle, 2, 2), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, BlockFrame(0, kData)), FT_OK); // at 6 ms: 'K' at 9 ms
    EXPECT_EQ(ReadText(sim, handle, 1), "") << "the time-out ends at 8 ms";
    EXPECT_EQ(ReadText(sim, handle, 1), "K") << "the read ends at 9 ms";

    Load({{"KARVEX_SIM_VIRTUAL_CLOCK", "1000"}, {"KARVEX_SIM_LINE_DELAY_US", "3000000"}});
    auto start = steady_clock::now();
    handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 10000, 10000), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 1), "");
    EXPECT_LT(steady_clock::now() - start, seconds(3)) << "16 s of line calls and read time-out";
}

// 40 frames of 69 bytes at 500,000 baud take 55.2 ms on the line; the last 'K' cannot be
// there sooner. The write time comes before each acknowledgement.
TEST_F(Faults, WireTimingPacesReplies) {
    Load({{"KARVEX_SIM_WIRE", "1"}, {"KARVEX_SIM_BLOCK_WRITE_US", "0"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "CK");
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 5000, 5000), FT_OK);
    std::vector<uint8_t> frames;
    for (uint32_t block = 0; block < 40; ++block) {
        std::vector<uint8_t> frame = BlockFrame(block * 64, kData);
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(WriteBytes(sim, handle, frames), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 40), std::string(40, 'K'));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(55200));

    UnloadSim(sim);
    Load({{"KARVEX_SIM_WIRE", "1"}, {"KARVEX_SIM_BLOCK_WRITE_US", "300000"}});
    ASSERT_EQ(Handshake(sim, handle), "CK");
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 5000, 5000), FT_OK);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(sim, handle, 0), "K");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

// The chip's receive buffer: replies wait in it until it is full, its latency timer runs out
// or the event character arrives. Without wire timing a reply reaches the buffer at the
// moment of the write, so what the next query reports shows whether it was passed on.
class ChipLatency : public SimTest {
  protected:
    void SetUp() override {
        Load({{"KARVEX_SIM_CHIP_LATENCY", "1"}});
        SetLatencyTimer = reinterpret_cast<FT_SetLatencyTimerFn>(
            FindLibrarySymbol(sim.module, "FT_SetLatencyTimer"));
        SetChars = reinterpret_cast<FT_SetCharsFn>(FindLibrarySymbol(sim.module, "FT_SetChars"));
        ASSERT_TRUE(SetLatencyTimer && SetChars);
        handle = OpenForBootloader(sim);
        ASSERT_NE(handle, nullptr);
    }

    // Readable bytes right after `requests` more handshake requests, each answered 'C','K'.
    uint32_t ReadableAfterRequests(size_t requests) {
        uint32_t waiting = 77;
        if (WriteBytes(sim, handle, std::vector<uint8_t>(requests, 0xC1)) != FT_OK ||
            sim.FT_GetQueueStatus(handle, &waiting) != FT_OK)
            return 77;
        return waiting;
    }

    // Time until a reply to one handshake request can be read whole.
    std::chrono::steady_clock::duration HandshakeTime() {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
        EXPECT_EQ(ReadText(sim, handle, 2), "CK");
        return std::chrono::steady_clock::now() - start;
    }

    FT_SetLatencyTimerFn SetLatencyTimer = nullptr;
    FT_SetCharsFn SetChars = nullptr;
    FT_HANDLE handle = nullptr;
};

TEST_F(ChipLatency, ReplyWaitsForTheTimerAFullBufferOrTheEventCharacter) {
    EXPECT_GE(HandshakeTime(), std::chrono::milliseconds(16)) << "the default timer";

    ASSERT_EQ(SetLatencyTimer(handle, 255), FT_OK);
    EXPECT_EQ(ReadableAfterRequests(30), 0u) << "60 bytes are held";
    EXPECT_EQ(ReadableAfterRequests(1), 62u) << "62 bytes fill the buffer";
    EXPECT_EQ(ReadableAfterRequests(1), 62u) << "the next ones start a new buffer";
    ASSERT_EQ(sim.FT_Purge(handle, FT_PURGE_RX), FT_OK);

    ASSERT_EQ(SetChars(handle, 'K', 1, 0, 0), FT_OK);
    EXPECT_EQ(ReadableAfterRequests(1), 2u) << "'K' passes 'C','K' on";
    ASSERT_EQ(SetChars(handle, 'C', 1, 0, 0), FT_OK);
    EXPECT_EQ(ReadableAfterRequests(1), 3u) << "'C' passes itself on, 'K' stays";
    ASSERT_EQ(SetChars(handle, 'K', 0, 0, 0), FT_OK);
    EXPECT_EQ(ReadableAfterRequests(1), 3u) << "a disabled event character does nothing";
}

TEST_F(ChipLatency, EveryOpenRestoresTheDefaults) {
    EXPECT_EQ(SetLatencyTimer(handle, 1), 6u) << "below the chip's 2 ms";
    ASSERT_EQ(SetLatencyTimer(handle, 2), FT_OK);
    ASSERT_EQ(SetChars(handle, 'K', 1, 0, 0), FT_OK);
    ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    EXPECT_EQ(SetChars(handle, 'K', 1, 0, 0), FT_INVALID_HANDLE);
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK);
    EXPECT_GE(HandshakeTime(), std::chrono::milliseconds(16));
}

TEST_F(Faults, UnreadableVariablesAreIgnoredAndNamedInTheTrace) {
    std::string trace = TestFile(".trace");
    Load({{"KARVEX_SIM_TRACE", trace},
          {"KARVEX_SIM_NAK", "0:1;x:1"},
          {"KARVEX_SIM_DROP", "0:3-1"},
          {"KARVEX_SIM_FAIL", "FT_Bogus"},
          {"KARVEX_SIM_WIRE", "yes"},
          {"KARVEX_SIM_UNPLUG_AFTER", "two"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Handshake(sim, handle), "CK");
    EXPECT_EQ(Send(sim, handle, 0), "K") << "no part of an unreadable NAK list applies";
    std::vector<std::string> lines = FileLines(trace);
    for (const char* value : {"KARVEX_SIM_NAK=0:1;x:1", "KARVEX_SIM_DROP=0:3-1",
                              "KARVEX_SIM_FAIL=FT_Bogus", "KARVEX_SIM_WIRE=yes",
                              "KARVEX_SIM_UNPLUG_AFTER=two"}) {
        std::string expected = std::string("# ignored, cannot be read: ") + value;
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    }
}

// The lines other tests rely on: call, device, handle, arguments, status, results.
TEST_F(Trace, RecordsCallsWithDeviceHandleArgumentsAndStatus) {
    std::string trace = TestFile(".trace");
    Load({{"KARVEX_SIM_TRACE", trace}});
    FT_HANDLE first = OpenForBootloader(sim);
    ASSERT_NE(first, nullptr);
    FT_HANDLE refused = nullptr;
    EXPECT_EQ(sim.FT_Open(0, &refused), FT_DEVICE_NOT_OPENED);
    ASSERT_EQ(WriteBytes(sim, first, {0xC1}), FT_OK);
    ASSERT_EQ(ReadText(sim, first, 2), "CK");
    ASSERT_EQ(WriteBytes(sim, first, BlockFrame(0x40, {0x01})), FT_OK);
    ASSERT_EQ(sim.FT_ClrDtr(first), FT_OK);
    ASSERT_EQ(sim.FT_Close(first), FT_OK);
    EXPECT_EQ(sim.FT_ClrRts(first), FT_INVALID_HANDLE);
    UnloadSim(sim);

    const std::vector<std::string> expected = {
        "FT_Open dev=0 handle=0x1001 -> 0",
        "FT_SetBaudRate dev=0 handle=0x1001 baud=500000 -> 0",
        "FT_SetDataCharacteristics dev=0 handle=0x1001 bits=8 stop=0 parity=0 -> 0",
        "FT_SetTimeouts dev=0 handle=0x1001 read=200 write=200 -> 0",
        "FT_SetDtr dev=0 handle=0x1001 -> 0",
        "FT_SetRts dev=0 handle=0x1001 -> 0",
        "FT_Open dev=0 handle=- -> 3",
        "FT_Write dev=0 handle=0x1001 size=1 data=C1 -> 0 written=1",
        "# dev=0 handshake send=1 -> CK",
        "FT_Read dev=0 handle=0x1001 want=2 -> 0 got=2 data=434B",
        "FT_Write dev=0 handle=0x1001 size=6 data=0000400101BE -> 0 written=6",
        "# dev=0 block 1 addr=0x0040 count=1 send=1 -> K",
        "FT_ClrDtr dev=0 handle=0x1001 -> 0",
        "FT_Close dev=0 handle=0x1001 -> 0",
        "FT_ClrRts dev=- handle=0x1001 -> 1",
    };
    EXPECT_EQ(FileLines(trace), expected);
}

TEST_F(Trace, PollingLoopIsSummarised) {
    std::string trace = TestFile(".trace");
    Load({{"KARVEX_SIM_TRACE", trace}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK);
    uint32_t waiting = 0;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(sim.FT_GetQueueStatus(handle, &waiting), FT_OK);
    ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    const std::vector<std::string> expected = {
        "FT_Open dev=0 handle=0x1001 -> 0",
        "FT_GetQueueStatus dev=0 handle=0x1001 -> 0 rx=0",
        "(repeated 999 more times)",
        "FT_Close dev=0 handle=0x1001 -> 0",
    };
    EXPECT_EQ(FileLines(trace), expected);
}
} // namespace
