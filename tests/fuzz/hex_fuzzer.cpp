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

void RemoveInputFile() { std::remove(inputPath.c_str()); }

bool WriteInputFile(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(inputPath.c_str(), "wb");
    if (!file)
        return false;
    bool complete = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && complete;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* folder = std::getenv("TMPDIR");
    inputPath = std::string(folder && *folder ? folder : "/tmp") + "/hex_fuzzer_" +
                std::to_string(getpid()) + ".hex";
    std::atexit(RemoveInputFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteInputFile(data, size))
        std::abort();
    std::memset(image + imageSize, guard, flashImageCapacity - imageSize);
    HexReadResult result = ReadHexFile(image, inputPath.c_str());
    if (result != hexReadOk && result != hexBadContent)
        std::abort(); // the file exists, so it must open
    for (uint32_t i = imageSize; i < flashImageCapacity; ++i) {
        if (image[i] != guard)
            std::abort(); // written above the image
    }
    return 0;
}
