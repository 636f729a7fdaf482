// One upload through karvex-loader.exe's window, for tools/demo:
//   gui_driver FOLDER HEX [--flash FILE] [--hold MARKER] [--report FILE]
// starts FOLDER\karvex-loader.exe, presses Load, chooses HEX, waits for the final message and
// prints it. With --hold it writes MARKER while the message is shown and waits until MARKER is
// deleted (time for a screenshot). With --flash it reports whether the virtual device's flash
// FILE holds the image the program sent. With --report the lines printed also go to FILE.
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
    std::wstring folder, hex, flash, hold, report;
};

std::string reportText;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    reportText += line + "\n";
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        std::wstring* value = argument == L"--flash"    ? &options.flash
                              : argument == L"--hold"   ? &options.hold
                              : argument == L"--report" ? &options.report
                                                        : nullptr;
        if (value && i + 1 < argc)
            *value = WindowsPath(Narrow(argv[++i]));
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

int Finish(const Options& options, int result) {
    if (!options.report.empty())
        std::ofstream(options.report.c_str(), std::ios::binary) << reportText;
    return result;
}

int Fail(const Options& options, const char* what) {
    Say(std::string("failed: ") + what);
    return Finish(options, 1);
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    if (!ParseOptions(argc, argv, options))
        return Fail(options, "usage: gui_driver FOLDER HEX [--flash FILE] [--hold MARKER] [--report FILE]");
    RunningProgram program;
    if (!StartProgram(options.folder + L"\\karvex-loader.exe", options.folder, program))
        return Fail(options, "karvex-loader.exe did not start");
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindProgramWindow(program, L"TForm1")) && IsWindowVisible(window); },
              20000);
    std::vector<HWND> controls = window ? ChildWindows(window) : std::vector<HWND>{};
    if (controls.size() != 5) {
        CloseProgram(program, window);
        return Fail(options, "the main window did not appear");
    }
    Say("device: " + Narrow(WindowText(controls[1])));
    bool patched = IsChecked(controls[3]);

    DWORD start = GetTickCount();
    HWND dialog = Click(controls[0]) ? WaitForFileDialog(window, 10000) : nullptr;
    MessageBoxInfo box;
    if (!dialog || !ChooseFile(dialog, options.hex) || !WaitForMessageBox(window, 120000, box)) {
        CloseProgram(program, window);
        return Fail(options, "no message after Load");
    }
    Say("message: " + Narrow(box.text) + " (" + std::to_string(GetTickCount() - start) +
        " ms after Load)");
    if (!options.hold.empty())
        HoldForScreenshot(options.hold);
    CloseMessageBox(box);
    int result = box.text == L"Успешно завершено" ? 0 : 1;
    if (!options.flash.empty()) {
        bool matches = FlashHoldsImage(options, patched);
        Say(std::string("flash matches the image: ") + (matches ? "yes" : "no"));
        result = matches ? result : 1;
    }
    CloseProgram(program, window);
    return Finish(options, result);
}
