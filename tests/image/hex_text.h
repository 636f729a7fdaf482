#pragma once
// Intel HEX text for the reader's tests, fuzzer seeds and benchmark files.
#include <cstdint>
#include <string>
#include <vector>

inline void AppendHexByte(std::string& text, uint32_t value) {
    static const char digits[] = "0123456789ABCDEF";
    text += digits[(value >> 4) & 0xF];
    text += digits[value & 0xF];
}

// One record with a correct checksum, without a line terminator.
inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::string text = ":";
    uint32_t sum = static_cast<uint32_t>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    AppendHexByte(text, static_cast<uint32_t>(data.size()));
    AppendHexByte(text, address >> 8);
    AppendHexByte(text, address & 0xFF);
    AppendHexByte(text, type);
    for (uint8_t byte : data) {
        AppendHexByte(text, byte);
        sum += byte;
    }
    AppendHexByte(text, (0x100 - (sum & 0xFF)) & 0xFF);
    return text;
}

inline std::string DataRecord(uint16_t address, const std::vector<uint8_t>& data) {
    return HexRecord(0x00, address, data);
}

// Type 04: the following addresses lie at upper << 16.
inline std::string BaseRecord(uint16_t upper) {
    return HexRecord(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

inline const std::string endOfFileRecord = ":00000001FF";
