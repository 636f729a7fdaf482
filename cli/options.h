#pragma once
// The command line of karvex-flash.
#include <cstdint>
#include <string>
#include <vector>

enum class FlashMode { upload, list, dump, help, version };

struct FlashOptions {
    FlashMode mode = FlashMode::upload;
    int32_t device = 0;
    std::string port; // the serial port to upload through instead of a D2XX device
    bool noGoto = false;
    bool quiet = false;
    std::string hexPath;
    std::string dumpPath;
};

// Reads the arguments that follow the program name. False on a usage error, with the
// reason in `problem`.
bool ParseFlashOptions(const std::vector<std::string>& arguments, FlashOptions& options,
                       std::string& problem);
