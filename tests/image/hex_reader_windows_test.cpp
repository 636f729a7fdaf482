// The Windows file seam: exclusive open, UTF-8 paths turned into wide names.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "image/flash_image.h"
#include "tests/image/hex_text.h"

namespace {
const std::string recordFile = DataRecord(0, {0x12, 0x34}) + "\r\n" + endOfFileRecord + "\r\n";

void WriteWideNamedFile(const wchar_t* name, const std::string& content) {
    HANDLE file =
        CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, content.size());
}

HANDLE OpenExclusively(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}
} // namespace

TEST(HexReaderWindows, FileHeldOpenElsewhereCannotBeOpened) {
    const wchar_t* name = L"hex_reader_held.hex";
    WriteWideNamedFile(name, recordFile);
    std::vector<uint8_t> image(flashImageCapacity, 0x5A);
    HANDLE holder = OpenExclusively(name);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadHexFile(image.data(), "hex_reader_held.hex"), hexCannotOpen);
    EXPECT_EQ(image, std::vector<uint8_t>(flashImageCapacity, 0x5A));
    CloseHandle(holder);
    EXPECT_EQ(ReadHexFile(image.data(), "hex_reader_held.hex"), hexReadOk);
    DeleteFileW(name);
}

TEST(HexReaderWindows, FileIsClosedOnEveryPath) {
    const wchar_t* name = L"hex_reader_closed.hex";
    std::vector<uint8_t> image(flashImageCapacity);
    for (const std::string& content : {recordFile, std::string("bad")}) {
        WriteWideNamedFile(name, content);
        ReadHexFile(image.data(), "hex_reader_closed.hex");
        HANDLE again = OpenExclusively(name);
        EXPECT_NE(again, INVALID_HANDLE_VALUE) << content;
        CloseHandle(again);
    }
    DeleteFileW(name);
}

TEST(HexReaderWindows, CyrillicFileNameReads) {
    const wchar_t* name = L"\u043F\u0440\u043E\u0448\u0438\u0432\u043A\u0430.hex"; // "прошивка.hex"
    WriteWideNamedFile(name, recordFile);
    std::vector<uint8_t> image(flashImageCapacity);
    EXPECT_EQ(ReadHexFile(image.data(),
                          "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0.hex"),
              hexReadOk);
    EXPECT_EQ(image[0], 0x12);
    EXPECT_EQ(image[1], 0x34);
    EXPECT_EQ(image[2], 0xFF);
    DeleteFileW(name);
}
