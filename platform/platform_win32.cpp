#include "platform/platform.h"
#include "platform/win32_loader.h"
#include "platform/win32_text.h"

#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <string>

#include "text/texts.h"

namespace {
std::wstring WidenFrom(UINT codePage, const char* text, DWORD flags) {
    int length = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, flags, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}
} // namespace

std::wstring Widen(const char* utf8, bool strict) {
    return WidenFrom(CP_UTF8, utf8, strict ? MB_ERR_INVALID_CHARS : 0);
}

std::string Narrow(const wchar_t* utf16) {
    int length = WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(length - 1));
    return utf8;
}

namespace {
HANDLE AsHandle(const PlatformFile& file) { return reinterpret_cast<HANDLE>(file.handle); }
} // namespace

bool OpenFileForReading(const char* utf8Path, PlatformFile& file) {
    std::wstring path = Widen(utf8Path, true);
    if (path.empty())
        return false;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    file.handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

uint64_t PlatformFileSize(const PlatformFile& file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(AsHandle(file), &size))
        return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

uint32_t ReadFileBytes(PlatformFile& file, uint8_t* buffer, uint32_t size) {
    DWORD got = 0;
    if (!ReadFile(AsHandle(file), buffer, size, &got, nullptr))
        return 0;
    return got;
}

void CloseFile(PlatformFile& file) {
    if (file.handle != -1)
        CloseHandle(AsHandle(file));
    file.handle = -1;
}

bool WriteWholeFile(const char* utf8Path, const uint8_t* data, uint32_t size) {
    std::wstring path = Widen(utf8Path, true);
    if (path.empty())
        return false;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool written = WriteFile(handle, data, size, &done, nullptr) && done == size;
    written = CloseHandle(handle) && written;
    if (!written)
        DeleteFileW(path.c_str());
    return written;
}

const char* const driverLibraryName = "ftd2xx.dll";

namespace {
void* FindKernelFunction(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

std::wstring ApplicationFolder() {
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetSystemDirectoryW(path, MAX_PATH));
}

// The search SetDefaultDllDirectories would restrict, made by hand: the application folder,
// then the system folder. SetDllDirectoryW(L"") keeps the current directory out of the search
// for the libraries that the library loads in turn.
HMODULE LoadFromSafeFolders(const std::wstring& name) {
    SetDllDirectoryW(L"");
    if (name.find_first_of(L"\\/") != std::wstring::npos)
        return LoadLibraryW(name.c_str());
    for (const std::wstring& folder : {ApplicationFolder(), SystemFolder()}) {
        std::wstring path = folder + L"\\" + name;
        if (HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
            return module;
    }
    return nullptr;
}
} // namespace

void* (*findKernelFunction)(const char* name) = FindKernelFunction;

// The application folder and the system folders only: not the current directory, not PATH.
// Windows 7 without update KB2533623 lacks SetDefaultDllDirectories (imported, it would keep
// the program from starting there): there the search is made by hand.
void* LoadSharedLibrary(const char* name) {
    std::wstring wideName = Widen(name, true);
    auto restrictSearch = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        findKernelFunction("SetDefaultDllDirectories"));
    if (restrictSearch && restrictSearch(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        return reinterpret_cast<void*>(LoadLibraryW(wideName.c_str()));
    return reinterpret_cast<void*>(LoadFromSafeFolders(wideName));
}

void* FindLibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void ReleaseSharedLibrary(void* library) {
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}

std::string LibraryTextAsUtf8(const char* text) {
    if (!*text || !Widen(text, true).empty())
        return text;
    return Narrow(WidenFrom(CP_ACP, text, 0).c_str());
}

bool SetEnvironmentVariableUtf8(const char* name, const char* value) {
    // Through the C runtime, which keeps getenv's copy and the process environment in step.
    std::wstring wideValue = value ? Widen(value, true) : std::wstring();
    return _wputenv_s(Widen(name, true).c_str(), wideValue.c_str()) == 0;
}

namespace {
DWORD WINAPI RunEntry(LPVOID entry) {
    reinterpret_cast<void (*)()>(entry)();
    return 0;
}
} // namespace

bool StartDetachedThread(void (*entry)(), size_t stackBytes) {
    HANDLE thread =
        CreateThread(nullptr, stackBytes, RunEntry, reinterpret_cast<LPVOID>(entry), 0, nullptr);
    if (!thread)
        return false;
    CloseHandle(thread);
    return true;
}

void SleepMicroseconds(uint32_t microseconds) {
    Sleep((microseconds + 999) / 1000);
}

// The performance counter: GetTickCount moves in the timer's 15.6 ms steps.
uint32_t MonotonicMilliseconds() {
    LARGE_INTEGER count{}, frequency{};
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint32_t>(count.QuadPart / (frequency.QuadPart / 1000));
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

namespace {
UINT savedOutputCodePage = 0;

void RestoreOutputCodePage() { SetConsoleOutputCP(savedOutputCodePage); }
} // namespace

void UseUtf8ConsoleOutput() {
    // The console belongs to the user's shell too: give its code page back at exit.
    savedOutputCodePage = GetConsoleOutputCP();
    if (savedOutputCodePage != 0 && savedOutputCodePage != CP_UTF8 &&
        SetConsoleOutputCP(CP_UTF8))
        std::atexit(RestoreOutputCodePage);
}

bool StandardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StandardErrorTakesCursorMoves() {
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::string UserLanguageName() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_RUSSIAN ? "ru" : "en";
}

namespace {
std::atomic<bool> interrupted{false};

BOOL WINAPI NoteInterruption(DWORD event) {
    interrupted.store(true);
    // After a closed console (or a logoff, a shutdown) the system ends the process as soon as
    // this returns: the main thread gets the 5 s the system allows to end it cleanly itself.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(5000);
    return TRUE;
}

// Another process interrupts this one by setting this event (InterruptChild): console control
// events reach only the processes of one console, which programs started without one, or run
// under Wine, do not share.
std::wstring InterruptionEventName(DWORD processId) {
    return L"Local\\karvex-flash-interrupt-" + std::to_wstring(processId);
}

// Looked at by every InterruptionRequested rather than waited for by a thread of its own: the
// callers poll anyway, and a thread-pool thread per process does not survive 32-bit Wine under
// qemu-user.
HANDLE interruptionEvent = nullptr;
} // namespace

// The event may have been set before this process made it: then it is found set at once.
void CatchInterruptions() {
    SetConsoleCtrlHandler(NoteInterruption, TRUE);
    interruptionEvent =
        CreateEventW(nullptr, TRUE, FALSE, InterruptionEventName(GetCurrentProcessId()).c_str());
}

bool InterruptionRequested() {
    if (interruptionEvent && WaitForSingleObject(interruptionEvent, 0) == WAIT_OBJECT_0)
        interrupted.store(true);
    return interrupted.load();
}

std::string ThisProgramPath() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? Narrow(path) : "";
}

namespace {
// One argument as the C runtime's parser reads it back: quoted when it has a blank or a
// quote, with the backslashes before a quote doubled.
std::wstring QuotedArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t ch : argument) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        quoted += ch;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}
} // namespace

// The write side is inheritable only while this child starts, so that no other child holds it.
bool StartChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                       ChildProcess& child) {
    HANDLE readSide = nullptr, writeSide = nullptr;
    if (!CreatePipe(&readSide, &writeSide, nullptr, 0))
        return false;
    SetHandleInformation(writeSide, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    std::wstring program = Widen(path.c_str(), true);
    std::wstring commandLine = QuotedArgument(program);
    for (const std::string& argument : arguments)
        commandLine += L" " + QuotedArgument(Widen(argument.c_str(), true));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = writeSide;
    PROCESS_INFORMATION process{};
    bool started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
    CloseHandle(writeSide);
    if (!started) {
        CloseHandle(readSide);
        return false;
    }
    CloseHandle(process.hThread);
    child.handle = reinterpret_cast<intptr_t>(process.hProcess);
    child.id = process.dwProcessId;
    child.output = reinterpret_cast<intptr_t>(readSide);
    return true;
}

void ReadChildOutput(ChildProcess& child, std::string& text) {
    HANDLE pipe = reinterpret_cast<HANDLE>(child.output);
    DWORD waiting = 0, got = 0;
    char buffer[4096];
    while (child.output != -1 && PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) &&
           waiting > 0 &&
           ReadFile(pipe, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr) &&
           got > 0)
        text.append(buffer, got);
}

bool ChildEnded(ChildProcess& child, int& exitCode) {
    HANDLE process = reinterpret_cast<HANDLE>(child.handle);
    DWORD code = 0;
    if (child.handle == -1 || WaitForSingleObject(process, 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code))
        return false;
    CloseHandle(process);
    child.handle = -1;
    if (child.interruption != -1)
        CloseHandle(reinterpret_cast<HANDLE>(child.interruption));
    child.interruption = -1;
    exitCode = static_cast<int>(code);
    return true;
}

// The event is made set, and kept until the child ends, so that a child that has not made it
// yet finds it set.
void InterruptChild(ChildProcess& child) {
    if (child.handle == -1 || child.interruption != -1)
        return;
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, InterruptionEventName(child.id).c_str());
    if (!event)
        return;
    SetEvent(event);
    child.interruption = reinterpret_cast<intptr_t>(event);
}

void CloseChildOutput(ChildProcess& child) {
    if (child.output != -1)
        CloseHandle(reinterpret_cast<HANDLE>(child.output));
    child.output = -1;
}

namespace {
HANDLE PortHandle(const SerialPort& port) { return reinterpret_cast<HANDLE>(port.handle); }

// The port is opened for overlapped I/O, so that a wait for input can end after a time; each
// transfer still waits for its own end, within the port's time-outs.
struct PortIo {
    OVERLAPPED overlapped{};
    PortIo() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~PortIo() {
        if (overlapped.hEvent)
            CloseHandle(overlapped.hEvent);
    }
};

bool Finish(HANDLE handle, BOOL started, PortIo& io, DWORD& done) {
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(handle, &io.overlapped, &done, TRUE);
}

// Returns when a byte arrives or `waitMs` has passed.
void AwaitInput(HANDLE handle, uint32_t waitMs) {
    PortIo io;
    DWORD events = 0, ignored = 0;
    if (!io.overlapped.hEvent || WaitCommEvent(handle, &events, &io.overlapped) ||
        GetLastError() != ERROR_IO_PENDING)
        return;
    if (WaitForSingleObject(io.overlapped.hEvent, waitMs) != WAIT_OBJECT_0)
        CancelIo(handle);
    GetOverlappedResult(handle, &io.overlapped, &ignored, TRUE);
}

// "COM3" and "\\.\COM12" alike: only the device namespace reaches COM10 and above.
std::wstring DevicePath(const char* utf8Path) {
    std::wstring path = Widen(utf8Path, true);
    if (path.empty() || path.rfind(L"\\\\", 0) == 0)
        return path;
    return L"\\\\.\\" + path;
}

BYTE ParityCode(uint8_t parity) {
    return parity == 0 ? NOPARITY : parity == 1 ? ODDPARITY : EVENPARITY;
}

// No flow control of any kind, and DTR and RTS under EscapeCommFunction alone. Setting the
// port up releases both lines, as OpenDevice does right after.
void SetFraming(DCB& dcb, const SerialSettings& settings) {
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = settings.dataBits;
    dcb.StopBits = settings.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
    dcb.Parity = ParityCode(settings.parity);
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != 0;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
}

// A read waits up to its time-out for all the bytes it asks for, as the chip's does.
COMMTIMEOUTS Timeouts(const SerialSettings& settings) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = settings.readTimeoutMs;
    timeouts.WriteTotalTimeoutConstant = settings.writeTimeoutMs;
    return timeouts;
}
} // namespace

// Share mode 0: a second program gets ERROR_ACCESS_DENIED, as it would from the chip's driver.
// The system raised DTR and RTS at open: released at once, one call each, for the shortest
// pulse. The port's latency is its driver's setting (Device Manager), not the program's.
bool OpenSerialPort(const char* utf8Path, SerialPort& port) {
    std::wstring path = DevicePath(utf8Path);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    EscapeCommFunction(handle, CLRDTR);
    EscapeCommFunction(handle, CLRRTS);
    SetCommMask(handle, EV_RXCHAR);
    port.handle = reinterpret_cast<intptr_t>(handle);
    port.gone = false;
    return true;
}

// SetCommState may take a speed the driver cannot give as a near one: read back.
PortSetup ConfigureSerialPort(SerialPort& port, const SerialSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(PortHandle(port), &dcb))
        return PortSetup::failed;
    SetFraming(dcb, settings);
    COMMTIMEOUTS timeouts = Timeouts(settings);
    DCB taken = dcb;
    if (!SetCommState(PortHandle(port), &dcb) || !SetCommTimeouts(PortHandle(port), &timeouts) ||
        !GetCommState(PortHandle(port), &taken))
        return PortSetup::failed;
    return taken.BaudRate == settings.baud ? PortSetup::done : PortSetup::speedRefused;
}

LineChange SetSerialLine(SerialPort& port, SerialLine line, bool asserted) {
    DWORD function =
        line == SerialLine::dtr ? (asserted ? SETDTR : CLRDTR) : (asserted ? SETRTS : CLRRTS);
    if (EscapeCommFunction(PortHandle(port), function))
        return LineChange::done;
    DWORD error = GetLastError();
    bool absent = error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                  error == ERROR_INVALID_PARAMETER;
    return absent ? LineChange::unsupported : LineChange::failed;
}

namespace {
bool BytesWaiting(HANDLE handle, uint32_t& count) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status))
        return false;
    count = status.cbInQue;
    return true;
}

// The errors a USB COM port gives once it has been removed; access is denied only after the
// open here, where the port was ours.
bool NoteIfGone(SerialPort& port) {
    switch (GetLastError()) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
        port.gone = true;
        break;
    default:
        break;
    }
    return false;
}
} // namespace

bool SerialBytesWaiting(SerialPort& port, uint32_t& count, uint32_t waitMs) {
    if (!BytesWaiting(PortHandle(port), count))
        return NoteIfGone(port);
    if (count > 0 || waitMs == 0)
        return true;
    AwaitInput(PortHandle(port), waitMs);
    return BytesWaiting(PortHandle(port), count) || NoteIfGone(port);
}

bool PurgeSerialPort(SerialPort& port, bool received, bool unsent) {
    DWORD flags = (received ? PURGE_RXCLEAR | PURGE_RXABORT : 0) |
                  (unsent ? PURGE_TXCLEAR | PURGE_TXABORT : 0);
    return flags == 0 || PurgeComm(PortHandle(port), flags);
}

bool WriteSerialPort(SerialPort& port, const uint8_t* data, uint32_t size, uint32_t& done) {
    PortIo io;
    DWORD written = 0;
    bool ok = io.overlapped.hEvent &&
              Finish(PortHandle(port), WriteFile(PortHandle(port), data, size, nullptr, &io.overlapped),
                     io, written);
    done = written;
    return ok || NoteIfGone(port);
}

bool ReadSerialPort(SerialPort& port, uint8_t* data, uint32_t size, uint32_t& done) {
    PortIo io;
    DWORD got = 0;
    bool ok = io.overlapped.hEvent &&
              Finish(PortHandle(port), ReadFile(PortHandle(port), data, size, nullptr, &io.overlapped),
                     io, got);
    done = got;
    return ok || NoteIfGone(port);
}

void CloseSerialPort(SerialPort& port) {
    if (port.handle != -1)
        CloseHandle(PortHandle(port));
    port.handle = -1;
}

std::string LastSystemError() {
    DWORD error = GetLastError();
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length > 0 ? Narrow(text) : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    if (error == ERROR_ACCESS_DENIED)
        message += std::string(" (") + texts::Localized(texts::portBusyOrDenied) + ")";
    return message;
}

namespace {
std::wstring RegistryText(const wchar_t* data, DWORD bytes) {
    std::wstring text(data, bytes / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

// What SetupAPI tells of a COM port's device.
struct PortDevice {
    std::wstring friendlyName;
    uint16_t usbVendor = 0;
    uint16_t usbProduct = 0;
    std::string serialNumber;
};

// The Ports (COM & LPT) device class.
constexpr GUID portsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A text property; of a list (the hardware ids), its first entry.
std::wstring DeviceText(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[512]{};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text),
                                           sizeof text - 2 * sizeof(wchar_t), nullptr))
        return std::wstring();
    return text;
}

std::wstring DevicePortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return std::wstring();
    wchar_t data[64];
    DWORD bytes = sizeof data, type = 0;
    bool read = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data),
                                 &bytes) == ERROR_SUCCESS &&
                type == REG_SZ;
    RegCloseKey(key);
    return read ? RegistryText(data, bytes) : std::wstring();
}

// The 4 hex digits after `tag` in a hardware id: "USB\VID_0403&PID_6001&REV_0600",
// "FTDIBUS\COMPORT&VID_0403&PID_6001".
uint16_t IdAfter(std::wstring hardwareId, const wchar_t* tag) {
    std::transform(hardwareId.begin(), hardwareId.end(), hardwareId.begin(), std::towupper);
    size_t at = hardwareId.find(tag);
    if (at == std::wstring::npos)
        return 0;
    return static_cast<uint16_t>(std::wcstoul(hardwareId.substr(at + 4, 4).c_str(), nullptr, 16));
}

// The USB serial number in a port's device instance id: FTDIBUS\VID_0403+PID_6001+A50285BIA\0000
// from the chip's driver (the serial number, then the channel letter), USB\VID_2341&PID_0043\8573
// from the system's USB modem driver; an id with '&' there is one Windows made up for a device
// without a serial number.
std::string SerialNumberIn(const std::wstring& instanceId) {
    size_t first = instanceId.find(L'\\');
    size_t last = instanceId.rfind(L'\\');
    if (first == std::wstring::npos || last == first)
        return "";
    std::wstring bus = instanceId.substr(0, first);
    std::wstring middle = instanceId.substr(first + 1, last - first - 1);
    std::wstring tail = instanceId.substr(last + 1);
    size_t plus = middle.rfind(L'+');
    if (bus == L"FTDIBUS" && plus != std::wstring::npos && middle.size() > plus + 2)
        return Narrow(middle.substr(plus + 1, middle.size() - plus - 2).c_str());
    if (bus == L"USB" && tail.find(L'&') == std::wstring::npos)
        return Narrow(tail.c_str());
    return "";
}

std::string DeviceSerialNumber(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    wchar_t id[512]{};
    if (!SetupDiGetDeviceInstanceIdW(devices, &device, id, 511, nullptr))
        return "";
    return SerialNumberIn(id);
}

// The devices behind the COM ports, by port name.
std::map<std::wstring, PortDevice> PortDevices() {
    std::map<std::wstring, PortDevice> found;
    HDEVINFO devices = SetupDiGetClassDevsW(&portsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        std::wstring name = DevicePortName(devices, device);
        std::wstring hardwareId = DeviceText(devices, device, SPDRP_HARDWAREID);
        if (!name.empty())
            found[name] = {DeviceText(devices, device, SPDRP_FRIENDLYNAME),
                           IdAfter(hardwareId, L"VID_"), IdAfter(hardwareId, L"PID_"),
                           DeviceSerialNumber(devices, device)};
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

std::string Describe(const PortDevice& device) {
    std::string text = Narrow(device.friendlyName.c_str());
    if (device.usbVendor != 0) {
        char ids[24];
        std::snprintf(ids, sizeof ids, "%sUSB %04x:%04x", text.empty() ? "" : ", ",
                      device.usbVendor, device.usbProduct);
        text += ids;
    }
    return text;
}

// COM3 before COM10: by the letters, then by the number after them.
std::pair<std::string, unsigned long> PortOrder(const std::string& path) {
    size_t digits = path.find_first_of("0123456789");
    if (digits == std::string::npos)
        return {path, 0};
    return {path.substr(0, digits), std::strtoul(path.c_str() + digits, nullptr, 10)};
}
} // namespace

// Every COM port the system's drivers announce, named as Device Manager names it, with the
// USB ids of the device behind it where it is a USB one.
std::vector<SerialPortEntry> ListSerialPorts(const char*, const char*) {
    std::vector<SerialPortEntry> ports;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    std::map<std::wstring, PortDevice> devices = PortDevices();
    wchar_t name[256], data[256];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 256, dataBytes = sizeof data, type = 0;
        LSTATUS status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        std::wstring portName = RegistryText(data, dataBytes);
        const PortDevice& device = devices[portName];
        ports.push_back({Narrow(portName.c_str()), Describe(device), device.usbVendor,
                         device.usbProduct, device.serialNumber});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return PortOrder(a.path) < PortOrder(b.path);
    });
    return ports;
}
