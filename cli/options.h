#pragma once
// The command line of karvex-flash.
#include <cstdint>
#include <string>
#include <vector>

enum class FlashMode { upload, all, wait, list, dump, help, version };

struct FlashOptions {
    FlashMode mode = FlashMode::upload;
    int32_t device = 0;
    // The serial port to upload through instead of a D2XX device; with --all and --wait "auto":
    // the ports of FTDI chips.
    std::string port;
    bool noGoto = false;
    bool quiet = false;
    bool progressLines = false; // the progress as lines for a program that reads them
    std::string hexPath;
    std::string dumpPath;
};

// Reads the arguments that follow the program name. False on a usage error, with the
// reason in `problem`.
bool ParseFlashOptions(const std::vector<std::string>& arguments, FlashOptions& options,
                       std::string& problem);
