// Feeds arbitrary files to ReadHexFile. The reader takes a path, so each input is written to
// a file of this process's own first.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/flash_image.h"

namespace {
constexpr uint8_t guard = 0xA5; // must survive above lastAddress

std::string inputPath;
uint8_t image[flashImageCapacity];
uint8_t guardBlock[flashImageCapacity - imageSize];

void RemoveInputFile() {
    std::remove(inputPath.c_str());
}

bool WriteInputFile(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(inputPath.c_str(), "wb");
    if (!file)
        return false;
    bool complete = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && complete;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: rewriting a disk file per input makes the disk the limit.
    const char* folder = std::getenv("TMPDIR");
    if (access("/dev/shm", W_OK) == 0)
        folder = "/dev/shm";
    inputPath = std::string(folder && *folder ? folder : "/tmp") + "/hex_fuzzer_" +
                std::to_string(getpid()) + ".hex";
    std::atexit(RemoveInputFile);
    std::memset(guardBlock, guard, sizeof guardBlock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteInputFile(data, size))
        std::abort();
    std::memcpy(image + imageSize, guardBlock, sizeof guardBlock);
    HexReadResult result = ReadHexFile(image, inputPath.c_str());
    if (result != hexReadOk && result != hexBadContent)
        std::abort(); // the file exists, so it must open
    if (std::memcmp(image + imageSize, guardBlock, sizeof guardBlock) != 0)
        std::abort(); // written above the image
    return 0;
}
