#pragma once
// The program-memory image uploaded to the device, and the Intel HEX reader that fills it.
#include <cstdint>

constexpr int32_t lastAddress = 0x7F3F;            // the bootloader starts at 0x7F40
constexpr uint32_t imageSize = lastAddress + 1;    // 32,576 bytes, 509 blocks of 64
constexpr uint32_t flashImageCapacity = 65536;

extern uint8_t FlashImage[flashImageCapacity];

using HexReadResult = int32_t;
enum : HexReadResult { hexReadOk = 0, hexCannotOpen = 1, hexBadContent = 2 };

int HexDigitValue(char ch);
int ParseHexField(const char* text, int n);
// Fills image[0 .. lastAddress] from the Intel HEX file at `utf8Path`.
HexReadResult ReadHexFile(uint8_t* image, const char* utf8Path);
// Bytes 0..3 become GOTO 0x7F40, so that after a reset the device enters its bootloader.
void PatchResetVector(uint8_t* image);
