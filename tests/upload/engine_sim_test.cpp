// Whole uploads against the virtual device through the real binding, started as the window
// starts them, over the device's faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
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
using Bytes = std::vector<uint8_t>;
constexpr size_t flashSize = 0x8000;

struct Scenario {
    const char* name;
    SimVariables variables;
    bool mayFinish; // false: the device cannot take the whole image
};

// The status timer: a tick every `period` of real time (never faster, whatever the system's
// sleep resolution) until the receive thread has ended. By default a block's time-out is
// then 100 ms.
void PlayStatusTimer(std::chrono::microseconds period = std::chrono::microseconds(100)) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::seconds(120);
    while (upload.receiving.load() && Clock::now() < deadline) {
        auto next = Clock::now() + period;
        while (Clock::now() < next)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        TickCountdown();
    }
    ASSERT_EQ(upload.receiving.load(), 0) << "the upload did not end";
}

// Load, then the start timer: the handshake request goes out while the lines are still
// released, and the device is closed and reopened while the receive thread polls.
void UploadAsTheWindowDoes(std::chrono::microseconds tickPeriod = std::chrono::microseconds(100)) {
    ASSERT_TRUE(OpenDevice(0));
    StartUpload();
    SetControlLines(0, true);
    PlayStatusTimer(tickPeriod);
}

class EngineWithDevice : public ::testing::TestWithParam<Scenario> {
  protected:
    SimSession session;
    Bytes flashBefore;

    void SetUp() override {
        for (uint32_t i = 0; i < imageSize; ++i)
            FlashImage[i] = uint8_t(i * 13 + i / 512);
        flashBefore.resize(flashSize);
        for (size_t i = 0; i < flashSize; ++i)
            flashBefore[i] = uint8_t(i ^ 0x5A);
        std::string name = std::string("engine-") + GetParam().name;
        std::ofstream(name + ".flash", std::ios::binary)
            .write(reinterpret_cast<const char*>(flashBefore.data()), long(flashSize));
        ASSERT_TRUE(StartSim(session, name, GetParam().variables));
        ASSERT_EQ(EnumerateDevices(), 1u);
        upload.done = 0;
        upload.noResponse = 0;
    }
    void TearDown() override {
        WaitForReceiveThread();
        StopSim();
    }

    void ExpectDoneOnlyWithTheImageFlashed() {
        ASSERT_NE(upload.done.load(), upload.noResponse.load()) << "exactly one outcome";
        Bytes flash = FileBytes(session.flashPath);
        ASSERT_EQ(flash.size(), flashSize);
        if (upload.done.load()) {
            EXPECT_TRUE(std::equal(FlashImage, FlashImage + imageSize, flash.begin()));
            EXPECT_EQ(upload.offset.load(), 0x7F40);
        }
        EXPECT_TRUE(
            std::equal(flash.begin() + imageSize, flash.end(), flashBefore.begin() + imageSize))
            << "the bootloader area changed";
    }

    void ExpectOpenedOnceAtATimeAndLeftClosed(bool deviceVanishes) {
        StopSim(); // completes the trace
        EXPECT_EQ(CountTraceLines(session, "FT_Open", "-> 3"), 0);
        int opened = CountTraceLines(session, "FT_Open", "-> 0");
        int closed = CountTraceLines(session, "FT_Close", "-> 0");
        if (!deviceVanishes) {
            EXPECT_EQ(opened, closed);
        }
    }
};

TEST_P(EngineWithDevice, EndsDoneWithTheImageFlashedOrNotResponding) {
    UploadAsTheWindowDoes();
    ExpectDoneOnlyWithTheImageFlashed();
    if (GetParam().mayFinish)
        EXPECT_EQ(upload.done.load(), 1);
    else
        EXPECT_EQ(upload.noResponse.load(), 1);
    ExpectOpenedOnceAtATimeAndLeftClosed(GetParam().variables.count("UNPLUG_AFTER") > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EngineWithDevice,
    ::testing::Values(
        Scenario{"clean", {}, true}, Scenario{"silent", {{"SILENT", "1"}}, false},
        Scenario{"refusals", {{"NAK", "0:1;3:1,2;200:1;508:1-3;hs:1"}}, true},
        Scenario{"refused-for-good", {{"NAK", "9:*"}}, false},
        Scenario{"lost-acknowledgements", {{"DROP", "5:1;300:1-2;hs:1"}}, true},
        // The failed read leaves its 'K' queued; taken for the resend's, it would later let
        // the lost frame of block 100 pass as acknowledged.
        Scenario{"failed-read-then-lost-frame",
                 {{"FAIL", "FT_Read:20=4"}, {"DROP", "100:1"}, {"LATENCY_US", "300"}}, true},
        Scenario{"latency", {{"LATENCY_US", "300"}}, true},
        Scenario{"triple-acknowledgements", {{"TRIPLE_ACK", "1"}}, true},
        Scenario{"unplugged", {{"UNPLUG_AFTER", "100"}}, false},
        // A library whose open, close and polls need stack, as the real one's USB layer does.
        Scenario{"library-stack", {{"STACK", "262144"}}, true},
        Scenario{"mixed",
                 {{"TRIPLE_ACK", "1"}, {"NAK", "7:1"}, {"DROP", "8:1"}, {"LATENCY_US", "50"}},
                 true}),
    [](const ::testing::TestParamInfo<Scenario>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// The counts the window relies on, as the device saw them.
class EngineRetries : public EngineWithDevice {};

TEST_P(EngineRetries, SilentDeviceHearsTheHandshake101Times) {
    UploadAsTheWindowDoes();
    EXPECT_EQ(upload.noResponse.load(), 1);
    StopSim();
    EXPECT_EQ(CountTraceLines(session, "FT_Write", "size=1 data=C1"), 101);
}

INSTANTIATE_TEST_SUITE_P(Silent, EngineRetries,
                         ::testing::Values(Scenario{"silent-count", {{"SILENT", "1"}}, false}));

// The chip holding each reply back up to its 16 ms latency timer, at the command line's tick
// of 10 ms: the handshake's 50 ms and a block's 10 s time-outs are never reached, whether
// the library lets the latency be shortened or not.
TEST(EngineUnderChipLatency, EveryBlockAcknowledgedAtTheFirstSend) {
    for (const char* library : {static_cast<const char*>(nullptr), basicLibraryName}) {
        SCOPED_TRACE(library ? library : "every entry point");
        SimSession session;
        ASSERT_TRUE(StartSim(session, "engine-chip-latency", {{"CHIP_LATENCY", "1"}, {"WIRE", "1"}},
                             library));
        ASSERT_EQ(EnumerateDevices(), 1u);
        upload.done = 0;
        upload.noResponse = 0;
        UploadAsTheWindowDoes(std::chrono::milliseconds(10));
        WaitForReceiveThread();
        StopSim();
        EXPECT_EQ(upload.done.load(), 1);
        // The first goes out while the lines are still released and is lost.
        EXPECT_EQ(CountTraceLines(session, "FT_Write", "size=1 data=C1"), 2);
        EXPECT_EQ(CountTraceLines(session, "# dev=0 block", "send=1 -> K"), 509);
        EXPECT_EQ(CountTraceLines(session, "# dev=0 block", "send=2"), 0);
        int opened = CountTraceLines(session, "FT_Open", "-> 0");
        int tuned = library ? 0 : opened;
        EXPECT_EQ(CountTraceLines(session, "FT_SetChars", "event=75 eventOn=1 error=0"), tuned);
        EXPECT_EQ(CountTraceLines(session, "FT_SetLatencyTimer", "ms=2 -> 0"), tuned);
    }
}

// Block acknowledgements ('K') the program read, from the read data in the trace up to the
// last release of the lines; a 'C','K' handshake reply read meanwhile counts for none.
int AcknowledgementsReadBeforeTheEnd(const std::vector<std::string>& trace) {
    size_t end = trace.size();
    while (end > 0 && trace[end - 1].rfind("FT_ClrDtr", 0) != 0)
        --end;
    int acknowledgements = 0;
    int lastRead = 0;
    for (size_t i = 0; i < end; ++i) {
        const std::string& line = trace[i];
        if (line.rfind("(repeated ", 0) == 0) {
            acknowledgements += lastRead * std::stoi(line.substr(10));
            continue;
        }
        lastRead = 0;
        size_t data = line.find("data=");
        if (line.rfind("FT_Read", 0) != 0 || data == std::string::npos)
            continue;
        for (size_t at = data + 5; at + 1 < line.size(); at += 2)
            lastRead += line.compare(at, 2, "4B") == 0 ? 1 : line.compare(at, 2, "43") == 0 ? -1 : 0;
        acknowledgements += lastRead;
    }
    return acknowledgements;
}

// One upload with every reply 5 ms late. A tick each 50 µs by the clock, between yields: a
// short sleep may last from nothing (Wine) to a millisecond. The handshake times out after
// 0.25 ms, before its reply, and gives up only after 25 ms. During the transfer ticks only
// past a deadline, so that a receive thread kept off the processor cannot time a block out.
void UploadWithLateReplies() {
    upload.done = 0;
    upload.noResponse = 0;
    ASSERT_TRUE(OpenDevice(0));
    StartUpload();
    SetControlLines(0, true);
    auto now = std::chrono::steady_clock::now();
    auto deadline = now + std::chrono::seconds(60);
    auto nextTick = now;
    while (upload.receiving.load()) {
        std::this_thread::yield();
        now = std::chrono::steady_clock::now();
        if (now < nextTick)
            continue;
        nextTick = now + std::chrono::microseconds(50);
        if (upload.state.load() == phaseHandshake || now > deadline)
            TickCountdown();
    }
}

// Replies later than the handshake time-out: each repeated request gets its 'C','K', which
// arrives while a block waits for its acknowledgement. Every block goes to the flash once, in
// order, and the upload ends only once the acknowledgement of the block at 0x7F00 is read.
TEST(EngineWithLateReplies, LateHandshakeRepliesShiftNoAcknowledgement) {
    // A receive thread kept off the processor through the whole delay reads the first reply
    // before it sees the time-out, and no request is repeated: then try again.
    SimSession session;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ASSERT_TRUE(StartSim(session, "engine-late-handshake", {{"LATENCY_US", "5000"}}));
        ASSERT_EQ(EnumerateDevices(), 1u);
        UploadWithLateReplies();
        StopSim();
        if (CountTraceLines(session, "# dev=0 handshake", "-> CK") > 1)
            break;
    }
    EXPECT_EQ(upload.done.load(), 1);
    EXPECT_GT(CountTraceLines(session, "# dev=0 handshake", "-> CK"), 1);
    std::vector<std::string> trace = TraceLines(session);
    std::vector<std::string> blocks;
    for (const std::string& line : trace) {
        if (line.rfind("# dev=0 block ", 0) == 0)
            blocks.push_back(line);
    }
    ASSERT_EQ(blocks.size(), 509u);
    for (size_t block = 0; block < blocks.size(); ++block)
        ASSERT_EQ(blocks[block].find("# dev=0 block " + std::to_string(block) + " "), 0u)
            << blocks[block];
    EXPECT_EQ(CountTraceLines(session, "# dev=0 block", "send=1 -> K"), 509);
    EXPECT_EQ(AcknowledgementsReadBeforeTheEnd(trace), 509);
}

TEST(EngineWithDeviceRounds, TwoUploadsInARowBothFinish) {
    SimSession session;
    ASSERT_TRUE(StartSim(session, "engine-two-rounds", {}));
    ASSERT_EQ(EnumerateDevices(), 1u);
    for (int round = 0; round < 2; ++round) {
        upload.done = 0;
        FlashImage[100] = uint8_t(round);
        UploadAsTheWindowDoes();
        EXPECT_EQ(upload.done.load(), 1) << round;
        EXPECT_EQ(FileBytes(session.flashPath)[100], round);
    }
    StopSim();
}
} // namespace
