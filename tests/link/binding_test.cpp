// The real binding, against the virtual device library found by name in the test folder,
// a missing library, and one that lacks an entry point.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/driver.h"
#include "link/port.h"
#include "platform/platform.h"
#include "tests/link/sim_session.h"

namespace {
using Names = std::vector<std::string>;

// The module handle, the 16 entries and the 2 optional ones, all pointer-sized.
std::array<void*, 19> TableEntries() {
    std::array<void*, 19> entries;
    static_assert(sizeof(DriverTable) == sizeof entries);
    std::memcpy(entries.data(), &driver, sizeof entries);
    return entries;
}

bool TableIsEmpty() {
    auto entries = TableEntries();
    return std::all_of(entries.begin(), entries.end(), [](void* entry) { return !entry; });
}

bool EveryRequiredEntryBound() {
    auto entries = TableEntries();
    return std::all_of(entries.begin(), entries.begin() + 17, [](void* entry) { return entry; });
}

bool FileExists(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file)
        std::fclose(file);
    return file != nullptr;
}

class Binding : public ::testing::Test {
  protected:
    void TearDown() override { StopSim(); }

    void Start(const SimVariables& variables, const char* library = nullptr) {
        ASSERT_TRUE(StartSim(session,
                             ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                             variables, library));
        ASSERT_TRUE(EveryRequiredEntryBound());
    }
    // Names of the calls traced after the enumeration, in order.
    Names CallsAfterEnumeration() {
        Names calls;
        for (const std::string& line : TraceLines(session)) {
            std::string name = line.substr(0, line.find(' '));
            if (name.rfind("FT_", 0) == 0 && name.find("DeviceInfoList") == std::string::npos)
                calls.push_back(name + (line.find("-> 0") == std::string::npos ? " failed" : ""));
        }
        return calls;
    }

    SimSession session;
};

TEST_F(Binding, FindsTheVirtualLibraryByNameAndSeesItsNodes) {
    Start({{"DEVICES", "KARVEX A;KARVEX B;" + std::string(63, 'L')}});
    ASSERT_EQ(EnumerateDevices(), 3u);
    EXPECT_EQ(std::string(DeviceDescription(0)), "KARVEX A");
    EXPECT_EQ(std::string(DeviceDescription(1)), "KARVEX B");
    EXPECT_EQ(std::string(DeviceDescription(2)), std::string(63, 'L'));
}

TEST_F(Binding, EnumerationOfNoDeviceOrFailingCallsGivesZero) {
    for (const char* fault : {"", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList"}) {
        SCOPED_TRACE(fault);
        StopSim();
        Start({{"DEVICES", *fault ? "KARVEX" : "none"}, {"FAIL", fault}});
        EXPECT_EQ(EnumerateDevices(), 0u);
        EXPECT_EQ(std::string(DeviceDescription(0)), "");
    }
}

TEST_F(Binding, MissingLibraryLeavesTheTableEmpty) {
    EXPECT_FALSE(LoadDriver("karvex-no-such-library"));
    EXPECT_TRUE(TableIsEmpty());
}

TEST_F(Binding, LibraryLackingAnEntryPointIsReleasedAndNotUsed) {
    void* partial = LoadSharedLibrary(PARTIAL_LIBRARY_NAME);
    ASSERT_NE(partial, nullptr);
    EXPECT_NE(FindLibrarySymbol(partial, "FT_SetRts"), nullptr); // plain names, as exported
    EXPECT_EQ(FindLibrarySymbol(partial, "FT_ClrRts"), nullptr);
    ReleaseSharedLibrary(partial);
    std::remove("partial-ftd2xx-released");

    EXPECT_FALSE(LoadDriver(PARTIAL_LIBRARY_NAME));
    EXPECT_TRUE(TableIsEmpty());
    EXPECT_TRUE(FileExists("partial-ftd2xx-released"));
}

// Every open, the engine's recovery included, is followed by the event character 'K' and a
// 2 ms latency timer.
TEST_F(Binding, OpenDeviceAsTheDeviceSeesIt) {
    Start({});
    EXPECT_NE(driver.FT_SetLatencyTimer, nullptr);
    EXPECT_NE(driver.FT_SetChars, nullptr);
    ASSERT_EQ(EnumerateDevices(), 1u);
    ASSERT_TRUE(OpenDevice(0));
    EXPECT_EQ(
        CallsAfterEnumeration(),
        (Names{"FT_Open", "FT_SetChars", "FT_SetLatencyTimer", "FT_SetBaudRate",
               "FT_SetDataCharacteristics", "FT_SetTimeouts", "FT_SetFlowControl", "FT_ClrDtr",
               "FT_ClrRts", "FT_Close", "FT_Open", "FT_SetChars", "FT_SetLatencyTimer"}));
    EXPECT_EQ(CountTraceLines(session, "FT_SetBaudRate", "baud=500000 -> 0"), 1);
    EXPECT_EQ(linkLatencyMs.load(), 2u); // the engine's quiet waits are sized by it
    uint32_t waiting = 0;
    EXPECT_EQ(driver.FT_GetQueueStatus(DeviceHandle(0), &waiting), FT_OK); // the reopen's handle
    ASSERT_TRUE(SetControlLines(0, true));
    EXPECT_EQ(driver.FT_GetQueueStatus(DeviceHandle(0), &waiting), FT_OK);
    driver.FT_Close(DeviceHandle(0)); // as if closed under the receive thread
    EXPECT_EQ(ReopenStaleHandle(0, DeviceHandle(0)), FT_OK);

    StopSim();
    for (const char* handle : {"0x1001", "0x1002", "0x1003", "0x1004"}) {
        SCOPED_TRACE(handle);
        std::string on = std::string("handle=") + handle;
        EXPECT_EQ(CountTraceLines(session, "FT_SetChars",
                                  on + " event=75 eventOn=1 error=0 errorOn=0 -> 0"),
                  1);
        EXPECT_EQ(CountTraceLines(session, "FT_SetLatencyTimer", on + " ms=2 -> 0"), 1);
    }
}

// A library without the two optional entry points is a full driver, used exactly as before.
TEST_F(Binding, LibraryWithoutLatencySettingsIsUsedAsBefore) {
    Start({}, basicLibraryName);
    EXPECT_EQ(driver.FT_SetLatencyTimer, nullptr);
    EXPECT_EQ(driver.FT_SetChars, nullptr);
    ASSERT_EQ(EnumerateDevices(), 1u);
    ASSERT_TRUE(OpenDevice(0));
    ASSERT_TRUE(SetControlLines(0, true));
    EXPECT_EQ(CallsAfterEnumeration(),
              (Names{"FT_Open", "FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetTimeouts",
                     "FT_SetFlowControl", "FT_ClrDtr", "FT_ClrRts", "FT_Close", "FT_Open",
                     "FT_SetDtr", "FT_SetRts", "FT_Close", "FT_Open"}));
    EXPECT_EQ(linkLatencyMs.load(), 16u); // the chip's default timer
}

// Their refusal changes nothing for the open.
TEST_F(Binding, RefusedLatencySettingsAreIgnored) {
    Start({{"FAIL", "FT_SetChars;FT_SetLatencyTimer"}});
    ASSERT_EQ(EnumerateDevices(), 1u);
    EXPECT_TRUE(OpenDevice(0));
    EXPECT_EQ(CountTraceLines(session, "FT_SetFlowControl", "-> 0"), 1);
    EXPECT_EQ(linkLatencyMs.load(), 16u);
}

TEST_F(Binding, DeviceHeldElsewhereFailsAtTheOpenAlone) {
    Start({{"FAIL", "FT_Open"}});
    ASSERT_EQ(EnumerateDevices(), 1u);
    EXPECT_FALSE(OpenDevice(0));
    EXPECT_EQ(CallsAfterEnumeration(), Names{"FT_Open failed"});
}

TEST_F(Binding, RefusedDtrMeansNoCloseAndNoReopen) {
    Start({{"FAIL", "FT_SetDtr"}});
    ASSERT_EQ(EnumerateDevices(), 1u);
    ASSERT_TRUE(OpenDevice(0));
    size_t before = CallsAfterEnumeration().size();
    EXPECT_FALSE(SetControlLines(0, true));
    Names calls = CallsAfterEnumeration();
    EXPECT_EQ(Names(calls.begin() + long(before), calls.end()), Names{"FT_SetDtr failed"});
}

// A setup step failing after the open closes the device again, so the next Load opens it.
TEST_F(Binding, FailedSetupLeavesTheDeviceOpenable) {
    Start({{"FAIL", "FT_SetTimeouts:1"}});
    ASSERT_EQ(EnumerateDevices(), 1u);
    EXPECT_FALSE(OpenDevice(0));
    EXPECT_EQ(CallsAfterEnumeration(),
              (Names{"FT_Open", "FT_SetChars", "FT_SetLatencyTimer", "FT_SetBaudRate",
                     "FT_SetDataCharacteristics", "FT_SetTimeouts failed", "FT_Close"}));
    EXPECT_TRUE(OpenDevice(0));
}
} // namespace
