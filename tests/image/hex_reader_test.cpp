#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/flash_image.h"
#include "tests/image/hex_text.h"

namespace {
constexpr uint8_t untouched = 0x5A; // what the buffer held before the read
const std::string crlf = "\r\n";

std::string Lines(const std::vector<std::string>& lines, const std::string& terminator = crlf) {
    std::string text;
    for (const std::string& line : lines)
        text += line + terminator;
    return text;
}

std::vector<uint8_t> Bytes(uint32_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (uint32_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class HexFileTest : public ::testing::Test {
  protected:
    std::vector<uint8_t> image = std::vector<uint8_t>(flashImageCapacity, untouched);

    void TearDown() override {
        for (const std::string& path : written)
            std::remove(path.c_str());
    }

    std::string WriteFile(const std::string& content) {
        static int fileNumber = 0;
        std::string path = "hex_reader_test_" + std::to_string(++fileNumber) + ".hex";
        std::ofstream(path, std::ios::binary) << content;
        written.push_back(path);
        return path;
    }

    HexReadResult Read(const std::string& content) {
        return ReadHexFile(image.data(), WriteFile(content).c_str());
    }

    // What a read leaves when it stored `bytes` at `address`: 0xFF elsewhere in the image,
    // the buffer above the image as it was.
    static std::vector<uint8_t> Expected(uint32_t address = 0,
                                         const std::vector<uint8_t>& bytes = {}) {
        std::vector<uint8_t> expected(flashImageCapacity, untouched);
        std::fill(expected.begin(), expected.begin() + imageSize, 0xFF);
        std::copy(bytes.begin(), bytes.end(), expected.begin() + address);
        return expected;
    }

    ::testing::AssertionResult ImageIs(const std::vector<uint8_t>& expected) const {
        for (uint32_t i = 0; i < flashImageCapacity; ++i) {
            if (image[i] != expected[i])
                return ::testing::AssertionFailure()
                       << "first difference at 0x" << std::hex << i << ": 0x" << int{image[i]}
                       << ", expected 0x" << int{expected[i]};
        }
        return ::testing::AssertionSuccess();
    }

  private:
    std::vector<std::string> written;
};

TEST_F(HexFileTest, EndOfFileRecordAloneGivesBlankImage) {
    EXPECT_EQ(Read(":00000001FF\r\n"), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected()));
}

TEST_F(HexFileTest, DataRecordIsStoredWithDigitsOfEitherCase) {
    EXPECT_EQ(Read(Lines({":0400000001020304F2", endOfFileRecord})), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0, {1, 2, 3, 4})));
    EXPECT_EQ(Read(Lines({":0400100001020304e2", ":00000001ff"})), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x10, {1, 2, 3, 4})));
}

TEST_F(HexFileTest, RecordMustLieWhollyWithinTheImage) {
    std::string text = Lines({
        DataRecord(0x7F30, Bytes(16, 0x10)),   // last byte exactly at 0x7F3F
        DataRecord(0x7F20, Bytes(0x21, 0x40)), // one byte above the image
        DataRecord(0x7F40, Bytes(4, 0x80)),
        DataRecord(0xFFFF, {0x99}),
        DataRecord(0x0100, {}),
        endOfFileRecord,
    });
    EXPECT_EQ(Read(text), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x7F30, Bytes(16, 0x10))));
}

TEST_F(HexFileTest, ExtendedAddressMovesRecordsOutOfTheImageUntilReset) {
    std::string text = Lines({
        BaseRecord(0x0001),
        DataRecord(0x0000, {0x11, 0x22}),
        DataRecord(0x0010, {0x33}),
        BaseRecord(0xFFFF),
        DataRecord(0xFFFF, {0x44, 0x55}), // 0xFFFFFFFF and beyond: no wrap
        BaseRecord(0x0000),
        DataRecord(0x0020, {0x66}),
        endOfFileRecord,
    });
    EXPECT_EQ(Read(text), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x20, {0x66})));
}

TEST_F(HexFileTest, LaterRecordsOverwriteEarlierOnes) {
    std::string text = Lines({DataRecord(0x0200, Bytes(8, 1)), DataRecord(0x0202, {0xAA, 0xBB})});
    EXPECT_EQ(Read(text), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x0200, {1, 2, 0xAA, 0xBB, 5, 6, 7, 8})));
}

TEST_F(HexFileTest, LongestRecordFitsTheLineBuffer) {
    std::vector<uint8_t> data = Bytes(255, 3);
    EXPECT_EQ(Read(Lines({DataRecord(0x1000, data), endOfFileRecord})), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x1000, data)));
}

TEST_F(HexFileTest, OverlongLineIsAnErrorAndKeepsEarlierRecords) {
    for (size_t length : {767u, 768u, 769u, 100000u}) {
        SCOPED_TRACE(length);
        std::string overlong = ":" + std::string(length - 1, '0');
        std::string text = Lines({DataRecord(0, {7}), overlong, DataRecord(1, {8})});
        EXPECT_EQ(Read(text), hexBadContent);
        EXPECT_TRUE(ImageIs(Expected(0, {7})));
    }
}

class LineTerminatorTest : public HexFileTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(LineTerminatorTest, EndsTheLine) {
    std::string text =
        Lines({DataRecord(0x0000, {1, 2}), DataRecord(0x0100, {3}), endOfFileRecord}, GetParam());
    EXPECT_EQ(Read(text), hexReadOk);
    std::vector<uint8_t> expected = Expected(0, {1, 2});
    expected[0x100] = 3;
    EXPECT_TRUE(ImageIs(expected));
}

INSTANTIATE_TEST_SUITE_P(ControlAndHighBytes, LineTerminatorTest,
                         ::testing::Values("\r\n", "\n", "\r", "\n\r", std::string(1, '\0'), "\x1F",
                                           "\x80", "\xFF", "\xC3\xA9"));

TEST_F(HexFileTest, ByteOrderMarkEndsALineInsteadOfFailing) {
    EXPECT_EQ(Read("\xEF\xBB\xBF" + Lines({DataRecord(0x30, {9}), endOfFileRecord})), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x30, {9})));
}

TEST_F(HexFileTest, LinesOfTenCharactersOrFewerAreDroppedUnchecked) {
    std::string text =
        Lines({":0", "0", ":123456789", "FFFF", DataRecord(0x40, {5}), endOfFileRecord});
    EXPECT_EQ(Read(text), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0x40, {5})));
    EXPECT_EQ(Read(Lines({":1234567890", endOfFileRecord})), hexBadContent);
}

TEST_F(HexFileTest, FormatErrorStopsTheReadAndKeepsEarlierRecords) {
    const std::vector<std::string> badLines = {
        DataRecord(0x10, {1}) + " ",      // a blank before the line end
        DataRecord(0x10, {1}) + "\x7F",   // DEL is a line character, not a digit
        ":0100100001EG",                  // not a hex digit
        "0100100001EE0",                  // no leading colon
        DataRecord(0x10, {1}) + "0",      // even length
        ":0100100001ED",                  // wrong checksum
        ":0200100001ED",                  // count says 2, one data byte: checksum holds
        HexRecord(0x02, 0, {0x10, 0x00}), // segment address
        HexRecord(0x03, 0, {0, 0, 0, 0}), // start segment address
        HexRecord(0x05, 0, {0, 0, 0, 0}), // start linear address
    };
    for (const std::string& bad : badLines) {
        SCOPED_TRACE(bad);
        std::string text =
            Lines({DataRecord(0x08, {0xAB}), bad, DataRecord(0x09, {0xCD}), endOfFileRecord});
        EXPECT_EQ(Read(text), hexBadContent);
        EXPECT_TRUE(ImageIs(Expected(0x08, {0xAB})));
    }
}

TEST_F(HexFileTest, EndOfFileRecordStopsTheRead) {
    std::string text =
        Lines({DataRecord(0, {1}), endOfFileRecord, DataRecord(1, {2}), "not hex at all"});
    EXPECT_EQ(Read(text), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0, {1})));
}

TEST_F(HexFileTest, ImageIsFilledBeforeAnyContentIsRead) {
    EXPECT_EQ(Read(Lines({"x"})), hexBadContent);
    EXPECT_TRUE(ImageIs(Expected()));
}

TEST_F(HexFileTest, NothingOfAnEarlierFileSurvivesANewRead) {
    ASSERT_EQ(Read(Lines({DataRecord(0, Bytes(64, 0)), endOfFileRecord})), hexReadOk);
    EXPECT_EQ(Read(Lines({endOfFileRecord})), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected()));
}

TEST_F(HexFileTest, FileThatCannotBeOpenedLeavesImageUntouched) {
    EXPECT_EQ(ReadHexFile(image.data(), "no_such_file.hex"), hexCannotOpen);
    std::filesystem::create_directory("hex_reader_test_folder");
    EXPECT_EQ(ReadHexFile(image.data(), "hex_reader_test_folder"), hexCannotOpen);
    std::filesystem::remove("hex_reader_test_folder");
    EXPECT_TRUE(ImageIs(std::vector<uint8_t>(flashImageCapacity, untouched)));
}

// A colon inside a record would enter the checksum as a negative digit; both lines below
// balance that way and would store a corrupted byte at 0.
TEST_F(HexFileTest, ColonAfterTheFirstCharacterIsAnError) {
    for (const char* bad : {":01000000:00F", ":010000000D:2"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Read(Lines({bad, endOfFileRecord})), hexBadContent);
        EXPECT_TRUE(ImageIs(Expected()));
    }
    EXPECT_EQ(Read(Lines({":12:4", endOfFileRecord})), hexReadOk); // short lines stay unchecked
}

// With fewer than two data bytes the base would be read from beyond the record.
TEST_F(HexFileTest, ExtendedAddressRecordMustCarryTwoBytes) {
    for (const std::string& bad : {std::string(":00000004FC"), std::string(":0100000400FB"),
                                   HexRecord(0x04, 0, {0, 0, 1})}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Read(Lines({bad, DataRecord(0, {1}), endOfFileRecord})), hexBadContent);
        EXPECT_TRUE(ImageIs(Expected()));
    }
}

TEST_F(HexFileTest, LastLineWithoutTerminatorIsProcessed) {
    EXPECT_EQ(Read(Lines({DataRecord(0, {1})}) + DataRecord(1, {2})), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0, {1, 2})));
    EXPECT_EQ(Read(DataRecord(0, {1}) + crlf + endOfFileRecord), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0, {1})));
    EXPECT_EQ(Read(DataRecord(0, {1}) + crlf + ":0100010002FF"), hexBadContent);
}

TEST_F(HexFileTest, FileWithoutAnyRecordIsAnError) {
    std::string utf16;
    for (char ch : "\xFF\xFE" + Lines({DataRecord(0, {1}), endOfFileRecord})) {
        utf16 += ch;
        utf16 += '\0';
    }
    for (const std::string& empty :
         {std::string(), std::string("\r\n\r\n\n"), Lines({":0", "12"}), utf16}) {
        EXPECT_EQ(Read(empty), hexBadContent);
        EXPECT_TRUE(ImageIs(Expected()));
    }
    EXPECT_EQ(Read(DataRecord(0, {1})), hexReadOk); // a data record without end record is enough
}

// The byte budget is the low 32 bits of the size: of a file 4 GiB and a few bytes long only
// those few bytes are read, never the bad line at its end.
TEST_F(HexFileTest, SizeIsTakenModulo4GiB) {
    std::string head = Lines({DataRecord(0, {0x42})});
    std::string path = WriteFile(head);
    std::filesystem::resize_file(path, (uint64_t{1} << 32) + head.size() - 2);
    std::ofstream(path, std::ios::binary | std::ios::app) << "Z\n";
    EXPECT_EQ(ReadHexFile(image.data(), path.c_str()), hexReadOk);
    EXPECT_TRUE(ImageIs(Expected(0, {0x42})));
}
} // namespace
