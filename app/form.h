#pragma once
// The main window: its eight controls and their event handlers.
#include <windows.h>

#include <string>

// A timer of the main window; ticks arrive as WM_TIMER with its id while it is enabled.
struct TTimer {
    UINT_PTR id;
    UINT interval;
    bool enabled;
};

// The system's file-open dialog; fileName is the chosen path in UTF-8.
struct TOpenDialog {
    const char* filter; // entries separated by '|'
    std::string fileName;
};

class TForm1 {
public:
    HWND Handle = nullptr;
    HWND Button2 = nullptr;
    HWND ComboBox1 = nullptr;
    HWND ProgressBar1 = nullptr;
    HWND CheckBox1 = nullptr;
    HWND Button1 = nullptr;
    TTimer Timer1{1, 1000, false};
    TTimer Timer2{2, 1, true};
    TOpenDialog OpenDialog1{};

    // Creates the window, hidden, with its controls, then runs the construction steps.
    bool Create(HINSTANCE instance);
    void Show(int showCommand);

    void Button2Click();
    void Button1Click();
    void Timer1Timer();
    void Timer2Timer();

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void CreateControls(HINSTANCE instance);
    void FormCreate();
    void SetTimerEnabled(TTimer& timer, bool enabled);
    void ShowMessage(const char* text);
};

extern TForm1 Form1;

// The framework's error box for an exception: stop icon, the program's name as title.
void ShowExceptionMessage(const char* message);
