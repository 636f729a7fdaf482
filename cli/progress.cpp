#include "cli/progress.h"

#include <cstdio>

#include "image/flash_image.h"
#include "text/texts.h"
#include "upload/engine.h"

namespace {
constexpr int32_t totalBytes = static_cast<int32_t>(imageSize);

ProgressStyle shownAs = ProgressStyle::none;
std::string drawnLine; // empty until the first draw

// offset passes the image's end once the last block is sent.
int32_t BytesSent(int32_t offset) {
    if (offset < 0)
        return 0;
    return offset > totalBytes ? totalBytes : offset;
}

std::string RetryNote(uint32_t repeats) {
    return "  " + texts::Filled(texts::noReplyRepeat,
                                {std::to_string(repeats), std::to_string(blockRetryBudget)});
}

// What follows the percentage, padded to the longest note (the byte counts are shorter).
std::string Tail(int32_t bytes, uint32_t repeats) {
    char counts[40];
    std::snprintf(counts, sizeof counts, "  %5d / %d ", static_cast<int>(bytes),
                  static_cast<int>(totalBytes));
    std::string tail =
        repeats > 0 ? RetryNote(repeats) : counts + std::string(texts::Localized(texts::bytesUnit));
    size_t width = TextColumns(RetryNote(blockRetryBudget));
    size_t columns = TextColumns(tail);
    return tail + std::string(width > columns ? width - columns : 0, ' ');
}
} // namespace

// Its bytes that start a character.
size_t TextColumns(const std::string& text) {
    size_t columns = 0;
    for (char byte : text)
        columns += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    return columns;
}

std::string ProgressLine(int32_t offset, uint32_t repeats, int32_t width) {
    int32_t bytes = BytesSent(offset);
    int32_t filled = bytes * width / totalBytes;
    char percent[16];
    std::snprintf(percent, sizeof percent, "] %3d%%", static_cast<int>(bytes * 100 / totalBytes));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + percent + Tail(bytes, repeats);
}

std::string ProgressReport(int32_t offset, uint32_t repeats) {
    return "progress " + std::to_string(BytesSent(offset)) + " " + std::to_string(repeats);
}

bool ReadProgressReport(const std::string& line, int32_t& offset, uint32_t& repeats) {
    int bytes = 0;
    unsigned int sent = 0;
    char end = 0;
    if (std::sscanf(line.c_str(), "progress %d %u%c", &bytes, &sent, &end) != 2)
        return false;
    offset = bytes;
    repeats = sent;
    return true;
}

void BeginProgress(ProgressStyle style) {
    shownAs = style;
    drawnLine.clear();
}

void ShowProgress(int32_t offset, uint32_t repeats) {
    if (shownAs == ProgressStyle::none)
        return;
    bool bar = shownAs == ProgressStyle::bar;
    std::string line = bar ? ProgressLine(offset, repeats) : ProgressReport(offset, repeats);
    if (line == drawnLine)
        return;
    std::fprintf(stderr, bar ? "\r%s" : "%s\n", line.c_str());
    std::fflush(stderr);
    drawnLine = line;
}

void EndProgress() {
    if (shownAs == ProgressStyle::bar && !drawnLine.empty())
        std::fputc('\n', stderr);
    shownAs = ProgressStyle::none;
}
