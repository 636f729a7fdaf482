// Reads generated HEX files of 100 KiB, 1 MiB and 10 MiB with ReadHexFile and reports the
// speed. Each file holds a full image plus records under higher type 04 bases (as
// configuration and data-memory records are), so every byte of it is parsed.
// Usage: hex_bench <folder>; the files stay there for comparison with other tools.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "image/flash_image.h"
#include "tests/image/hex_text.h"

namespace {
constexpr uint32_t recordBytes = 16;
constexpr double minimumSeconds = 1.0;
constexpr int minimumReads = 3;

struct BenchFile {
    const char* name;
    size_t targetSize;
};
const BenchFile benchFiles[] = {
    {"hex-100k.hex", 100 * 1024},
    {"hex-1m.hex", 1024 * 1024},
    {"hex-10m.hex", 10 * 1024 * 1024},
};

uint8_t NextPseudoRandomByte(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state >> 24);
}

std::vector<uint8_t> RecordData(uint32_t& state) {
    std::vector<uint8_t> data(recordBytes);
    for (uint8_t& byte : data)
        byte = NextPseudoRandomByte(state);
    return data;
}

// The image's content goes to `expected`; the text grows under rising bases to the size.
std::string GenerateHexText(size_t targetSize, std::vector<uint8_t>& expected) {
    uint32_t state = 12345;
    std::string text;
    for (uint32_t address = 0; address < imageSize; address += recordBytes) {
        std::vector<uint8_t> data = RecordData(state);
        std::copy(data.begin(), data.end(), expected.begin() + address);
        text += DataRecord(static_cast<uint16_t>(address), data) + "\r\n";
    }
    const size_t recordLength = DataRecord(0, RecordData(state)).size() + 2;
    const size_t tailLength = endOfFileRecord.size() + 2;
    for (uint16_t base = 1; text.size() + recordLength + tailLength <= targetSize; ++base) {
        text += BaseRecord(base) + "\r\n";
        for (uint32_t address = 0;
             address < 0x10000 && text.size() + recordLength + tailLength <= targetSize;
             address += recordBytes)
            text += DataRecord(static_cast<uint16_t>(address), RecordData(state)) + "\r\n";
    }
    return text + endOfFileRecord + "\r\n";
}

bool ReadsCorrectly(const std::string& path, const std::vector<uint8_t>& expected) {
    std::vector<uint8_t> image(flashImageCapacity);
    return ReadHexFile(image.data(), path.c_str()) == hexReadOk &&
           std::equal(expected.begin(), expected.begin() + imageSize, image.begin());
}

// Fastest of several reads, in seconds.
double FastestRead(const std::string& path) {
    using Clock = std::chrono::steady_clock;
    std::vector<uint8_t> image(flashImageCapacity);
    double fastest = 1e9;
    double total = 0;
    for (int reads = 0; reads < minimumReads || total < minimumSeconds; ++reads) {
        Clock::time_point start = Clock::now();
        ReadHexFile(image.data(), path.c_str());
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        fastest = seconds < fastest ? seconds : fastest;
        total += seconds;
    }
    return fastest;
}

bool RunBenchFile(const std::string& folder, const BenchFile& bench) {
    std::vector<uint8_t> expected(imageSize);
    std::string text = GenerateHexText(bench.targetSize, expected);
    std::string path = folder + "/" + bench.name;
    if (!(std::ofstream(path, std::ios::binary) << text)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    if (!ReadsCorrectly(path, expected)) {
        std::fprintf(stderr, "%s was not read correctly\n", path.c_str());
        return false;
    }
    double seconds = FastestRead(path);
    std::printf("%-14s %10zu bytes %10.6f s %9.1f MB/s\n", bench.name, text.size(), seconds,
                static_cast<double>(text.size()) / seconds / 1e6);
    return true;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hex_bench <folder for the generated files>\n");
        return 2;
    }
    for (const BenchFile& bench : benchFiles) {
        if (!RunBenchFile(argv[1], bench))
            return 1;
    }
    return 0;
}
