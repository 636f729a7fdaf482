#pragma once
// Drives another program's windows from outside, as a person would: finds its windows, reads
// its controls, clicks, fills in or cancels the file dialog, reads and closes message boxes.
#include <windows.h>

#include <string>
#include <vector>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
// A Unix path as Wine sees it ("/a/b" -> "Z:\a\b"); a Windows path is returned unchanged.
std::wstring WindowsPath(const std::string& path);

// `ms` times KARVEX_TEST_TIME_SCALE (a whole number, 1 when unset): waits stretched, and polls
// spaced, for hosts where Wine itself is emulated and every program start takes most of a minute.
DWORD ScaledTimeout(DWORD ms);

// Calls `condition` every few milliseconds until it holds or the scaled `timeoutMs` has passed.
template <class Condition> bool WaitUntil(Condition condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    DWORD limit = ScaledTimeout(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= limit)
            return condition();
        Sleep(ScaledTimeout(5)); // polling costs the watched program its share of an emulated CPU
    }
}

// --- The program ------------------------------------------------------------
struct RunningProgram {
    HANDLE process = nullptr;
    DWORD id = 0;
};
bool StartProgram(const std::wstring& exe, const std::wstring& folder, RunningProgram& program);
bool HasExited(const RunningProgram& program);
// Asks the main window to close, waits, and terminates the program if it does not end.
void CloseProgram(RunningProgram& program, HWND mainWindow);

// The top-level window of `className` belonging to the program, visible or not.
HWND FindProgramWindow(const RunningProgram& program, const wchar_t* className);

// --- Controls ---------------------------------------------------------------
struct ControlInfo {
    HWND window;
    std::wstring className;
    std::wstring text;
    RECT bounds; // in the parent's client coordinates
    LONG style;
    bool enabled;
    bool visible;
};
// Direct children in window order (for controls created in turn: creation and tab order).
std::vector<HWND> ChildWindows(HWND parent);
ControlInfo ReadControl(HWND control);
std::wstring WindowText(HWND window);
std::vector<std::wstring> ComboItems(HWND combo);
int ComboSelection(HWND combo);
struct ProgressInfo {
    int low, high, position;
};
ProgressInfo ReadProgress(HWND progressBar);
bool IsChecked(HWND checkBox);
// Clicks a button or check box; false, without clicking, if it is disabled or hidden.
bool Click(HWND button);
LRESULT Query(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// --- Message boxes and the file dialog -------------------------------------
struct MessageBoxInfo {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    std::vector<std::wstring> buttons;
    bool hasIcon = false;
};
// Dialog windows (#32770) owned by `owner`, visible.
std::vector<HWND> OwnedDialogs(HWND owner);
bool IsFileDialog(HWND dialog);
// The message box owned by `owner`, as soon as one is shown.
bool WaitForMessageBox(HWND owner, DWORD timeoutMs, MessageBoxInfo& box);
bool MessageBoxOpen(HWND owner);
// Presses OK and waits until the box has gone.
bool CloseMessageBox(const MessageBoxInfo& box);

HWND WaitForFileDialog(HWND owner, DWORD timeoutMs);
// The descriptions in the dialog's file type list, in order.
std::vector<std::wstring> FileTypes(HWND dialog);
// Types the file name and presses Open; false if the dialog has no file name field.
bool ChooseFile(HWND dialog, const std::wstring& path);
bool CancelFileDialog(HWND dialog);
