#pragma once
// What karvex-flash does with its command line, and the exit codes it reports.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "text/texts.h"

enum FlashExitCode : int {
    exitUploaded = 0,
    exitUsage = 1,
    exitHexFile = 2,
    exitNoDriver = 3,
    exitNoDevice = 4,
    exitOpenFailed = 5,
    exitNoResponse = 6,
    exitDumpNotWritten = 7,
    exitInterrupted = 8,
};

// Runs the command given by the arguments after the program name; returns the exit code.
int RunKarvexFlash(const std::vector<std::string>& arguments);

// The period the window's status timer really gets.
inline constexpr std::chrono::milliseconds tickPeriod{10};
// The USB vendor of the FTDI chip, for --port auto and --all --port.
inline constexpr uint16_t ftdiVendor = 0x0403;

// A line on standard error.
void Say(const std::string& line);
void Say(const texts::Text& text);
// Fills FlashImage from the file (said when it cannot) and patches the jump unless told not to.
int ReadImage(const FlashOptions& options);
// Loads the D2XX library; false, said, when there is none.
bool BindDriver();
