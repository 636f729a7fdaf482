#include "tests/gui/firmware.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {
std::string Record(uint32_t address, uint8_t type, const std::vector<uint8_t>& data) {
    uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + address + type);
    char field[16];
    std::snprintf(field, sizeof field, ":%02X%04X%02X", static_cast<unsigned>(data.size()),
                  static_cast<unsigned>(address & 0xFFFF), type);
    std::string line = field;
    for (uint8_t byte : data) {
        std::snprintf(field, sizeof field, "%02X", byte);
        line += field;
        sum = static_cast<uint8_t>(sum + byte);
    }
    std::snprintf(field, sizeof field, "%02X\r\n", static_cast<uint8_t>(-sum));
    return line + field;
}
} // namespace

void FillPattern(Firmware& firmware, uint32_t from, uint32_t to, uint8_t seed) {
    for (uint32_t address = from; address < to; ++address)
        firmware.bytes[address] = static_cast<uint8_t>(address * 37 + (address >> 8) + seed);
}

std::string HexText(const Firmware& firmware) {
    std::string text;
    for (uint32_t start = 0; start < programBytes; start += 16) {
        std::vector<uint8_t> run;
        for (uint32_t address = start; address < start + 16; ++address) {
            int byte = firmware.bytes[address];
            if (byte < 0 && !run.empty()) {
                text += Record(address - static_cast<uint32_t>(run.size()), 0, run);
                run.clear();
            } else if (byte >= 0) {
                run.push_back(static_cast<uint8_t>(byte));
            }
        }
        if (!run.empty())
            text += Record(start + 16 - static_cast<uint32_t>(run.size()), 0, run);
    }
    // Configuration words at 0x300000, as an assembler writes them: never sent to the device.
    text += Record(0, 4, {0x00, 0x30});
    text += Record(0, 0, {0x24, 0x0E, 0x3F, 0x1E});
    text += Record(0, 1, {});
    return text;
}

std::vector<uint8_t> ExpectedFlash(const Firmware& firmware, bool resetVectorPatched) {
    std::vector<uint8_t> flash(deviceFlashBytes, flashSeed);
    for (uint32_t address = 0; address < programBytes; ++address)
        flash[address] = firmware.bytes[address] < 0 ? 0xFF
                                                     : static_cast<uint8_t>(firmware.bytes[address]);
    if (resetVectorPatched) {
        const uint8_t gotoBootloader[] = {0xA0, 0xEF, 0x3F, 0xF0};
        std::copy(std::begin(gotoBootloader), std::end(gotoBootloader), flash.begin());
    }
    return flash;
}
