// Program entry: one main window, its event loop, and the framework's last-resort error box.
#include <windows.h>
#include <commctrl.h>

#include <exception>

#include "app/form.h"
#include "platform/win32_text.h"

namespace {
void InitializeApplication() {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
}

void RunMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab and the arrow keys move between the controls, as in a dialog.
        if (IsDialogMessageW(Form1.Handle, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void ShowSystemError(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    ShowExceptionMessage(text ? Narrow(text).c_str() : "");
    LocalFree(text);
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    try {
        InitializeApplication();
        if (!Form1.Create(instance)) {
            ShowSystemError(GetLastError());
            return 0;
        }
        Form1.Show(showCommand);
        RunMessageLoop();
    } catch (const std::exception& error) {
        ShowExceptionMessage(error.what());
    } catch (...) {
        ShowExceptionMessage("");
    }
    return 0;
}
