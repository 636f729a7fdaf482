#include "image/flash_image.h"
#include "platform/platform.h"

#include <array>
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

constexpr int DigitValue(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

template <typename Entry, typename Rule> constexpr std::array<Entry, 256> TableOf(Rule rule) {
    std::array<Entry, 256> table{};
    for (int byte = 0; byte < 256; ++byte)
        table[byte] = rule(static_cast<uint8_t>(byte));
    return table;
}

// Looked up per byte: the reader's speed rests on these two tables.
constexpr auto digitValues = TableOf<int8_t>(
    [](uint8_t byte) { return static_cast<int8_t>(DigitValue(static_cast<char>(byte))); });

// ParseHexField, inline for the per-record work. Horner's rule gives the same sum of
// digit × 16^k, a −1 digit included; unsigned arithmetic keeps long fields defined.
inline int FieldValue(const char* text, int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i)
        value = value * 16 + static_cast<uint32_t>(digitValues[static_cast<uint8_t>(text[i])]);
    return static_cast<int>(value);
}

enum class ByteKind : uint8_t { terminator, lineCharacter, invalid };
// Bytes 0x20..0x7F (at least 0x20 taken as signed) belong to a line; the rest end it.
constexpr auto byteKinds = TableOf<ByteKind>([](uint8_t byte) {
    if (static_cast<int8_t>(byte) < 0x20)
        return ByteKind::terminator;
    return byte == ':' || digitValues[byte] >= 0 ? ByteKind::lineCharacter : ByteKind::invalid;
});

bool HasStrayColon(const HexReader& reader) {
    return std::memchr(reader.line + 1, ':', reader.lineLength - 1) != nullptr;
}

bool ChecksumHolds(const HexReader& reader) {
    uint8_t sum = 0;
    for (uint32_t i = 1; i < reader.lineLength; i += 2)
        sum = static_cast<uint8_t>(sum + FieldValue(reader.line + i, 2));
    return sum == 0;
}

void StoreData(HexReader& reader, uint32_t address, int count) {
    uint64_t end = uint64_t{address} + static_cast<uint64_t>(count) - 1;
    if (count == 0 || address > uint32_t{lastAddress} || end > uint64_t{lastAddress})
        return; // outside the image, or partly above it: skipped whole
    for (int j = 0; j < count; ++j)
        reader.image[address + j] = static_cast<uint8_t>(FieldValue(reader.line + 9 + 2 * j, 2));
}

Step ProcessRecord(HexReader& reader) {
    const char* line = reader.line;
    int count = FieldValue(line + 1, 2);
    uint32_t address = static_cast<uint32_t>(FieldValue(line + 3, 4)) + reader.base;
    int type = FieldValue(line + 7, 2);
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
        reader.base = static_cast<uint32_t>(FieldValue(line + 9, 4)) << 16;
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

// Feeds bytes to the line being collected; a terminator processes it.
Step TakeBytes(HexReader& reader, const uint8_t* bytes, uint32_t size) {
    uint32_t length = reader.lineLength; // a local: stores into `line` may alias the member
    for (uint32_t i = 0; i < size; ++i) {
        uint8_t byte = bytes[i];
        switch (byteKinds[byte]) {
        case ByteKind::lineCharacter:
            if (length == lineCapacity)
                return Step::badContent;
            reader.line[length++] = static_cast<char>(byte);
            break;
        case ByteKind::terminator: {
            reader.lineLength = length;
            Step step = ProcessLine(reader);
            length = 0;
            if (step != Step::carryOn)
                return step;
            break;
        }
        case ByteKind::invalid:
            return Step::badContent;
        }
    }
    reader.lineLength = length;
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
        Step step = TakeBytes(reader, chunk, got);
        if (step != Step::carryOn)
            return step;
    }
    return ProcessLine(reader); // a last line without a terminator counts as terminated
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
    return digitValues[static_cast<uint8_t>(ch)];
}

int ParseHexField(const char* text, int n) {
    return FieldValue(text, n);
}

HexReadResult ReadHexFile(uint8_t* image, const char* utf8Path) {
    PlatformFile file;
    if (!OpenFileForReading(utf8Path, file))
        return hexCannotOpen;
    HexReadResult result = ReadOpenFile(image, file);
    CloseFile(file);
    return result;
}
