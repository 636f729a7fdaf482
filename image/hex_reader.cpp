#include "image/flash_image.h"
#include "platform/platform.h"

#include <cstring>

namespace {
constexpr uint32_t lineCapacity = 768;
// ':' count(2) address(4) type(2) checksum(2); anything shorter is dropped unchecked.
constexpr uint32_t shortestRecordLength = 11;
constexpr uint32_t readChunkSize = 64 * 1024;

constexpr int dataRecord = 0x00;
constexpr int endOfFileRecord = 0x01;
constexpr int extendedLinearAddressRecord = 0x04;

enum class Step { carryOn, endOfFile, badContent };

struct HexReader {
    uint8_t* image;
    char line[lineCapacity];
    uint32_t lineLength;
    uint32_t base;
    bool recordSeen; // a line long enough to be a record was accepted
};

bool IsLineCharacter(uint8_t byte) { return static_cast<int8_t>(byte) >= 0x20; }

bool HasStrayColon(const HexReader& reader) {
    return std::memchr(reader.line + 1, ':', reader.lineLength - 1) != nullptr;
}

bool ChecksumHolds(const HexReader& reader) {
    uint8_t sum = 0;
    for (uint32_t i = 1; i < reader.lineLength; i += 2)
        sum = static_cast<uint8_t>(sum + ParseHexField(reader.line + i, 2));
    return sum == 0;
}

void StoreData(HexReader& reader, uint32_t address, int count) {
    uint64_t end = uint64_t{address} + static_cast<uint64_t>(count) - 1;
    if (count == 0 || address > uint32_t{lastAddress} || end > uint64_t{lastAddress})
        return; // outside the image, or partly above it: skipped whole
    for (int j = 0; j < count; ++j)
        reader.image[address + j] = static_cast<uint8_t>(ParseHexField(reader.line + 9 + 2 * j, 2));
}

Step ProcessRecord(HexReader& reader) {
    const char* line = reader.line;
    int count = ParseHexField(line + 1, 2);
    uint32_t address = static_cast<uint32_t>(ParseHexField(line + 3, 4)) + reader.base;
    int type = ParseHexField(line + 7, 2);
    if (static_cast<uint32_t>(count * 2) + shortestRecordLength != reader.lineLength)
        return Step::badContent;
    switch (type) {
    case dataRecord:
        StoreData(reader, address, count);
        return Step::carryOn;
    case endOfFileRecord:
        return Step::endOfFile;
    case extendedLinearAddressRecord:
        if (count != 2) // otherwise the base would come from beyond the record
            return Step::badContent;
        reader.base = static_cast<uint32_t>(ParseHexField(line + 9, 4)) << 16;
        return Step::carryOn;
    default:
        return Step::badContent;
    }
}

Step ProcessLine(HexReader& reader) {
    if (reader.lineLength < shortestRecordLength)
        return Step::carryOn;
    if (reader.line[0] != ':' || HasStrayColon(reader) || reader.lineLength % 2 == 0 ||
        !ChecksumHolds(reader))
        return Step::badContent;
    reader.recordSeen = true;
    return ProcessRecord(reader);
}

Step TakeByte(HexReader& reader, uint8_t byte) {
    if (!IsLineCharacter(byte)) {
        Step step = ProcessLine(reader);
        reader.lineLength = 0;
        return step;
    }
    char ch = static_cast<char>(byte);
    if (reader.lineLength == lineCapacity || (ch != ':' && HexDigitValue(ch) < 0))
        return Step::badContent;
    reader.line[reader.lineLength++] = ch;
    return Step::carryOn;
}

// Feeds the file's bytes, at most `budget` of them, until a record ends the read.
Step ReadRecords(HexReader& reader, PlatformFile& file, uint32_t budget) {
    uint8_t chunk[readChunkSize];
    while (budget > 0) {
        uint32_t got = ReadFileBytes(file, chunk, budget < readChunkSize ? budget : readChunkSize);
        if (got == 0)
            break; // the real end came before the size said
        budget -= got;
        for (uint32_t i = 0; i < got; ++i) {
            Step step = TakeByte(reader, chunk[i]);
            if (step != Step::carryOn)
                return step;
        }
    }
    // A last line without a terminator counts as terminated.
    return ProcessLine(reader);
}

HexReadResult ReadOpenFile(uint8_t* image, PlatformFile& file) {
    uint32_t budget = static_cast<uint32_t>(PlatformFileSize(file)); // low 32 bits
    std::memset(image, 0xFF, imageSize);
    HexReader reader{image, {}, 0, 0, false};
    Step step = ReadRecords(reader, file, budget);
    if (step == Step::badContent || !reader.recordSeen)
        return hexBadContent;
    return hexReadOk;
}
} // namespace

int HexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

int ParseHexField(const char* text, int n) {
    // Horner's rule gives the same sum of digit × 16^k, a −1 digit included; unsigned
    // arithmetic keeps long fields defined.
    uint32_t value = 0;
    for (int i = 0; i < n; ++i)
        value = value * 16 + static_cast<uint32_t>(HexDigitValue(text[i]));
    return static_cast<int>(value);
}

HexReadResult ReadHexFile(uint8_t* image, const char* utf8Path) {
    PlatformFile file;
    if (!OpenFileForReading(utf8Path, file))
        return hexCannotOpen;
    HexReadResult result = ReadOpenFile(image, file);
    CloseFile(file);
    return result;
}
