// Port numbers and device names, on every system: what COMN is called, and
// the numbers that never open.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;

namespace {

std::string devicePath(unsigned number)
{
    char path[512];
    portDevicePath(number, path, sizeof path);
    return path;
}

std::vector<std::string>* openLog = nullptr;

void recordOpen(const char* operation, long argument, bool succeeded, const uint8_t*, uint32_t)
{
    if (openLog)
        openLog->push_back(std::string(operation) + "(" + std::to_string(argument) + ")" +
                           (succeeded ? "" : " failed"));
}

TEST(SerialOpen, PortNumbersOutsideOneTo256AreRefused)
{
    std::vector<std::string> log;
    openLog = &log;
    setSerialTrace(recordOpen);
    EXPECT_EQ(serialOpen(0), nullptr);
    EXPECT_EQ(serialOpen(kMaxPortNumber + 1), nullptr);
    EXPECT_EQ(serialOpen(100000), nullptr);
    setSerialTrace(nullptr);
    openLog = nullptr;
    EXPECT_EQ(log, std::vector<std::string>({"open(0) failed", "open(257) failed", "open(100000) failed"}));
    EXPECT_EQ(devicePath(0), "");
    EXPECT_EQ(devicePath(kMaxPortNumber + 1), "");
}

TEST(SerialOpen, PortWithoutADeviceDoesNotOpen)
{
    // No test fixture links COM200 to anything.
    EXPECT_EQ(serialOpen(200), nullptr);
}

TEST(SerialOpen, NullPortIsHarmless)
{
    uint8_t byte = 0;
    serialSetLine9600_8N1(nullptr);
    serialSetReadIntervalTimeouts(nullptr);
    serialSetQueueSizes(nullptr, 8096, 8096);
    serialPurge(nullptr);
    EXPECT_EQ(serialWrite(nullptr, nullptr, &byte, 1, 1000), WaitFailed);
    EXPECT_FALSE(serialEscape(nullptr, SetRts));
    EXPECT_EQ(serialReadCreate(nullptr), nullptr);
    serialClose(nullptr);
}

#ifdef _WIN32
TEST(SerialOpen, DevicePathIsTheWin32DeviceName)
{
    EXPECT_EQ(devicePath(3), "\\\\.\\COM3");
    EXPECT_EQ(devicePath(1), "\\\\.\\COM1");
    EXPECT_EQ(devicePath(256), "\\\\.\\COM256");
}
#endif

}  // namespace
