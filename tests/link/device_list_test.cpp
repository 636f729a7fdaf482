// Enumeration against the in-process fake library.
#include <gtest/gtest.h>

#include <string>

#include "link/driver.h"
#include "link/port.h"
#include "tests/link/fake_driver.h"

namespace {
TEST(EnumerateDevices, ListsEveryDeviceInOrder) {
    for (const auto& names : std::vector<std::vector<std::string>>{
             {}, {"KARVEX A"}, {"KARVEX A", "KARVEX B", "Other"}}) {
        InstallFakeDriver(names);
        ASSERT_EQ(EnumerateDevices(), names.size());
        EXPECT_EQ(deviceList.count, names.size());
        for (uint32_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(std::string(DeviceDescription(i)), names[i]);
        EXPECT_EQ(std::string(DeviceDescription(uint32_t(names.size()))), "");
    }
}

TEST(EnumerateDevices, FailingCountAsksForNothingElse) {
    InstallFakeDriver({"KARVEX A"});
    fakeDriver.createListStatus = FT_IO_ERROR;
    EXPECT_EQ(EnumerateDevices(), 0u);
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{"CreateDeviceInfoList"});
    EXPECT_EQ(std::string(DeviceDescription(0)), "");
}

TEST(EnumerateDevices, FailingListGivesNoDevicesThoughSomeWereCounted) {
    InstallFakeDriver({"KARVEX A", "KARVEX B", "KARVEX C"});
    fakeDriver.getListStatus = FT_IO_ERROR;
    EXPECT_EQ(EnumerateDevices(), 0u);
    EXPECT_EQ(TakeCalls(),
              (std::vector<std::string>{"CreateDeviceInfoList", "GetDeviceInfoList 3"}));
    EXPECT_EQ(deviceList.count, 0u);
    EXPECT_EQ(std::string(DeviceDescription(0)), "");
    EXPECT_FALSE(OpenDevice(0));
}

TEST(EnumerateDevices, DescriptionFillingTheWholeFieldStillEndsInside) {
    InstallFakeDriver({std::string(64, 'D')});
    ASSERT_EQ(EnumerateDevices(), 1u);
    EXPECT_EQ(std::string(DeviceDescription(0)), std::string(63, 'D'));
}
} // namespace
