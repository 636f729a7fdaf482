// The bootloader behind the chip: when it listens, the frames it accepts and refuses, the
// flash it writes and the file that shows it, and the read time-out.
#include <chrono>
#include <thread>

#include "tests/sim/sim_test_fixture.h"

namespace {
using Bootloader = SimTest;

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// Opened, handshake done.
FT_HANDLE Ready(const LoadedSim& sim) {
    FT_HANDLE handle = OpenForBootloader(sim);
    if (!handle || WriteBytes(sim, handle, {0xC1}) != FT_OK || ReadText(sim, handle, 2) != "CK")
        return nullptr;
    return handle;
}

uint32_t Waiting(const LoadedSim& sim, FT_HANDLE handle) {
    uint32_t waiting = 0;
    EXPECT_EQ(sim.FT_GetQueueStatus(handle, &waiting), FT_OK);
    return waiting;
}

TEST_F(Bootloader, ListensOnlyWithBothLinesAssertedAtItsLineSettings) {
    Load();
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK);
    ASSERT_EQ(sim.FT_SetBaudRate(handle, 500000), FT_OK);
    ASSERT_EQ(sim.FT_SetDataCharacteristics(handle, 8, 0, 0), FT_OK);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 200, 200), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u) << "lines released: the request is lost";
    ASSERT_EQ(sim.FT_SetDtr(handle), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u) << "DTR alone";
    ASSERT_EQ(sim.FT_SetRts(handle), FT_OK);
    ASSERT_EQ(sim.FT_SetBaudRate(handle, 115200), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u) << "wrong baud rate";
    ASSERT_EQ(sim.FT_SetBaudRate(handle, 500000), FT_OK);
    ASSERT_EQ(sim.FT_SetDataCharacteristics(handle, 7, 0, 0), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u) << "7 data bits";
    ASSERT_EQ(sim.FT_SetDataCharacteristics(handle, 8, 0, 0), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 8), "CK");
}

TEST_F(Bootloader, TakesBlocksOnlyAfterTheHandshakeOfThisRun) {
    Load();
    FT_HANDLE handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(WriteBytes(sim, handle, BlockFrame(0, Bytes(64, 0))), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u) << "block before the handshake";
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    ASSERT_EQ(ReadText(sim, handle, 2), "CK");
    ASSERT_EQ(WriteBytes(sim, handle, BlockFrame(0, Bytes(64, 0))), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 1), "K");
    // Releasing and asserting the lines restarts the bootloader.
    ASSERT_EQ(sim.FT_ClrRts(handle), FT_OK);
    ASSERT_EQ(sim.FT_SetRts(handle), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, BlockFrame(0x40, Bytes(64, 0))), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u);
}

TEST_F(Bootloader, FrameSplitAcrossWritesAndGarbageBeforeIt) {
    std::string flash = TestFile(".flash");
    Load({{"KARVEX_SIM_FLASH", flash}});
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> frame = BlockFrame(0x0040, Bytes(64, 0x10));
    ASSERT_EQ(WriteBytes(sim, handle, {0x55, 0xAA}), FT_OK); // noise outside a frame
    ASSERT_EQ(WriteBytes(sim, handle, {frame.begin(), frame.begin() + 3}), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {frame.begin() + 3, frame.begin() + 40}), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u) << "no answer before the frame is complete";
    ASSERT_EQ(WriteBytes(sim, handle, {frame.begin() + 40, frame.end()}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 4), "K");
    ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    std::vector<uint8_t> written = FileBytes(flash);
    ASSERT_EQ(written.size(), 0x8000u);
    EXPECT_EQ(std::vector<uint8_t>(written.begin() + 0x40, written.begin() + 0x80), Bytes(64, 0x10));
    EXPECT_EQ(written[0x3F], 0xFF);
    EXPECT_EQ(written[0x80], 0xFF);
}

TEST_F(Bootloader, RefusesBadFramesAndWritesNothing) {
    std::string flash = TestFile(".flash");
    Load({{"KARVEX_SIM_FLASH", flash}});
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> badSum = BlockFrame(0x0100, Bytes(64, 1));
    badSum.back() ^= 1;
    const std::vector<std::vector<uint8_t>> refused = {
        badSum,
        BlockFrame(0x7F01, Bytes(64, 1)), // would reach 0x7F40
        BlockFrame(0x7F40, Bytes(1, 1)),  // the bootloader itself
        BlockFrame(0xFFC0, Bytes(64, 1)),
        BlockFrame(0x0200, {}),            // count 0
        BlockFrame(0x0200, Bytes(65, 1)), // count 65
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        ASSERT_EQ(WriteBytes(sim, handle, refused[i]), FT_OK);
        EXPECT_EQ(ReadText(sim, handle, 1), "N") << "frame " << i;
        // What is left of a frame refused by its count must not produce further answers.
        while (Waiting(sim, handle) > 0)
            ADD_FAILURE() << "extra reply " << ReadText(sim, handle, 1) << " after frame " << i;
    }
    // After all of that the line is in step again.
    ASSERT_EQ(WriteBytes(sim, handle, BlockFrame(0x7F00, Bytes(64, 2))), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "K") << "the last block below the bootloader";
    ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    std::vector<uint8_t> written = FileBytes(flash);
    ASSERT_EQ(written.size(), 0x8000u);
    for (uint32_t a = 0; a < 0x7F00; ++a)
        ASSERT_EQ(written[a], 0xFF) << "address " << a;
    EXPECT_EQ(written[0x7F00], 2);
    EXPECT_EQ(std::string(written.begin() + 0x7F40, written.begin() + 0x7F4B), "KARVEX BOOT");
}

// A frame left unfinished (its tail lost) is given up, so the retransmission is understood.
TEST_F(Bootloader, UnfinishedFrameIsGivenUp) {
    Load();
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    std::vector<uint8_t> frame = BlockFrame(0x0080, Bytes(64, 3));
    ASSERT_EQ(WriteBytes(sim, handle, {frame.begin(), frame.begin() + 30}), FT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(WriteBytes(sim, handle, frame), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 4), "K");
}

TEST_F(Bootloader, FlashFileIsLoadedAndWrittenBackPerDevice) {
    std::string flash = TestFile(".flash");
    std::remove((flash + ".1").c_str());
    {
        std::vector<uint8_t> image(0x8000, 0x3C);
        FILE* file = std::fopen(flash.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(image.data(), 1, image.size(), file);
        std::fclose(file);
    }
    Load({{"KARVEX_SIM_FLASH", flash}, {"KARVEX_SIM_DEVICES", "a;b"}});
    FT_HANDLE second = Ready(sim);
    ASSERT_EQ(sim.FT_Close(second), FT_OK);
    std::vector<uint8_t> kept = FileBytes(flash);
    EXPECT_EQ(kept, std::vector<uint8_t>(0x8000, 0x3C)) << "device 0 was only opened";

    FT_HANDLE other = nullptr;
    ASSERT_EQ(sim.FT_Open(1, &other), FT_OK);
    ASSERT_EQ(sim.FT_Close(other), FT_OK);
    std::vector<uint8_t> fresh = FileBytes(flash + ".1");
    ASSERT_EQ(fresh.size(), 0x8000u) << "device 1 has its own file";
    EXPECT_EQ(fresh[0], 0xFF);
    EXPECT_NE(fresh[0x7F40], 0xFF);
    std::remove((flash + ".1").c_str());
}

TEST_F(Bootloader, ReadWaitsUpToTheTimeOutAndReturnsWhatItHas) {
    Load();
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 300, 300), FT_OK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadText(sim, handle, 2), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadText(sim, handle, 5), "CK") << "asked for more than waits";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

// The wait does not hold the library: another thread's write is answered into it.
TEST_F(Bootloader, ReplyArrivingDuringTheWaitEndsIt) {
    Load();
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 20000, 20000), FT_OK);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        WriteBytes(sim, handle, {0xC1});
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadText(sim, handle, 2), "CK");
    writer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

TEST_F(Bootloader, CloseFromAnotherThreadEndsTheWait) {
    Load();
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(sim.FT_SetTimeouts(handle, 0, 0), FT_OK); // no limit
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim.FT_Close(handle);
    });
    char buffer[2];
    uint32_t got = 99;
    EXPECT_EQ(sim.FT_Read(handle, buffer, 2, &got), FT_INVALID_HANDLE);
    EXPECT_EQ(got, 99u);
    closer.join();
}

TEST_F(Bootloader, PurgeEmptiesTheReceiveQueue) {
    Load();
    FT_HANDLE handle = Ready(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    ASSERT_EQ(sim.FT_Purge(handle, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 2u) << "transmit purge keeps received bytes";
    ASSERT_EQ(sim.FT_Purge(handle, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(Waiting(sim, handle), 0u);
}
} // namespace
