#include "platform/platform.h"
#include "platform/win32_loader.h"
#include "platform/win32_text.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <string>

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

namespace {
HANDLE PortHandle(const SerialPort& port) { return reinterpret_cast<HANDLE>(port.handle); }

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
bool OpenSerialPort(const char* utf8Path, SerialPort& port) {
    std::wstring path = DevicePath(utf8Path);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    port.handle = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool ConfigureSerialPort(SerialPort& port, const SerialSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(PortHandle(port), &dcb))
        return false;
    SetFraming(dcb, settings);
    COMMTIMEOUTS timeouts = Timeouts(settings);
    return SetCommState(PortHandle(port), &dcb) && SetCommTimeouts(PortHandle(port), &timeouts);
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

bool SerialBytesWaiting(SerialPort& port, uint32_t& count) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(PortHandle(port), &errors, &status))
        return false;
    count = status.cbInQue;
    return true;
}

bool PurgeSerialPort(SerialPort& port, bool received, bool unsent) {
    DWORD flags = (received ? PURGE_RXCLEAR | PURGE_RXABORT : 0) |
                  (unsent ? PURGE_TXCLEAR | PURGE_TXABORT : 0);
    return flags == 0 || PurgeComm(PortHandle(port), flags);
}

bool WriteSerialPort(SerialPort& port, const uint8_t* data, uint32_t size, uint32_t& done) {
    DWORD written = 0;
    bool ok = WriteFile(PortHandle(port), data, size, &written, nullptr);
    done = written;
    return ok;
}

bool ReadSerialPort(SerialPort& port, uint8_t* data, uint32_t size, uint32_t& done) {
    DWORD got = 0;
    bool ok = ReadFile(PortHandle(port), data, size, &got, nullptr);
    done = got;
    return ok;
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
    return message;
}

namespace {
std::wstring RegistryText(const wchar_t* data, DWORD bytes) {
    std::wstring text(data, bytes / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}
} // namespace

// Every COM port the system's drivers announce, with the name of the device behind it.
std::vector<SerialPortEntry> ListSerialPorts(const char*) {
    std::vector<SerialPortEntry> ports;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    wchar_t name[256], data[256];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 256, dataBytes = sizeof data, type = 0;
        LSTATUS status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS && type == REG_SZ)
            ports.push_back({Narrow(RegistryText(data, dataBytes).c_str()), Narrow(name)});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.path < b.path; });
    return ports;
}
