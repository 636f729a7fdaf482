#pragma once
// One scenario: a fresh folder holding karvex-loader.exe (and the virtual device's ftd2xx.dll,
// unless the scenario goes without), the virtual device's settings, the running program and
// its controls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/gui/automation.h"
#include "tests/gui/firmware.h"

class GuiScenario : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new folder for this scenario, with the program and, if asked, the virtual device.
    void PrepareFolder(bool withVirtualDevice = true);
    // One KARVEX_SIM_ setting of the virtual device (name without the prefix).
    void SetDevice(const char* name, const std::wstring& value);
    // Starts the program and waits until its main window exists and shows or reports.
    void Launch();

    std::wstring WriteFile(const std::wstring& relativePath, const std::string& content);
    void SeedFlash(int device);
    std::vector<uint8_t> ReadFlash(int device);
    std::string ReadTrace();
    bool FlashBecomes(int device, const std::vector<uint8_t>& expected);

    // Load: click, see the file dialog, type the path and press Open.
    void LoadFile(const std::wstring& path);
    MessageBoxInfo ExpectMessage(DWORD timeoutMs = 10000);
    // The box shows `text` as the program's own messages do; then OK is pressed.
    void ExpectMessageAndClose(const std::string& text, DWORD timeoutMs = 10000);
    bool AnotherMessageWithin(DWORD ms);

    std::wstring folder;
    RunningProgram program;
    HWND mainWindow = nullptr;
    HWND Button2 = nullptr, ComboBox1 = nullptr, ProgressBar1 = nullptr, CheckBox1 = nullptr,
         Button1 = nullptr;
};

// The path of the program (as the build made it, unless KARVEX_LOADER_UNDER_TEST names another
// copy), or of the virtual device's library.
std::wstring LoaderExecutable();
std::wstring VirtualDeviceLibrary();
