#include "tests/gui/automation.h"

#include <commctrl.h>

namespace {
constexpr DWORD queryTimeoutMs = 5000;
constexpr int fileNameEditId = 0x480;  // edt1
constexpr int fileNameComboId = 0x47C; // cmb13, which holds the edit in newer dialogs
constexpr int fileTypeComboId = 0x470; // cmb1

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    HWND owner;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    bool wanted = search.owner ? GetWindow(window, GW_OWNER) == search.owner && IsWindowVisible(window)
                               : processId == search.processId;
    if (wanted && ClassName(window) == search.className)
        search.found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectDescendant(HWND window, LPARAM context) {
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    return TRUE;
}

std::vector<HWND> Descendants(HWND parent) {
    std::vector<HWND> all;
    EnumChildWindows(parent, CollectDescendant, reinterpret_cast<LPARAM>(&all));
    return all;
}

HWND FileNameEdit(HWND dialog) {
    for (HWND child : Descendants(dialog)) {
        if (ClassName(child) != L"Edit")
            continue;
        if (GetDlgCtrlID(child) == fileNameEditId || GetDlgCtrlID(GetParent(child)) == fileNameComboId)
            return child;
    }
    return nullptr;
}

bool PressButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return button && Click(button);
}
} // namespace

std::wstring Widen(const std::string& utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                     nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring& utf16) {
    int length = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), utf8.data(),
                        length, nullptr, nullptr);
    return utf8;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring wide = Widen(path);
    if (wide.empty() || wide[0] != L'/')
        return wide;
    for (wchar_t& ch : wide)
        if (ch == L'/')
            ch = L'\\';
    return L"Z:" + wide;
}

DWORD ScaledTimeout(DWORD ms) {
    static const DWORD scale = [] {
        wchar_t text[16] = {};
        DWORD value = GetEnvironmentVariableW(L"KARVEX_TEST_TIME_SCALE", text, 16) ? wcstoul(text, nullptr, 10) : 0;
        return value ? value : 1;
    }();
    return ms * scale;
}

bool StartProgram(const std::wstring& exe, const std::wstring& folder, RunningProgram& program) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &started))
        return false;
    CloseHandle(started.hThread);
    program.process = started.hProcess;
    program.id = started.dwProcessId;
    return true;
}

bool HasExited(const RunningProgram& program) {
    return WaitForSingleObject(program.process, 0) == WAIT_OBJECT_0;
}

void CloseProgram(RunningProgram& program, HWND mainWindow) {
    if (!program.process)
        return;
    if (mainWindow)
        PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(program.process, ScaledTimeout(5000)) != WAIT_OBJECT_0) {
        TerminateProcess(program.process, 1);
        WaitForSingleObject(program.process, 5000);
    }
    CloseHandle(program.process);
    program = RunningProgram{};
}

HWND FindProgramWindow(const RunningProgram& program, const wchar_t* className) {
    WindowSearch search{program.id, className, nullptr, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found.empty() ? nullptr : search.found.front();
}

std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

LRESULT Query(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, queryTimeoutMs, &result);
    return static_cast<LRESULT>(result);
}

std::wstring WindowText(HWND window) {
    auto length = static_cast<size_t>(Query(window, WM_GETTEXTLENGTH));
    std::wstring text(length + 1, L'\0');
    auto got = static_cast<size_t>(
        Query(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
    text.resize(got < length ? got : length);
    return text;
}

ControlInfo ReadControl(HWND control) {
    ControlInfo info{control, ClassName(control), WindowText(control), {}, 0, false, false};
    GetWindowRect(control, &info.bounds);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&info.bounds), 2);
    info.style = GetWindowLongW(control, GWL_STYLE);
    info.enabled = IsWindowEnabled(control);
    info.visible = IsWindowVisible(control);
    return info;
}

std::vector<std::wstring> ComboItems(HWND combo) {
    std::vector<std::wstring> items;
    auto count = static_cast<int>(Query(combo, CB_GETCOUNT));
    for (int i = 0; i < count; ++i) {
        std::wstring item(static_cast<size_t>(Query(combo, CB_GETLBTEXTLEN, i)) + 1, L'\0');
        auto got = Query(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
        item.resize(got > 0 ? static_cast<size_t>(got) : 0);
        items.push_back(item);
    }
    return items;
}

int ComboSelection(HWND combo) { return static_cast<int>(Query(combo, CB_GETCURSEL)); }

ProgressInfo ReadProgress(HWND progressBar) {
    // With no structure to fill, the range query answers one limit at a time.
    return {static_cast<int>(Query(progressBar, PBM_GETRANGE, TRUE, 0)),
            static_cast<int>(Query(progressBar, PBM_GETRANGE, FALSE, 0)),
            static_cast<int>(Query(progressBar, PBM_GETPOS))};
}

bool IsChecked(HWND checkBox) { return Query(checkBox, BM_GETCHECK) == BST_CHECKED; }

bool Click(HWND button) {
    if (!IsWindowEnabled(button) || !IsWindowVisible(button))
        return false;
    // Posted: the click may open a modal window in the program, which would hold a sent one.
    return PostMessageW(button, BM_CLICK, 0, 0);
}

std::vector<HWND> OwnedDialogs(HWND owner) {
    WindowSearch search{0, L"#32770", owner, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool IsFileDialog(HWND dialog) { return FileNameEdit(dialog) != nullptr; }

bool MessageBoxOpen(HWND owner) {
    for (HWND dialog : OwnedDialogs(owner))
        if (!IsFileDialog(dialog))
            return true;
    return false;
}

bool WaitForMessageBox(HWND owner, DWORD timeoutMs, MessageBoxInfo& box) {
    bool found = WaitUntil(
        [&] {
            for (HWND dialog : OwnedDialogs(owner))
                if (!IsFileDialog(dialog)) {
                    box.window = dialog;
                    return true;
                }
            return false;
        },
        timeoutMs);
    if (!found)
        return false;
    box.caption = WindowText(box.window);
    for (HWND child : Descendants(box.window)) {
        ControlInfo control = ReadControl(child);
        if (!control.visible)
            continue;
        if (control.className == L"Button")
            box.buttons.push_back(control.text);
        else if (control.className == L"Static" && (control.style & SS_TYPEMASK) == SS_ICON)
            box.hasIcon = box.hasIcon || Query(child, STM_GETICON) != 0; // an empty one may stay
        else if (control.className == L"Static" && !control.text.empty())
            box.text = control.text;
    }
    return true;
}

bool CloseMessageBox(const MessageBoxInfo& box) {
    HWND ok = GetDlgItem(box.window, IDOK);
    if (!ok || !Click(ok))
        return false;
    return WaitUntil([&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); }, 5000);
}

HWND WaitForFileDialog(HWND owner, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND dialog : OwnedDialogs(owner))
                if (IsFileDialog(dialog))
                    found = dialog;
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

std::vector<std::wstring> FileTypes(HWND dialog) {
    HWND types = GetDlgItem(dialog, fileTypeComboId);
    return types ? ComboItems(types) : std::vector<std::wstring>{};
}

bool ChooseFile(HWND dialog, const std::wstring& path) {
    HWND edit = FileNameEdit(dialog);
    if (!edit)
        return false;
    Query(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    return PressButton(dialog, IDOK);
}

bool CancelFileDialog(HWND dialog) { return PressButton(dialog, IDCANCEL); }
