#include "tests/gui/scenario.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/sim_variables.h"

namespace {
std::wstring SettingName(const char* name) { return L"KARVEX_SIM_" + Widen(name); }

std::wstring FlashFile(const std::wstring& folder, int device) {
    std::wstring path = folder + L"\\flash.bin";
    return device == 0 ? path : path + L"." + std::to_wstring(device);
}

std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
} // namespace

// tools/check-packages names the packaged program instead, to see it work as the built one does.
std::wstring LoaderExecutable() {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"KARVEX_LOADER_UNDER_TEST", path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path) : WindowsPath(KARVEX_LOADER_EXE);
}
std::wstring VirtualDeviceLibrary() { return WindowsPath(KARVEX_VIRTUAL_DEVICE); }

void GuiScenario::SetUp() {
    wchar_t display[256];
    if (!GetEnvironmentVariableW(L"DISPLAY", display, 256))
        GTEST_SKIP() << "no X display (DISPLAY is not set); tools/test provides one";
    for (const char* name : simVariableNames)
        SetEnvironmentVariableW(Widen(name).c_str(), nullptr);
}

void GuiScenario::TearDown() { CloseProgram(program, mainWindow); }

void GuiScenario::PrepareFolder(bool withVirtualDevice) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path path = std::filesystem::current_path() / "gui-scenarios" /
                                 (std::string(test->test_suite_name()) + "." + test->name());
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    folder = path.wstring();
    std::filesystem::copy_file(std::filesystem::path(LoaderExecutable()), path / "karvex-loader.exe");
    if (withVirtualDevice)
        std::filesystem::copy_file(std::filesystem::path(VirtualDeviceLibrary()), path / "ftd2xx.dll");
    SetDevice("FLASH", FlashFile(folder, 0));
    SetDevice("TRACE", folder + L"\\trace.txt");
}

void GuiScenario::SetDevice(const char* name, const std::wstring& value) {
    SetEnvironmentVariableW(SettingName(name).c_str(), value.c_str());
}

void GuiScenario::Launch() {
    ASSERT_TRUE(StartProgram(folder + L"\\karvex-loader.exe", folder, program));
    ASSERT_TRUE(WaitUntil(
        [&] {
            mainWindow = FindProgramWindow(program, L"TForm1");
            return mainWindow && (IsWindowVisible(mainWindow) || MessageBoxOpen(mainWindow));
        },
        20000))
        << "the main window did not appear";
    std::vector<HWND> controls = ChildWindows(mainWindow);
    ASSERT_EQ(controls.size(), 5u);
    Button2 = controls[0];
    ComboBox1 = controls[1];
    ProgressBar1 = controls[2];
    CheckBox1 = controls[3];
    Button1 = controls[4];
}

std::wstring GuiScenario::WriteFile(const std::wstring& relativePath, const std::string& content) {
    std::filesystem::path path = std::filesystem::path(folder) / relativePath;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path.wstring();
}

void GuiScenario::SeedFlash(int device) {
    std::ofstream(std::filesystem::path(FlashFile(folder, device)), std::ios::binary)
        << std::string(deviceFlashBytes, static_cast<char>(flashSeed));
}

std::vector<uint8_t> GuiScenario::ReadFlash(int device) {
    std::string bytes = ReadWholeFile(FlashFile(folder, device));
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::string GuiScenario::ReadTrace() { return ReadWholeFile(folder + L"\\trace.txt"); }

// The device writes its flash back when it is closed, just after the upload has finished.
bool GuiScenario::FlashBecomes(int device, const std::vector<uint8_t>& expected) {
    return WaitUntil([&] { return ReadFlash(device) == expected; }, 5000);
}

void GuiScenario::LoadFile(const std::wstring& path) {
    ASSERT_TRUE(Click(Button2)) << "Load is not enabled";
    HWND dialog = WaitForFileDialog(mainWindow, 10000);
    ASSERT_NE(dialog, nullptr) << "no file dialog";
    ASSERT_TRUE(ChooseFile(dialog, path));
}

MessageBoxInfo GuiScenario::ExpectMessage(DWORD timeoutMs) {
    MessageBoxInfo box;
    EXPECT_TRUE(WaitForMessageBox(mainWindow, timeoutMs, box)) << "no message box";
    return box;
}

void GuiScenario::ExpectMessageAndClose(const std::string& text, DWORD timeoutMs) {
    MessageBoxInfo box = ExpectMessage(timeoutMs);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(Narrow(box.text), text);
    EXPECT_EQ(Narrow(box.caption), "KARVEX Loader v1.0");
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_FALSE(box.hasIcon);
    EXPECT_TRUE(CloseMessageBox(box));
}

bool GuiScenario::AnotherMessageWithin(DWORD ms) {
    return WaitUntil([&] { return MessageBoxOpen(mainWindow); }, ms);
}
