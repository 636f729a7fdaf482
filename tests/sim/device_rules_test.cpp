// The chip's library side: device list and its binary layout, handles, settings, reloading,
// and calls from two threads.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/sim/sim_test_fixture.h"

namespace {
using Devices = SimTest;

std::vector<std::string> Descriptions(const LoadedSim& sim) {
    uint32_t count = 0;
    EXPECT_EQ(sim.FT_CreateDeviceInfoList(&count), FT_OK);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    EXPECT_EQ(sim.FT_GetDeviceInfoList(nodes.data(), &count), FT_OK);
    std::vector<std::string> texts;
    for (const auto& node : nodes)
        texts.push_back(node.Description);
    return texts;
}

TEST_F(Devices, ListsTheConfiguredDescriptionsOrTheDefault) {
    Load();
    EXPECT_EQ(Descriptions(sim), std::vector<std::string>{"KARVEX"});
    Load({{"KARVEX_SIM_DEVICES", "none"}});
    EXPECT_TRUE(Descriptions(sim).empty());
    std::string longName(80, 'x');
    Load({{"KARVEX_SIM_DEVICES", "first;second;" + longName}});
    EXPECT_EQ(Descriptions(sim), (std::vector<std::string>{"first", "second", longName.substr(0, 63)}));
}

// As the program sees the nodes: raw bytes, the description at byte 32 of each node, nothing
// written past the last node.
TEST_F(Devices, NodesHaveTheLibraryLayout) {
    Load({{"KARVEX_SIM_DEVICES", "alpha;beta;gamma"}});
    const size_t nodeSize = sizeof(void*) == 8 ? 104 : 100;
    std::vector<unsigned char> raw(3 * nodeSize + 64, 0xAB);
    uint32_t count = 3;
    ASSERT_EQ(sim.FT_GetDeviceInfoList(reinterpret_cast<FT_DEVICE_LIST_INFO_NODE*>(raw.data()), &count),
              FT_OK);
    EXPECT_EQ(count, 3u);
    const char* names[] = {"alpha", "beta", "gamma"};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_STREQ(reinterpret_cast<const char*>(&raw[i * nodeSize + 32]), names[i]);
    for (size_t i = 3 * nodeSize; i < raw.size(); ++i)
        ASSERT_EQ(raw[i], 0xAB) << "written past the nodes at byte " << i;
}

TEST_F(Devices, NodeShowsWhetherTheDeviceIsOpen) {
    Load();
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK);
    FT_DEVICE_LIST_INFO_NODE node{};
    uint32_t count = 1;
    ASSERT_EQ(sim.FT_GetDeviceInfoList(&node, &count), FT_OK);
    EXPECT_EQ(node.Flags & 1u, 1u);
    EXPECT_EQ(node.ftHandle, handle);
}

TEST_F(Devices, EveryLoadReadsTheEnvironmentAgain) {
    Load({{"KARVEX_SIM_DEVICES", "one"}});
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK); // left open: the next load must not remember it
    Load({{"KARVEX_SIM_DEVICES", "a;b;c"}});
    EXPECT_EQ(Descriptions(sim), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(sim.FT_Open(0, &handle), FT_OK);
}

// A fault campaign loads the library once per upload, more often than a Windows process has
// thread-local slots (1088): a load must take none that its release does not give back. Each
// load reads and writes its flash file and waits in a read, as an upload does.
TEST_F(Devices, LoadedAndReleasedMoreOftenThanAProcessHasThreadSlots) {
    const std::string flash = TestFile(".flash");
    for (int load = 1; load <= 1100; ++load) {
        Load({{"KARVEX_SIM_FLASH", flash}});
        FT_HANDLE handle = nullptr;
        ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK) << "load " << load;
        ASSERT_EQ(sim.FT_SetTimeouts(handle, 1, 1), FT_OK);
        ASSERT_EQ(ReadText(sim, handle, 1), "");
        ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    }
}

TEST_F(Devices, HandleRules) {
    Load({{"KARVEX_SIM_DEVICES", "a;b"}});
    FT_HANDLE first = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &first), FT_OK);
    ASSERT_NE(first, nullptr);

    FT_HANDLE slot = reinterpret_cast<FT_HANDLE>(0x5A5A);
    EXPECT_EQ(sim.FT_Open(0, &slot), FT_DEVICE_NOT_OPENED) << "one handle at a time";
    EXPECT_EQ(slot, reinterpret_cast<FT_HANDLE>(0x5A5A)) << "a refused open writes nothing";
    EXPECT_EQ(sim.FT_Open(2, &slot), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(sim.FT_Open(-1, &slot), FT_DEVICE_NOT_FOUND);

    FT_HANDLE other = nullptr;
    ASSERT_EQ(sim.FT_Open(1, &other), FT_OK);
    EXPECT_NE(other, first);

    ASSERT_EQ(sim.FT_Close(first), FT_OK);
    uint32_t waiting = 77;
    EXPECT_EQ(sim.FT_GetQueueStatus(first, &waiting), FT_INVALID_HANDLE) << "stale handle";
    EXPECT_EQ(waiting, 77u);
    EXPECT_EQ(sim.FT_SetBaudRate(first, 500000), FT_INVALID_HANDLE);
    EXPECT_EQ(sim.FT_SetDtr(first), FT_INVALID_HANDLE);
    EXPECT_EQ(sim.FT_Purge(first, 3), FT_INVALID_HANDLE);
    EXPECT_EQ(sim.FT_Close(first), FT_INVALID_HANDLE);
    EXPECT_EQ(sim.FT_Close(nullptr), FT_INVALID_HANDLE);

    FT_HANDLE again = nullptr;
    ASSERT_EQ(sim.FT_Open(0, &again), FT_OK);
    EXPECT_NE(again, first) << "each open gives a fresh handle";
    EXPECT_EQ(sim.FT_SetBaudRate(first, 500000), FT_INVALID_HANDLE) << "the old one stays stale";
    EXPECT_EQ(sim.FT_SetBaudRate(again, 500000), FT_OK);
}

// Settings and lines belong to the chip: after a close and reopen the bootloader still hears
// the line and answers, without anything being set again.
TEST_F(Devices, SettingsAndLinesSurviveReopen) {
    Load();
    FT_HANDLE handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(sim.FT_Close(handle), FT_OK);
    ASSERT_EQ(sim.FT_Open(0, &handle), FT_OK);
    ASSERT_EQ(WriteBytes(sim, handle, {0xC1}), FT_OK);
    EXPECT_EQ(ReadText(sim, handle, 2), "CK");
}

// The program's receive thread polls while its window thread closes and reopens the device.
TEST_F(Devices, CallsFromTwoThreadsAtOnce) {
    Load();
    FT_HANDLE handle = OpenForBootloader(sim);
    ASSERT_NE(handle, nullptr);
    std::atomic<FT_HANDLE> current{handle};
    std::atomic<bool> stop{false};
    std::atomic<int> replies{0};
    std::thread poller([&] {
        while (!stop) {
            uint32_t waiting = 0;
            FT_HANDLE h = current;
            if (sim.FT_GetQueueStatus(h, &waiting) == FT_OK && waiting > 0) {
                char buffer[8];
                uint32_t got = 0;
                sim.FT_Read(h, buffer, waiting > 8 ? 8 : waiting, &got);
                replies += static_cast<int>(got);
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        FT_HANDLE h = current;
        WriteBytes(sim, h, {0xC1});
        ASSERT_EQ(sim.FT_Close(h), FT_OK);
        FT_HANDLE reopened = nullptr;
        ASSERT_EQ(sim.FT_Open(0, &reopened), FT_OK);
        current = reopened;
    }
    stop = true;
    poller.join();
    uint32_t waiting = 0;
    ASSERT_EQ(sim.FT_GetQueueStatus(current, &waiting), FT_OK);
    EXPECT_EQ(replies + static_cast<int>(waiting), 400) << "every reply read exactly once";
}
} // namespace
