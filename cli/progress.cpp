#include "cli/progress.h"

#include <cstdio>

#include "image/flash_image.h"

namespace {
constexpr int32_t barWidth = 40;
constexpr int32_t totalBytes = static_cast<int32_t>(imageSize);

bool barShown = false;
int32_t drawnBytes = -1;

// offset passes the image's end once the last block is sent.
int32_t BytesSent(int32_t offset) {
    if (offset < 0)
        return 0;
    return offset > totalBytes ? totalBytes : offset;
}
} // namespace

std::string ProgressLine(int32_t offset) {
    int32_t bytes = BytesSent(offset);
    int32_t filled = bytes * barWidth / totalBytes;
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "] %3d%%  %5d / %d байт",
                  static_cast<int>(bytes * 100 / totalBytes), static_cast<int>(bytes),
                  static_cast<int>(totalBytes));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(barWidth - filled), '.') + numbers;
}

void BeginProgress(bool shown) {
    barShown = shown;
    drawnBytes = -1;
}

void ShowProgress(int32_t offset) {
    int32_t bytes = BytesSent(offset);
    if (!barShown || bytes == drawnBytes)
        return;
    std::fprintf(stderr, "\r%s", ProgressLine(offset).c_str());
    std::fflush(stderr);
    drawnBytes = bytes;
}

void EndProgress() {
    if (barShown && drawnBytes >= 0)
        std::fputc('\n', stderr);
    barShown = false;
}
