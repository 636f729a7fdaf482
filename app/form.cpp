#include "app/form.h"

#include <commctrl.h>
#include <commdlg.h>

#include <exception>
#include <iterator>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "platform/platform.h"
#include "platform/win32_text.h"
#include "text/texts.h"
#include "upload/engine.h"

TForm1 Form1;

namespace {
constexpr const wchar_t* formClassName = L"TForm1";
constexpr DWORD formStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int formLeft = 199, formTop = 126, formClientWidth = 338, formClientHeight = 118;
constexpr int fontHeight = -11;
constexpr int comboItemHeight = 13;
constexpr int comboDropDownItems = 8;

HFONT formFont = nullptr;
HWND activeControl = nullptr; // the control that had the focus when the window was left

struct Bounds {
    int left, top, width, height;
};

HWND CreateControl(HINSTANCE instance, const wchar_t* className, const char* text, DWORD style,
                   Bounds bounds) {
    HWND control = CreateWindowExW(0, className, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style,
                                   bounds.left, bounds.top, bounds.width, bounds.height,
                                   Form1.Handle, nullptr, instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(formFont), FALSE);
    return control;
}

std::wstring ApplicationTitle() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    name.erase(0, name.find_last_of(L"\\/") + 1);
    size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    return name;
}

// The filter in the form the system dialog takes: entries separated and ended by NUL.
std::wstring DialogFilter(const char* filter) {
    std::wstring entries = Widen(filter);
    for (wchar_t& ch : entries)
        if (ch == L'|')
            ch = L'\0';
    entries.push_back(L'\0');
    return entries;
}

bool ExecuteOpenDialog(TOpenDialog& dialog, HWND owner) {
    std::wstring filter = DialogFilter(dialog.filter);
    std::wstring file(32768, L'\0'); // long paths fit
    OPENFILENAMEW request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = owner;
    request.lpstrFilter = filter.c_str();
    request.nFilterIndex = 1;
    request.lpstrFile = file.data();
    request.nMaxFile = static_cast<DWORD>(file.size());
    request.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    if (!GetOpenFileNameW(&request))
        return false;
    dialog.fileName = Narrow(file.c_str());
    return true;
}

std::string HelpText() {
    std::string text = texts::helpLines[0].ru;
    for (size_t i = 1; i < std::size(texts::helpLines); ++i)
        text.append("\r\n").append(texts::helpLines[i].ru);
    return text;
}

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        Form1.Handle = window;
    if (window != Form1.Handle)
        return DefWindowProcW(window, message, wParam, lParam);
    // Like the framework: an exception from a handler is reported and the program goes on.
    try {
        return Form1.HandleMessage(message, wParam, lParam);
    } catch (const std::exception& error) {
        ShowExceptionMessage(error.what());
    } catch (...) {
        ShowExceptionMessage("");
    }
    return 0;
}
} // namespace

void ShowExceptionMessage(const char* message) {
    MessageBoxW(Form1.Handle, Widen(message).c_str(), ApplicationTitle().c_str(),
                MB_OK | MB_ICONSTOP);
}

bool TForm1::Create(HINSTANCE instance) {
    WNDCLASSEXW formClass{};
    formClass.cbSize = sizeof formClass;
    formClass.lpfnWndProc = FormProc;
    formClass.hInstance = instance;
    formClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    formClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                      GetSystemMetrics(SM_CXSMICON),
                                                      GetSystemMetrics(SM_CYSMICON), 0));
    formClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    formClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    formClass.lpszClassName = formClassName;
    if (!RegisterClassExW(&formClass))
        return false;

    RECT frame{0, 0, formClientWidth, formClientHeight};
    AdjustWindowRectEx(&frame, formStyle, FALSE, 0);
    if (!CreateWindowExW(0, formClassName, L"", formStyle, formLeft, formTop,
                         frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                         instance, nullptr))
        return false;
    formFont = CreateFontW(fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           VARIABLE_PITCH | FF_SWISS, L"MS Sans Serif");
    SendMessageW(Handle, WM_SETFONT, reinterpret_cast<WPARAM>(formFont), FALSE);
    CreateControls(instance);
    FormCreate();
    return true;
}

// In creation order, which is also the tab order.
void TForm1::CreateControls(HINSTANCE instance) {
    Button2 = CreateControl(instance, WC_BUTTONW, texts::loadButton.ru, BS_PUSHBUTTON | WS_TABSTOP,
                            {16, 16, 97, 25});
    ComboBox1 = CreateControl(instance, WC_COMBOBOXW, "",
                              CBS_DROPDOWN | CBS_AUTOHSCROLL | CBS_HASSTRINGS | WS_VSCROLL |
                                  WS_TABSTOP,
                              {136, 16, 161, 21 + comboDropDownItems * comboItemHeight + 2});
    SendMessageW(ComboBox1, CB_SETITEMHEIGHT, 0, comboItemHeight);
    SetWindowTextW(ComboBox1, Widen(texts::connectDevice.ru).c_str());
    ProgressBar1 = CreateControl(instance, PROGRESS_CLASSW, "", 0, {24, 88, 297, 17});
    SendMessageW(ProgressBar1, PBM_SETRANGE32, 0, 100);
    CheckBox1 = CreateControl(instance, WC_BUTTONW, texts::patchCheckBox.ru,
                              BS_AUTOCHECKBOX | WS_TABSTOP, {16, 48, 153, 17});
    SendMessageW(CheckBox1, BM_SETCHECK, BST_CHECKED, 0);
    Button1 = CreateControl(instance, WC_BUTTONW, texts::helpButton.ru, BS_PUSHBUTTON | WS_TABSTOP,
                            {200, 48, 75, 25});
    OpenDialog1.filter = texts::fileFilter.ru;
    SetTimerEnabled(Timer1, Timer1.enabled);
    SetTimerEnabled(Timer2, Timer2.enabled);
}

void TForm1::FormCreate() {
    SetWindowTextW(Handle, Widen(texts::caption.ru).c_str());
    if (!LoadDriver()) {
        ShowMessage(texts::noDriver.ru);
        EnableWindow(Button2, FALSE);
        return;
    }
    uint32_t count = EnumerateDevices();
    for (uint32_t i = 0; i < count; ++i)
        SendMessageW(ComboBox1, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(
                         Widen(LibraryTextAsUtf8(DeviceDescription(i)).c_str()).c_str()));
    if (count > 0)
        SendMessageW(ComboBox1, CB_SETCURSEL, 0, 0);
}

void TForm1::Show(int showCommand) {
    ShowWindow(Handle, showCommand);
    UpdateWindow(Handle);
    activeControl = GetNextDlgTabItem(Handle, nullptr, FALSE);
    SetFocus(activeControl);
}

void TForm1::SetTimerEnabled(TTimer& timer, bool enabled) {
    timer.enabled = enabled;
    if (enabled)
        SetTimer(Handle, timer.id, timer.interval, nullptr);
    else
        KillTimer(Handle, timer.id);
}

void TForm1::ShowMessage(const char* text) {
    MessageBoxW(Handle, Widen(text).c_str(), Widen(texts::caption.ru).c_str(), MB_OK);
}

void TForm1::Button2Click() {
    if (!ExecuteOpenDialog(OpenDialog1, Handle))
        return;
    if (ReadHexFile(FlashImage, OpenDialog1.fileName.c_str()) != hexReadOk) {
        ShowMessage(texts::hexReadError.ru);
        return;
    }
    if (SendMessageW(CheckBox1, BM_GETCHECK, 0, 0) == BST_CHECKED)
        PatchResetVector(FlashImage);
    auto selected = static_cast<int32_t>(SendMessageW(ComboBox1, CB_GETCURSEL, 0, 0));
    if (selected < 0) {
        ShowMessage(texts::selectDevice.ru);
        return;
    }
    if (!OpenDeviceForUpload(selected))
        return;
    SetTimerEnabled(Timer1, true);
    EnableWindow(Button2, FALSE);
}

void TForm1::Button1Click() { ShowMessage(HelpText().c_str()); }

// The selected device was opened by Load and is currentDevice; the lines act on it too.
void TForm1::Timer1Timer() {
    SetTimerEnabled(Timer1, false);
    StartUpload();
    SetControlLines(currentDevice, true);
    // From 0, where StartUpload put offset: by now a quick device may have moved it on.
    SendMessageW(ProgressBar1, PBM_SETRANGE32, 0, lastAddress);
    SendMessageW(ProgressBar1, PBM_SETPOS, upload.offset, 0);
}

// Message boxes below run their own message loop, in which this handler keeps being called:
// each flag is taken (cleared) before its box is shown, so one upload gives one message.
void TForm1::Timer2Timer() {
    TickCountdown();
    SendMessageW(ProgressBar1, PBM_SETPOS, upload.offset, 0);
    if (upload.noResponse.exchange(0)) {
        ShowMessage(texts::noResponse.ru);
        EnableWindow(Button2, TRUE);
    }
    if (upload.done.exchange(0)) {
        ShowMessage(texts::finished.ru);
        EnableWindow(Button2, TRUE);
    }
}

LRESULT TForm1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && reinterpret_cast<HWND>(lParam) == Button2)
            Button2Click();
        else if (HIWORD(wParam) == BN_CLICKED && reinterpret_cast<HWND>(lParam) == Button1)
            Button1Click();
        return 0;
    case WM_TIMER:
        if (wParam == Timer1.id)
            Timer1Timer();
        else if (wParam == Timer2.id)
            Timer2Timer();
        return 0;
    case WM_ACTIVATE:
        // Keep the focused control across a message box or a switch to another program.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focused = GetFocus();
            if (focused && IsChild(Handle, focused))
                activeControl = focused;
        } else if (activeControl) {
            SetFocus(activeControl);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(Handle, message, wParam, lParam);
    }
}
