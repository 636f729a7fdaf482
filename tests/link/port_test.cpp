// Opening a device and driving its lines, as the fake library sees the calls.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "link/driver.h"
#include "link/port.h"
#include "tests/link/fake_driver.h"

namespace {
using Calls = std::vector<std::string>;

class Port : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallFakeDriver({"KARVEX A", "KARVEX B"});
        ASSERT_EQ(EnumerateDevices(), 2u);
        TakeCalls();
        currentDevice = 0;
    }
};

TEST_F(Port, OpenConfiguresReleasesLinesAndReopens) {
    ASSERT_TRUE(OpenDevice(1));
    EXPECT_EQ(TakeCalls(),
              (Calls{"Open 1 -> h1", "SetBaudRate h1 500000", "SetDataCharacteristics h1 8 0 0",
                     "SetTimeouts h1 5000 5000", "SetFlowControl h1 0 0 0", "ClrDtr h1",
                     "ClrRts h1", "Close h1", "Open 1 -> h2"}));
    EXPECT_EQ(currentDevice, 1);
    EXPECT_EQ(HandleName(DeviceHandle(1)), "h2"); // the handle of the reopen
    EXPECT_EQ(fakeDriver.openHandle[1], DeviceHandle(1));
    EXPECT_FALSE(fakeDriver.dtr[1] || fakeDriver.rts[1]);
}

TEST_F(Port, DeviceHeldElsewhereFailsAtTheOpenAlone) {
    fakeDriver.failing["Open"] = {FT_DEVICE_NOT_OPENED};
    EXPECT_FALSE(OpenDevice(1));
    EXPECT_EQ(TakeCalls(), Calls{"Open 1 refused"});
    EXPECT_EQ(currentDevice, 0);
}

TEST_F(Port, IndexOutsideTheListIsNotOpened) {
    EXPECT_FALSE(OpenDevice(2));
    EXPECT_FALSE(OpenDevice(-1));
    EXPECT_FALSE(SetControlLines(2, true));
    EXPECT_TRUE(TakeCalls().empty());
}

// A failure after the open closes the handle again, so the next attempt can open the device.
TEST_F(Port, FailedSetupClosesTheDevice) {
    for (const char* step : {"SetBaudRate", "SetDataCharacteristics", "SetTimeouts",
                             "SetFlowControl", "ClrDtr", "ClrRts"}) {
        SCOPED_TRACE(step);
        fakeDriver.failing[step] = {FT_IO_ERROR};
        EXPECT_FALSE(OpenDevice(0));
        Calls calls = TakeCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().substr(0, 6), "Close ");
        EXPECT_EQ(fakeDriver.openHandle[0], nullptr);
        EXPECT_EQ(currentDevice, 0);
        fakeDriver.failing.clear();
    }
    currentDevice = 1;
    EXPECT_TRUE(OpenDevice(0));
    EXPECT_EQ(currentDevice, 0);
}

TEST_F(Port, AssertingDrivesBothLinesThenReopens) {
    ASSERT_TRUE(OpenDevice(0));
    TakeCalls();
    EXPECT_TRUE(SetControlLines(0, true));
    EXPECT_EQ(TakeCalls(), (Calls{"SetDtr h2", "SetRts h2", "Close h2", "Open 0 -> h3"}));
    EXPECT_TRUE(fakeDriver.dtr[0] && fakeDriver.rts[0]);
    EXPECT_EQ(HandleName(DeviceHandle(0)), "h3");
}

TEST_F(Port, RefusedLineMeansNoCloseAndNoReopen) {
    ASSERT_TRUE(OpenDevice(0));
    TakeCalls();
    fakeDriver.failing["SetDtr"] = {FT_IO_ERROR};
    EXPECT_FALSE(SetControlLines(0, true));
    EXPECT_EQ(TakeCalls(), Calls{"SetDtr h2"});
    EXPECT_EQ(HandleName(DeviceHandle(0)), "h2");
    fakeDriver.failing = {{"Close", {FT_IO_ERROR}}};
    EXPECT_FALSE(SetControlLines(0, false));
    EXPECT_EQ(TakeCalls(), (Calls{"ClrDtr h2", "ClrRts h2", "Close h2"}));
}

TEST_F(Port, FailedReopenIsNotExamined) {
    ASSERT_TRUE(OpenDevice(0));
    fakeDriver.failing["Open"] = {FT_DEVICE_NOT_OPENED};
    EXPECT_TRUE(SetControlLines(0, true));
    EXPECT_EQ(fakeDriver.openHandle[0], nullptr);
}

TEST_F(Port, RecoveryReopensOnlyTheHandleThatFailed) {
    ASSERT_TRUE(OpenDevice(0));
    FT_HANDLE failed = DeviceHandle(0);
    ASSERT_TRUE(SetControlLines(0, true)); // somebody else reopened it meanwhile
    TakeCalls();
    EXPECT_EQ(ReopenStaleHandle(0, failed), FT_OK);
    EXPECT_TRUE(TakeCalls().empty());

    driver.FT_Close(DeviceHandle(0)); // closed under the slot: the slot's own handle failed
    TakeCalls();
    EXPECT_EQ(ReopenStaleHandle(0, DeviceHandle(0)), FT_OK);
    EXPECT_EQ(TakeCalls(), (Calls{"Close h3", "Open 0 -> h4"}));
    EXPECT_EQ(fakeDriver.openHandle[0], DeviceHandle(0));
}

// The window thread's close-and-reopen racing the receive thread's recovery: the device is
// never opened while open, and afterwards the slot names its open handle.
TEST_F(Port, ReopenAndRecoveryNeverOpenTwice) {
    ASSERT_TRUE(OpenDevice(0));
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        while (!stop.load()) {
            FT_HANDLE handle = DeviceHandle(0);
            uint32_t waiting = 0;
            if (driver.FT_GetQueueStatus(handle, &waiting) == FT_INVALID_HANDLE)
                ReopenStaleHandle(0, handle);
        }
    });
    for (int i = 0; i < 2000; ++i)
        SetControlLines(0, i % 2 == 0);
    stop = true;
    receiver.join();
    for (const std::string& call : TakeCalls())
        ASSERT_EQ(call.find("already open"), std::string::npos) << call;
    EXPECT_NE(DeviceHandle(0), nullptr);
    EXPECT_EQ(fakeDriver.openHandle[0], DeviceHandle(0));
}
} // namespace
