// One upload through karvex-loader.exe's window, for tools/demo:
//   gui_driver FOLDER HEX [--flash FILE] [--hold MARKER]
// starts FOLDER\karvex-loader.exe, presses Load, chooses HEX, waits for the final message and
// prints it. With --hold it writes MARKER while the message is shown and waits until MARKER is
// deleted (time for a screenshot). With --flash it reports whether the virtual device's flash
// FILE holds the image the program sent.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/flash_image.h"
#include "tests/gui/automation.h"

namespace {
struct Options {
    std::wstring folder, hex, flash, hold;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if ((argument == L"--flash" || argument == L"--hold") && i + 1 < argc)
            (argument == L"--flash" ? options.flash : options.hold) = WindowsPath(Narrow(argv[++i]));
        else
            positional.push_back(WindowsPath(Narrow(argument)));
    }
    if (positional.size() != 2)
        return false;
    options.folder = positional[0];
    options.hex = positional[1];
    return true;
}

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The image the program sends: the file as read, with the jump when the check box is set.
bool FlashHoldsImage(const Options& options, bool patched) {
    if (ReadHexFile(FlashImage, Narrow(options.hex).c_str()) != hexReadOk)
        return false;
    if (patched)
        PatchResetVector(FlashImage);
    return WaitUntil(
        [&] {
            std::vector<uint8_t> flash = ReadBytes(options.flash);
            return flash.size() >= imageSize && std::equal(flash.begin(), flash.begin() + imageSize, FlashImage);
        },
        5000);
}

void HoldForScreenshot(const std::wstring& marker) {
    std::ofstream(marker.c_str()) << "message shown\n";
    WaitUntil([&] { return GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; }, 30000);
}

int Fail(const char* what) {
    std::printf("failed: %s\n", what);
    return 1;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    if (!ParseOptions(argc, argv, options))
        return Fail("usage: gui_driver FOLDER HEX [--flash FILE] [--hold MARKER]");
    RunningProgram program;
    if (!StartProgram(options.folder + L"\\karvex-loader.exe", options.folder, program))
        return Fail("karvex-loader.exe did not start");
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindProgramWindow(program, L"TForm1")) && IsWindowVisible(window); },
              20000);
    std::vector<HWND> controls = window ? ChildWindows(window) : std::vector<HWND>{};
    if (controls.size() != 5) {
        CloseProgram(program, window);
        return Fail("the main window did not appear");
    }
    RECT frame;
    GetWindowRect(window, &frame);
    std::printf("window: %ld %ld %ld %ld\n", frame.left, frame.top, frame.right, frame.bottom);
    std::printf("device: %s\n", Narrow(WindowText(controls[1])).c_str());
    bool patched = IsChecked(controls[3]);

    DWORD start = GetTickCount();
    HWND dialog = Click(controls[0]) ? WaitForFileDialog(window, 10000) : nullptr;
    MessageBoxInfo box;
    if (!dialog || !ChooseFile(dialog, options.hex) || !WaitForMessageBox(window, 120000, box)) {
        CloseProgram(program, window);
        return Fail("no message after Load");
    }
    std::printf("message: %s (%lu ms after Load)\n", Narrow(box.text).c_str(),
                static_cast<unsigned long>(GetTickCount() - start));
    std::fflush(stdout);
    if (!options.hold.empty())
        HoldForScreenshot(options.hold);
    CloseMessageBox(box);
    int result = box.text == L"Успешно завершено" ? 0 : 1;
    if (!options.flash.empty()) {
        bool matches = FlashHoldsImage(options, patched);
        std::printf("flash matches the image: %s\n", matches ? "yes" : "no");
        result = matches ? result : 1;
    }
    CloseProgram(program, window);
    return result;
}
