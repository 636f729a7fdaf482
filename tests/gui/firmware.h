#pragma once
// Firmware files for the scenarios, written from known bytes, and the flash they must produce.
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t programBytes = 0x7F40;  // image bytes sent to the device
constexpr uint32_t deviceFlashBytes = 0x8000; // the virtual device's flash file, bootloader included
constexpr uint8_t flashSeed = 0x5A;           // what the device holds before an upload

// The bytes a file gives for each program address; -1 where it gives none.
struct Firmware {
    std::vector<int> bytes = std::vector<int>(programBytes, -1);
};

// Gives addresses [from, to) a pattern that differs between seeds and addresses.
void FillPattern(Firmware& firmware, uint32_t from, uint32_t to, uint8_t seed);
// Intel HEX text: 16-byte data records, configuration bytes above a type 04 record, end record.
std::string HexText(const Firmware& firmware);
// The device's flash after uploading `firmware` over a flash of flashSeed bytes.
std::vector<uint8_t> ExpectedFlash(const Firmware& firmware, bool resetVectorPatched);
