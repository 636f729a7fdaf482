// The upload engine against the in-process fake library: the test plays the device's
// bootloader and the window's status timer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "platform/platform.h"
#include "tests/link/fake_driver.h"
#include "upload/engine.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int blockCount = 509;
const Bytes handshakeFrame{handshakeRequest};

// The engine's clock in these tests: a millisecond per status-timer tick, so that its quiet
// waits count in ticks, whatever the host's speed.
std::atomic<uint32_t> testClockMs{0};
uint32_t TestClock() {
    return testClockMs.load();
}

Bytes BlockFrame(int block) {
    uint8_t frame[frameBufferSize];
    uint32_t length = BuildBlockFrame(FlashImage, block * blockSize, frame);
    return Bytes(frame, frame + length);
}

// Answers the handshake with 'C','K' and every well-formed block with 'K' (writing it into
// its flash), unless a reply is scripted for that send. Runs with the fake's lock held.
struct Bootloader {
    std::vector<std::string> handshakeReplies;            // per send; then "CK"
    std::map<int, std::vector<std::string>> blockReplies; // block -> per send; then "K"
    std::map<int, std::function<void(int send)>> onBlock; // called at each send of a block
    Bytes flash = Bytes(0x8000, 0xFF);
    int handshakes = 0;
    std::map<int, int> sends;
    int badFrames = 0;

    std::string Answer(const Bytes& frame) {
        if (frame == handshakeFrame)
            return Scripted(handshakeReplies, handshakes++, "CK");
        if (frame.size() < 5 || frame[0] != 0 || frame.size() != frame[3] + 5u || Sum(frame) != 0) {
            ++badFrames;
            return "";
        }
        int address = frame[1] << 8 | frame[2];
        int block = address / blockSize;
        int send = sends[block]++;
        if (onBlock.count(block))
            onBlock[block](send);
        std::string reply = Scripted(blockReplies[block], send, "K");
        if (!reply.empty() && reply[0] == 'K')
            std::copy(frame.begin() + 4, frame.end() - 1, flash.begin() + address);
        return reply;
    }
    static std::string Scripted(const std::vector<std::string>& replies, int send,
                                const char* otherwise) {
        return size_t(send) < replies.size() ? replies[size_t(send)] : otherwise;
    }
    static uint8_t Sum(const Bytes& frame) {
        uint8_t sum = 0;
        for (uint8_t byte : frame)
            sum = uint8_t(sum + byte);
        return sum;
    }
};

class Engine : public ::testing::Test {
  protected:
    Bootloader bootloader;

    void SetUp() override {
        WaitForReceiveThread();
        InstallFakeDriver({"KARVEX"});
        ASSERT_EQ(EnumerateDevices(), 1u);
        ASSERT_TRUE(OpenDevice(0));
        for (uint32_t i = 0; i < imageSize; ++i)
            FlashImage[i] = uint8_t(i * 7 + i / 256);
        upload.done = 0;
        upload.noResponse = 0;
        uploadClockMs = TestClock;
        fakeDriver.respond = [this](const Bytes& frame) { return bootloader.Answer(frame); };
        TakeCalls();
    }
    void TearDown() override {
        WaitForReceiveThread();
        uploadClockMs = MonotonicMilliseconds;
    }

    // Plays the status timer until the receive thread has ended. It ticks only while the
    // thread waits in vain (it has polled a few times since the last write), once per poll at
    // most, and past a countdown run out only once a whole pass has shown that the thread
    // waits for a quiet line rather than sending again. So each time-out and quiet wait lasts
    // exactly its ticks and an answered frame never times out.
    bool PlayTimerUntilEnd() {
        auto deadline = Clock::now() + std::chrono::seconds(30);
        int64_t polledAtTick = -1;
        while (upload.receiving.load()) {
            if (Clock::now() > deadline) {
                std::lock_guard<std::recursive_mutex> guard(fakeDriver.lock);
                fakeDriver.unplugged = true; // forces an end, so later tests can run
                deadline = Clock::now() + std::chrono::hours(1);
                ADD_FAILURE() << "the upload did not end";
            }
            std::lock_guard<std::recursive_mutex> guard(fakeDriver.lock);
            int64_t pollsNeeded = upload.countdown.load() > 0 ? 1 : 2;
            if (fakeDriver.pollsSinceWrite >= 3 && fakeDriver.polls >= polledAtTick + pollsNeeded) {
                polledAtTick = fakeDriver.polls;
                TickCountdown();
                ++fakeDriver.ticks;
                ++testClockMs;
            } else {
                std::this_thread::yield();
            }
        }
        return !::testing::Test::HasFailure();
    }

    std::vector<FakeFrame> Frames() {
        std::lock_guard<std::recursive_mutex> guard(fakeDriver.lock);
        return fakeDriver.frames;
    }
    // Block frames written, in order, as block numbers (-1 for a handshake request).
    std::vector<int> Sequence() {
        std::vector<int> blocks;
        for (const FakeFrame& frame : Frames())
            blocks.push_back(
                frame.bytes == handshakeFrame ? -1 : (frame.bytes[1] << 8 | frame.bytes[2]) / 64);
        return blocks;
    }
    static std::vector<int> EveryBlockOnce() {
        std::vector<int> blocks{-1};
        for (int block = 0; block < blockCount; ++block)
            blocks.push_back(block);
        return blocks;
    }
    void ExpectDeviceClosedAndReleased() {
        std::vector<std::string> calls = TakeCalls();
        ASSERT_GE(calls.size(), 5u);
        std::vector<std::string> tail(calls.end() - 5, calls.end());
        EXPECT_EQ(tail[0].substr(0, 6), "ClrDtr");
        EXPECT_EQ(tail[1].substr(0, 6), "ClrRts");
        EXPECT_EQ(tail[2].substr(0, 5), "Close");
        EXPECT_EQ(tail[3].substr(0, 6), "Open 0");
        EXPECT_EQ(tail[4], "Close " + HandleName(DeviceHandle(0)));
        EXPECT_EQ(fakeDriver.openHandle[0], nullptr);
        EXPECT_FALSE(fakeDriver.dtr[0] || fakeDriver.rts[0]);
        EXPECT_EQ(upload.receiving.load(), 0);
        EXPECT_EQ(upload.running.load(), 0);
    }
    // The ticks of `waits` quiet waits and no time-out. A wait may take one tick more: the
    // timer can tick between the poll and the look at the clock of the pass that ends it.
    void ExpectQuietWaitsOnly(uint32_t waits) {
        EXPECT_GE(fakeDriver.ticks, waits * QuietWaitMs());
        EXPECT_LE(fakeDriver.ticks, waits * (QuietWaitMs() + 1));
    }
    void ExpectFlashIsTheImage() {
        EXPECT_TRUE(std::equal(FlashImage, FlashImage + imageSize, bootloader.flash.begin()));
        EXPECT_TRUE(std::all_of(bootloader.flash.begin() + imageSize, bootloader.flash.end(),
                                [](uint8_t byte) { return byte == 0xFF; }));
    }
};

TEST_F(Engine, SilentDeviceGetsEveryHandshakeRetryThenNoResponse) {
    bootloader.handshakeReplies.assign(200, "");
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    std::vector<FakeFrame> frames = Frames();
    ASSERT_EQ(frames.size(), 101u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].bytes, handshakeFrame);
        EXPECT_EQ(frames[i].tick, int64_t(5 * i));
    }
    EXPECT_EQ(upload.noResponse.load(), 1);
    EXPECT_EQ(upload.done.load(), 0);
    EXPECT_EQ(upload.offset.load(), 0);
    ExpectDeviceClosedAndReleased();
}

TEST_F(Engine, AcknowledgedUploadSendsEveryBlockOnceAndEndsDone) {
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(Sequence(), EveryBlockOnce()); // the block at 0 right after the handshake
    std::vector<FakeFrame> frames = Frames();
    for (int block = 0; block < blockCount; ++block)
        ASSERT_EQ(frames[size_t(block) + 1].bytes, BlockFrame(block)) << block;
    // No time-out: only the quiet waits after the first block and after the last.
    ExpectQuietWaitsOnly(2);
    EXPECT_EQ(upload.done.load(), 1);
    EXPECT_EQ(upload.noResponse.load(), 0);
    EXPECT_EQ(upload.offset.load(), 0x7F40);
    EXPECT_EQ(bootloader.badFrames, 0);
    ExpectFlashIsTheImage();
    ExpectDeviceClosedAndReleased();
}

TEST_F(Engine, WrongHandshakeRepliesAreRepeatedAtOnce) {
    bootloader.handshakeReplies = {"CN", "KC", "C\x4B\x4B"};
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    std::vector<int> expected = EveryBlockOnce();
    expected.insert(expected.begin(), {-1, -1});
    EXPECT_EQ(Sequence(), expected);
    ExpectQuietWaitsOnly(3); // and one after the repeated request
    EXPECT_EQ(upload.done.load(), 1);
}

TEST_F(Engine, RefusedBlockGoesOutAgainAtOnceUnchanged) {
    bootloader.blockReplies[5] = {"N", "N"};
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    std::vector<int> expected = EveryBlockOnce();
    expected.insert(expected.begin() + 7, {5, 5});
    EXPECT_EQ(Sequence(), expected);
    std::vector<FakeFrame> frames = Frames();
    EXPECT_EQ(frames[7].bytes, frames[6].bytes);
    EXPECT_EQ(frames[8].bytes, frames[6].bytes);
    EXPECT_EQ(frames[6].bytes.size(), 69u);
    ExpectQuietWaitsOnly(3); // and one after the repeated block
    EXPECT_EQ(upload.done.load(), 1);
    ExpectFlashIsTheImage();
}

// The image changes after the first send: every retransmission still carries the bytes
// the frame was built with.
TEST_F(Engine, UnacknowledgedBlockIsSentElevenTimesThenNoResponse) {
    bootloader.blockReplies[7].assign(20, "");
    bootloader.onBlock[7] = [](int send) {
        if (send == 0)
            FlashImage[7 * blockSize + 3] ^= 0xFF;
    };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    std::vector<FakeFrame> frames = Frames();
    ASSERT_EQ(frames.size(), 1u + 7 + 11);
    for (size_t i = 8; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].bytes, frames[8].bytes);
        EXPECT_EQ(frames[i].tick - frames[8].tick, int64_t(1000 * (i - 8)));
    }
    FlashImage[7 * blockSize + 3] ^= 0xFF;
    EXPECT_EQ(frames[8].bytes, BlockFrame(7));
    EXPECT_EQ(upload.noResponse.load(), 1);
    EXPECT_EQ(upload.done.load(), 0);
    EXPECT_EQ(upload.offset.load(), 8 * blockSize);
    ExpectDeviceClosedAndReleased();
}

// 'K','K','K' all waiting when block 3's reply is read count as one acknowledgement: block 4's
// refusal is then seen, and block 4 goes out again.
TEST_F(Engine, SeveralAcknowledgementsInOneReadCountOnce) {
    bootloader.blockReplies[3] = {"KKK"};
    bootloader.blockReplies[4] = {"N"};
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    std::vector<int> expected = EveryBlockOnce();
    expected.insert(expected.begin() + 6, 4);
    EXPECT_EQ(Sequence(), expected);
    EXPECT_EQ(upload.done.load(), 1);
    ExpectFlashIsTheImage();
}

// The receive thread starts before the handshake request is written and its counters armed;
// it must not take the previous upload's spent budget and zero countdown for its own.
TEST_F(Engine, ThreadWaitsForTheFirstSendToBeArmed) {
    upload.retriesLeft = 0;
    upload.countdown = 0;
    fakeDriver.delayNextWriteMs = 30;
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(Sequence(), EveryBlockOnce());
    EXPECT_EQ(upload.noResponse.load(), 0);
    EXPECT_EQ(upload.done.load(), 1);
}

// M7: a read that fails, or transfers nothing, is a wrong reply, though the receive buffer
// still holds the previous 'K'.
TEST_F(Engine, OnlyBytesReallyReadAreJudged) {
    bootloader.onBlock[3] = [](int send) {
        if (send == 0)
            fakeDriver.emptyReads = 1;
    };
    bootloader.onBlock[9] = [](int send) {
        if (send == 0)
            fakeDriver.failing["Read"] = {FT_IO_ERROR, 1};
    };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    std::vector<int> expected = EveryBlockOnce();
    expected.insert(expected.begin() + 11, 9);
    expected.insert(expected.begin() + 5, 3);
    EXPECT_EQ(Sequence(), expected);
    EXPECT_EQ(upload.done.load(), 1);
    ExpectFlashIsTheImage();
}

// M8: a failing queue query means nothing is waiting, whatever count it left behind.
TEST_F(Engine, FailingQueueQueryCountsAsNothingWaiting) {
    bootloader.onBlock[5] = [](int) {
        fakeDriver.failedQueryCounts = true;
        fakeDriver.failing["GetQueueStatus"] = {FT_IO_ERROR};
    };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(bootloader.sends[5], 11);
    EXPECT_EQ(bootloader.sends.count(6), 0u);
    EXPECT_EQ(upload.noResponse.load(), 1);
    EXPECT_EQ(upload.done.load(), 0);
}

// A device unplugged mid-upload fails every call and leaves the old 'K' in the receive
// buffer; it cannot be opened again. The upload ends at once as not responding, never as
// done, without sending the block again; plugged back in, it takes the next upload.
TEST_F(Engine, UnpluggedDeviceEndsAtOnceAsNoResponse) {
    bootloader.onBlock[100] = [](int) { fakeDriver.unplugged = true; };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(upload.noResponse.load(), 1);
    EXPECT_EQ(upload.deviceGone.load(), 1);
    EXPECT_EQ(upload.done.load(), 0);
    EXPECT_EQ(upload.offset.load(), 101 * blockSize);
    std::vector<std::string> calls = TakeCalls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& call) { return call.find(" 69") != std::string::npos; }),
              101);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Open 0 refused"), 1); // no reopen loop
    ExpectQuietWaitsOnly(1); // the wait after the first block only

    fakeDriver.unplugged = false; // plugged in again: closed, as a new device is
    fakeDriver.openHandle[0] = nullptr;
    bootloader = Bootloader{};
    ASSERT_TRUE(OpenDeviceForUpload(0));
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(upload.done.load(), 1);
    EXPECT_EQ(upload.deviceGone.load(), 0);
    ExpectFlashIsTheImage();
}

// A call that fails once with an I/O error, whose reopen succeeds, is a glitch: the upload
// goes on and ends done.
TEST_F(Engine, SingleFailedCallWithTheDeviceStillThereIsAGlitch) {
    bootloader.onBlock[30] = [](int) { fakeDriver.failing["GetQueueStatus"] = {FT_IO_ERROR, 1}; };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(upload.done.load(), 1);
    EXPECT_EQ(upload.deviceGone.load(), 0);
    EXPECT_EQ(bootloader.sends[30], 1);
    ExpectFlashIsTheImage();
}

// A device closed under the upload that then refuses to open again: the recovery fails on
// every poll, and the time-outs still end the upload.
TEST_F(Engine, DeviceThatCannotBeReopenedStillTimesOut) {
    fakeDriver.respond = [this](const Bytes& frame) {
        if (bootloader.handshakes == 0) {
            fakeDriver.openHandle[0] = nullptr;
            fakeDriver.failing["Open"] = {FT_DEVICE_NOT_OPENED};
        }
        return bootloader.Answer(frame);
    };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(bootloader.handshakes, 1); // every retransmission fails on the dead handle
    EXPECT_EQ(upload.noResponse.load(), 1);
}

// The window's close-and-reopen right after the handshake request, while the thread polls.
TEST_F(Engine, ReopenByTheStartStepWhileThreadPolls) {
    for (int round = 0; round < 20; ++round) {
        bootloader = Bootloader{};
        SetUp();
        StartUpload();
        SetControlLines(0, true);
        ASSERT_TRUE(PlayTimerUntilEnd());
        EXPECT_EQ(upload.done.load(), 1) << round;
        for (const std::string& call : TakeCalls())
            ASSERT_EQ(call.find("already open"), std::string::npos) << call;
        ExpectFlashIsTheImage();
    }
}

// Load right after `done`: the open waits until the end has released the lines and closed the
// device (its last close made slow here), instead of meeting the device still open.
TEST_F(Engine, OpenForTheNextUploadWaitsForTheEnd) {
    // The end closes twice: in the close-and-reopen of the release, then for good.
    bootloader.onBlock[blockCount - 1] = [](int) { fakeDriver.slowCloseIn = 2; };
    StartUpload();
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!upload.done.load() && Clock::now() < deadline) {
        ++testClockMs; // the end waits for a quiet line
        std::this_thread::yield();
    }
    ASSERT_EQ(upload.done.load(), 1);
    EXPECT_TRUE(OpenDeviceForUpload(0));
    for (const std::string& call : TakeCalls())
        EXPECT_EQ(call.find("already open"), std::string::npos) << call;
    EXPECT_NE(DeviceHandle(0), nullptr);
    EXPECT_EQ(fakeDriver.openHandle[0], DeviceHandle(0));
}

// Another device opened by a Load while the upload ends (currentDevice changed): the end
// still releases and closes the upload's own device, and leaves the other open.
TEST_F(Engine, EndActsOnTheUploadsOwnDevice) {
    InstallFakeDriver({"KARVEX A", "KARVEX B"});
    ASSERT_EQ(EnumerateDevices(), 2u);
    ASSERT_TRUE(OpenDevice(1));
    ASSERT_TRUE(OpenDevice(0));
    fakeDriver.respond = [this](const Bytes& frame) { return bootloader.Answer(frame); };
    bootloader.onBlock[blockCount - 1] = [](int) { currentDevice = 1; };
    StartUpload();
    ASSERT_TRUE(PlayTimerUntilEnd());
    EXPECT_EQ(upload.done.load(), 1);
    EXPECT_EQ(currentDevice, 1);
    EXPECT_EQ(fakeDriver.openHandle[0], nullptr);
    EXPECT_FALSE(fakeDriver.dtr[0] || fakeDriver.rts[0]);
    EXPECT_NE(fakeDriver.openHandle[1], nullptr);
    EXPECT_EQ(fakeDriver.openHandle[1], DeviceHandle(1));
}

// The status timer's decrement racing the receive thread's reload. The timer ticks without
// pause on its own thread; the reloads alternate between two values far apart, so a
// decrement that stored its stale value over a reload shows at once.
TEST(TickCountdown, NeverLosesAConcurrentReload) {
    WaitForReceiveThread();
    std::atomic<bool> stop{false};
    std::atomic<int64_t> ticks{0};
    constexpr int32_t reloads[] = {1000000000, 2000000000};
    upload.countdown.store(reloads[1]);
    std::thread timer([&] {
        while (!stop.load()) {
            TickCountdown();
            ticks.fetch_add(1);
        }
    });
    auto deadline = Clock::now() + std::chrono::milliseconds(300);
    int rounds = 0;
    for (; Clock::now() < deadline && !::testing::Test::HasFailure(); ++rounds) {
        int32_t reload = reloads[rounds % 2];
        int64_t before = ticks.load();
        upload.countdown.store(reload);
        while (ticks.load() < before + 3) // a decrement in flight at the store has finished
            std::this_thread::yield();
        int32_t left = upload.countdown.load();
        // Each decrement since the store was counted, but for one perhaps not yet.
        int64_t decrements = ticks.load() - before + 1;
        EXPECT_LE(left, reload) << "round " << rounds;
        EXPECT_GE(left, reload - decrements) << "round " << rounds;
    }
    stop = true;
    timer.join();
    upload.countdown.store(0);
    EXPECT_GT(rounds, 10);
    TickCountdown();
    EXPECT_EQ(upload.countdown.load(), 0); // never below 0
}
} // namespace

// The upload driven without a thread, by a clock of milliseconds: the status timer ticks every
// 10 ms as the command line's does, and the device's replies reach the host when their time
// comes. Each run is the same sequence, whatever the platform.
class EngineByTheClock : public Engine {
  protected:
    struct Timing {
        int64_t lateMs = 0;       // from the write to the reply's first byte
        int64_t splitMs = 0;      // between the bytes of one reply
    };
    Timing timing;
    std::multimap<int64_t, uint8_t> inFlight; // byte by the millisecond it becomes readable
    int64_t now = 0;
    static inline std::atomic<int64_t> clockNow{0}; // `now`, for the engine's clock
    int64_t lineFreeAt = 0;

    void SetUp() override {
        Engine::SetUp();
        clockNow = 0;
        uploadClockMs = [] { return uint32_t(clockNow); };
        fakeDriver.respond = [this](const Bytes& frame) {
            // One line: a reply starts only once the one before it is through.
            std::string reply = bootloader.Answer(frame);
            for (size_t i = 0; i < reply.size(); ++i) {
                lineFreeAt = std::max(now + timing.lateMs + int64_t(i) * timing.splitMs, lineFreeAt);
                inFlight.emplace(lineFreeAt++, reply[i]);
            }
            return std::string();
        };
    }
    void Deliver() {
        std::lock_guard<std::recursive_mutex> guard(fakeDriver.lock);
        while (!inFlight.empty() && inFlight.begin()->first <= now) {
            fakeDriver.pending.push_back(inFlight.begin()->second);
            inFlight.erase(inFlight.begin());
        }
    }
    void Run() {
        BeginUpload();
        SetControlLines(0, true);
        for (; now < 100'000'000 && ReceivePass(); clockNow = ++now) {
            Deliver();
            if (now % 10 == 9)
                TickCountdown();
        }
        ASSERT_EQ(upload.running.load(), 0) << "the upload never ended";
        ASSERT_EQ(upload.done.load() + upload.noResponse.load(), 1);
        if (upload.done.load())
            ExpectFlashIsTheImage(); // never done over a wrong flash
    }
};

// Replies later than the handshake's time-out: the request goes out again, and the repeats
// are refused, with a 'C' or without, while block 0 waits. One block refused, one lost.
TEST_F(EngineByTheClock, LateRefusalsOfRepeatedRequestsShiftNoAcknowledgement) {
    for (const char* refusal : {"CN", "N"}) {
        for (int lostBlock : {-1, 60}) {
            bootloader = Bootloader{};
            inFlight.clear();
            SetUp();
            timing.lateMs = 60;
            bootloader.handshakeReplies = {"CK"};
            bootloader.handshakeReplies.resize(100, refusal);
            bootloader.blockReplies[40] = {"N"};
            if (lostBlock >= 0)
                bootloader.blockReplies[lostBlock] = {""};
            Run();
            EXPECT_EQ(upload.done.load(), 1) << refusal << " " << lostBlock;
            EXPECT_GT(bootloader.handshakes, 1);
            TearDown();
        }
    }
}

// Tripled acknowledgements whose bytes come 33 ms apart, so that a read takes them in pieces;
// one block refused. A block counts once however its acknowledgement is split.
TEST_F(EngineByTheClock, SplitTripledAcknowledgementCountsForOneBlock) {
    timing.lateMs = 3;
    timing.splitMs = 33;
    for (int block = 0; block < blockCount; ++block)
        bootloader.blockReplies[block] = {"KKK", "KKK"};
    bootloader.blockReplies[100] = {"N", "KKK"};
    Run();
    EXPECT_EQ(upload.done.load(), 1);
    EXPECT_EQ(bootloader.sends[100], 2);
    EXPECT_EQ(bootloader.sends[101], 1);
}

// The handshake reply's bytes read out of step ('K' of one reply, 'C' of the next), here after
// a first reply cut short: the pair is found across reads instead of every read being judged
// wrong until the requests are spent.
TEST_F(EngineByTheClock, HandshakeReplyReadOutOfStepIsFound) {
    timing.lateMs = 45;
    timing.splitMs = 37;
    bootloader.handshakeReplies = {"C"};
    Run();
    EXPECT_EQ(upload.done.load(), 1);
}

// A reply still arriving after the last block's acknowledgement means the acknowledgements
// were out of step: the upload cannot be called done.
TEST_F(EngineByTheClock, ReplyAfterTheLastAcknowledgementEndsNotResponding) {
    bootloader.blockReplies[blockCount - 1] = {"KK"};
    Run();
    EXPECT_EQ(upload.noResponse.load(), 1);
}
