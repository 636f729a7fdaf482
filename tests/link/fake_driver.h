#pragma once
// An in-process stand-in for the D2XX library: the test installs it into `driver`, scripts
// its answers and failures, and reads back the calls it received.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/d2xx.h"

struct FakeFrame {
    std::vector<uint8_t> bytes;
    int64_t tick; // fakeDriver.ticks when the frame was written
};

struct FakeDriver {
    std::recursive_mutex lock; // held by every entry point, and by the test to read or script
    // Enumeration.
    std::vector<std::string> descriptions;
    FT_STATUS createListStatus = FT_OK;
    FT_STATUS getListStatus = FT_OK;
    // Entry-point name (without "FT_") -> status it returns instead of doing its work, for
    // the given number of calls (-1: every call).
    struct Failure {
        FT_STATUS status;
        int times = -1;
    };
    std::map<std::string, Failure> failing;
    // Every call, as "Name handle args" (handles named h1, h2, ... in order of opening).
    std::vector<std::string> calls;
    // Devices: the handle each is open through (nullptr: closed), and its lines.
    std::vector<FT_HANDLE> openHandle;
    std::vector<bool> dtr, rts;
    int handlesIssued = 0;
    // Serial side: what the device sends back, and each frame written to it.
    std::deque<uint8_t> pending;
    std::vector<FakeFrame> frames;
    // Called with each written frame (lock held, on the writing thread); returns the reply.
    std::function<std::string(const std::vector<uint8_t>&)> respond;
    int64_t ticks = 0;
    // Unplugged: an open gives FT_DEVICE_NOT_FOUND, every other call FT_IO_ERROR, leaving its
    // outputs untouched.
    bool unplugged = false;
    // Reads that transfer nothing though bytes wait (the bytes are lost).
    int emptyReads = 0;
    // A failing queue query still writes the count of waiting bytes.
    bool failedQueryCounts = false;
    // Queue queries since the last write: the receive thread is waiting for a reply.
    int pollsSinceWrite = 0;
    int64_t polls = 0; // queue queries in all

    // The next write waits this long before it starts, outside the lock.
    std::atomic<int> delayNextWriteMs{0};
    // > 0: the close this many closes from now waits 50 ms before it starts, outside the lock.
    std::atomic<int> slowCloseIn{0};
};
extern FakeDriver fakeDriver;

// Resets the fake to `descriptions` devices, closed, and fills `driver` with its entries.
void InstallFakeDriver(std::vector<std::string> descriptions);
// Calls recorded since the last call of TakeCalls (or the install).
std::vector<std::string> TakeCalls();
std::string HandleName(FT_HANDLE handle);
