#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/flash_image.h"

TEST(HexDigitValue, AcceptsOnlyHexDigitsOfEitherCase) {
    const std::string lower = "0123456789abcdef";
    const std::string upper = "0123456789ABCDEF";
    for (int code = -128; code < 128; ++code) {
        char ch = static_cast<char>(code);
        size_t inLower = lower.find(ch);
        size_t inUpper = upper.find(ch);
        int expected = inLower != std::string::npos   ? static_cast<int>(inLower)
                       : inUpper != std::string::npos ? static_cast<int>(inUpper)
                                                      : -1;
        EXPECT_EQ(HexDigitValue(ch), expected) << "character code " << code;
    }
}

TEST(ParseHexField, FirstCharacterIsMostSignificant) {
    EXPECT_EQ(ParseHexField("7F3F", 4), 0x7F3F);
    EXPECT_EQ(ParseHexField("ffff", 4), 0xFFFF);
    EXPECT_EQ(ParseHexField("aB", 2), 0xAB);
    EXPECT_EQ(ParseHexField("0012", 2), 0x00); // only n characters are read
    EXPECT_EQ(ParseHexField("5", 0), 0);
}

TEST(ParseHexField, NonDigitContributesMinusItsPlaceValue) {
    EXPECT_EQ(ParseHexField(":0", 2), -16);
    EXPECT_EQ(ParseHexField("1G", 2), 16 - 1);
    EXPECT_EQ(ParseHexField("::", 2), -17);
    EXPECT_EQ(ParseHexField("1 00", 4), 0x1000 - 0x100);
}

TEST(PatchResetVector, WritesGotoBootloaderOverTheFirstFourBytesOnly) {
    uint8_t image[8];
    std::memset(image, 0x11, sizeof image);
    PatchResetVector(image);
    const uint8_t expected[8] = {0xA0, 0xEF, 0x3F, 0xF0, 0x11, 0x11, 0x11, 0x11};
    EXPECT_EQ(std::memcmp(image, expected, sizeof image), 0);
}
