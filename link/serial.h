#pragma once
// The serial driver: the D2XX operations the program calls, over an operating-system serial
// port (a device path, or a COM port on Windows), so that the port code and the upload engine
// work on it unchanged. The port is the one device of the list, index 0.
#include <cstdint>
#include <string>

// How long FT_GetQueueStatus waits for input when none is waiting, so that the engine's polling
// sleeps instead of spinning; 0 answers at once, as the library does (the benchmark's before).
extern uint32_t serialQueueWaitMs;

// Puts the serial driver for `utf8Path` into the driver table; nothing is opened yet.
void LoadSerialDriver(const char* utf8Path);
// The system's reason for the latest failed open or setting of the port.
std::string SerialFailure();
// True once a line call found that the port has no DTR and RTS (the calls then succeed).
bool SerialLinesMissing();
// Closes the port itself; the driver's FT_Close only ends a handle (see serial.cpp).
void ReleaseSerialPort();
