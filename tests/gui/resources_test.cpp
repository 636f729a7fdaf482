// What Windows reads from karvex-loader.exe before it runs: manifest, version and icon.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/gui/scenario.h"

namespace {
struct ResourceImage {
    HMODULE module;
    ResourceImage() {
        module = LoadLibraryExW(LoaderExecutable().c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    ~ResourceImage() {
        if (module)
            FreeLibrary(module);
    }
    std::string Text(LPCWSTR type, LPCWSTR name) const {
        HRSRC found = FindResourceW(module, name, type);
        if (!found)
            return {};
        auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    }
};

std::wstring VersionString(const wchar_t* name) {
    std::wstring exe = LoaderExecutable();
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), nullptr);
    std::vector<char> block(size);
    if (!size || !GetFileVersionInfoW(exe.c_str(), 0, size, block.data()))
        return {};
    struct Translation {
        WORD language, codePage;
    }* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) || length < sizeof *translation)
        return {};
    wchar_t path[128];
    swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->codePage, name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(block.data(), path, reinterpret_cast<void**>(&value), &length))
        return {};
    return value;
}
} // namespace

TEST(Resources, ManifestAsksForCommonControls6AndTheInvokersRights) {
    ResourceImage image;
    ASSERT_NE(image.module, nullptr);
    std::string manifest = image.Text(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    size_t controls = manifest.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(controls, std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\"", controls), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

TEST(Resources, VersionIsOnePointZero) {
    EXPECT_EQ(VersionString(L"FileVersion"), L"1.0");
    EXPECT_EQ(VersionString(L"ProductVersion"), L"1.0");
    EXPECT_EQ(VersionString(L"OriginalFilename"), L"karvex-loader.exe");
}

TEST(Resources, CarriesItsOwnIconInSeveralSizes) {
    ResourceImage image;
    ASSERT_NE(image.module, nullptr);
    HICON large = static_cast<HICON>(
        LoadImageW(image.module, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0));
    HICON small = static_cast<HICON>(
        LoadImageW(image.module, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(large, nullptr);
    EXPECT_NE(small, nullptr);
    DestroyIcon(large);
    DestroyIcon(small);
    // The group lists each size the file holds (6 bytes of header, then 14 per image).
    std::string group = image.Text(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(static_cast<uint8_t>(group[4]), 3);
}
