#pragma once
// What karvex-flash does with its command line, and the exit codes it reports.
#include <string>
#include <vector>

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
