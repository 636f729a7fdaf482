// Where LoadSharedLibrary searches on Windows, with SetDefaultDllDirectories and without it
// (a Windows 7 lacking its update), and how a library's text is read.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_loader.h"

namespace {
namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A library only in the current directory is not found by name; one beside the program is.
void ExpectCurrentDirectoryLeftOut() {
    const fs::path home = fs::current_path();
    const fs::path folder =
        home / ("search-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    const fs::path planted = folder / "karvex-planted.dll";
    fs::create_directories(folder);
    fs::remove(planted);
    fs::copy_file(PARTIAL_LIBRARY_NAME, planted);
    fs::current_path(folder);
    void* byName = LoadSharedLibrary("karvex-planted.dll");
    void* beside = LoadSharedLibrary(PARTIAL_LIBRARY_NAME);
    fs::current_path(home);
    void* byPath = LoadSharedLibrary(Utf8(planted).c_str());
    EXPECT_EQ(byName, nullptr) << "loaded from the current directory";
    EXPECT_NE(beside, nullptr) << "not found beside the program";
    EXPECT_NE(byPath, nullptr) << "the planted library cannot be loaded at all";
    for (void* library : {byName, beside, byPath})
        ReleaseSharedLibrary(library);
}

TEST(LibrarySearch, LeavesOutTheCurrentDirectory) { ExpectCurrentDirectoryLeftOut(); }

std::vector<std::string> lookedUp;

TEST(LibrarySearch, WithoutSetDefaultDllDirectoriesStillLeavesOutTheCurrentDirectory) {
    findKernelFunction = [](const char* name) -> void* {
        lookedUp.push_back(name);
        return nullptr;
    };
    ExpectCurrentDirectoryLeftOut();
    ASSERT_FALSE(lookedUp.empty());
    EXPECT_EQ(lookedUp[0], "SetDefaultDllDirectories");
}

TEST(LibraryText, Utf8StaysAndOtherTextIsReadInTheAnsiCodePage) {
    EXPECT_EQ(LibraryTextAsUtf8(""), "");
    EXPECT_EQ(LibraryTextAsUtf8("KARVEX Кар"), "KARVEX Кар");
    const char* ansi = "KARVEX \xCA\xE0\xF0"; // not UTF-8
    if (GetACP() == 1251)
        EXPECT_EQ(LibraryTextAsUtf8(ansi), "KARVEX Кар");
    else if (GetACP() == 1252)
        EXPECT_EQ(LibraryTextAsUtf8(ansi), "KARVEX Êàð");
    else
        GTEST_SKIP() << "ANSI code page " << GetACP();
}
} // namespace
