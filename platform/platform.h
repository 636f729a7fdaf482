#pragma once
// The few services the portable code needs from the operating system.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// --- Files -----------------------------------------------------------------
struct PlatformFile {
    intptr_t handle = -1;
};

// Opens an existing file for reading. On Windows nobody else may open it meanwhile
// (share mode 0). The path is UTF-8.
bool OpenFileForReading(const char* utf8Path, PlatformFile& file);
// Size of the open file in bytes.
uint64_t PlatformFileSize(const PlatformFile& file);
// Reads up to `size` bytes; returns how many arrived, 0 at the end of the file or on failure.
uint32_t ReadFileBytes(PlatformFile& file, uint8_t* buffer, uint32_t size);
void CloseFile(PlatformFile& file);
// Writes `size` bytes into the file at `utf8Path`, created or emptied first. A file opened but
// not written whole is removed again; one that cannot be opened (a folder, say) is left alone.
bool WriteWholeFile(const char* utf8Path, const uint8_t* data, uint32_t size);

// --- Run-time libraries ----------------------------------------------------
// File name of the D2XX library on this system.
extern const char* const driverLibraryName;
// nullptr when the library cannot be loaded. On Windows the search is restricted to the
// application folder and the system folders first, against DLL planting.
void* LoadSharedLibrary(const char* name);
void* FindLibrarySymbol(void* library, const char* name);
void ReleaseSharedLibrary(void* library);

// Text a library gives without naming its encoding (the D2XX device descriptions), as UTF-8:
// valid UTF-8 stays as it is; anything else is read in the ANSI code page on Windows, and
// kept as it is elsewhere.
std::string LibraryTextAsUtf8(const char* text);

// --- Environment -----------------------------------------------------------
// Sets variable `name` of this process's environment (UTF-8), as seen by getenv in this
// program and in libraries it loads afterwards; an empty or null value removes it.
bool SetEnvironmentVariableUtf8(const char* name, const char* value);

// --- Threads ---------------------------------------------------------------
// Starts a detached thread running `entry`. `stackBytes` is a starting size, not a limit: the
// stack can grow beyond it (on POSIX the thread gets at least 1 MiB). False if no thread was
// started.
bool StartDetachedThread(void (*entry)(), size_t stackBytes);
// Sleeps at least `microseconds` (on Windows whole milliseconds). Without the C++ thread
// library: on Windows its sleep takes a thread-local slot that a library never gives back when
// it is released, so a library loaded and released often would use up the process's slots.
void SleepMicroseconds(uint32_t microseconds);

// --- Clock -------------------------------------------------------------------
// Milliseconds of a monotonic clock from an arbitrary start, in whole steps of at most 1 ms;
// wraps after 49 days (take differences).
uint32_t MonotonicMilliseconds();

// --- Console -----------------------------------------------------------------
// The program's arguments, program name first, as UTF-8 (on Windows from the wide command
// line, so that paths outside the ANSI code page survive).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Until the program ends, the console shows the program's output as UTF-8.
void UseUtf8ConsoleOutput();
// True when standard error is an interactive terminal or console.
bool StandardErrorIsTerminal();
// True when standard error is a terminal that moves its cursor on ANSI escape sequences; on
// Windows this switches them on in the console where it can (Windows 10 and later).
bool StandardErrorTakesCursorMoves();
// The user's language as the system names it: on POSIX the first of LC_ALL, LC_MESSAGES and
// LANG that is set ("ru_RU.UTF-8", "C"; "" when none is), on Windows "ru" or "en" from the
// user's UI language.
std::string UserLanguageName();

// --- Interruption ----------------------------------------------------------------
// From now on SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and a closed console)
// only mark the process interrupted, so that it can end its work cleanly. Repeats are caught
// too: a signal often comes twice (timeout(1) sends it to the program and to its group), and
// the clean end takes a few milliseconds.
void CatchInterruptions();
bool InterruptionRequested();

// --- Child processes -------------------------------------------------------------
// The file of this program itself (UTF-8), to start it again; "" when it cannot be told.
std::string ThisProgramPath();

struct ChildProcess {
    intptr_t handle = -1;       // the process (Windows); unused on POSIX
    uint32_t id = 0;            // the process id
    intptr_t output = -1;       // this side of the pipe that takes the child's standard error
    intptr_t interruption = -1; // the event that interrupts it (Windows), once set
};
// Starts the program at `path` with `arguments` (after the program name; UTF-8). It shares
// this process's standard input and output; its standard error goes into a pipe, read with
// ReadChildOutput. On Windows it gets a process group of its own, so that a Ctrl-C typed in the
// console reaches this process alone, which passes it on. False when it could not be started.
bool StartChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                       ChildProcess& child);
// Appends to `text` what the child wrote to its standard error since the last call; does not
// wait. Once the child has ended, one more call takes what it wrote last.
void ReadChildOutput(ChildProcess& child, std::string& text);
// True, with its exit code, once the child has ended (128 + the signal's number for one a
// signal ended); does not wait. The process is then released; the pipe stays open.
bool ChildEnded(ChildProcess& child, int& exitCode);
// Asks the child to end its work cleanly, as Ctrl-C would: SIGINT; on Windows an event that the
// child's InterruptionRequested looks at.
void InterruptChild(ChildProcess& child);
void CloseChildOutput(ChildProcess& child);

// --- Serial ports --------------------------------------------------------------
// An operating-system serial port: a device path on POSIX, a COM port on Windows.
struct SerialPort {
    intptr_t handle = -1;
    uint32_t readTimeoutMs = 0; // how long a read waits for the bytes it asks for
    uint32_t writeTimeoutMs = 0;
    // The driver passes input on within 1 ms (it accepted low latency), not after its own
    // latency timer (16 ms for the FTDI chip's).
    bool lowLatency = false;
    // A call found the port gone (unplugged, hung up): nothing will come through it again.
    bool gone = false;
};

struct SerialSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    bool twoStopBits = false;
    uint8_t parity = 0; // 0 none, 1 odd, 2 even
    uint32_t readTimeoutMs = 0;
    uint32_t writeTimeoutMs = 0;
};

enum class LineChange { done, unsupported, failed };
// `speedRefused`: the port took other settings than asked (read back), its driver cannot
// give the speed.
enum class PortSetup { done, failed, speedRefused };
enum class SerialLine { dtr, rts };

// Opens the port for this process alone, raw, without flow control, DTR and RTS released at
// once, in low-latency mode where the driver has one. Should the process end without
// CloseSerialPort, the system releases the lines. False with the system's reason in
// LastSystemError().
bool OpenSerialPort(const char* utf8Path, SerialPort& port);
PortSetup ConfigureSerialPort(SerialPort& port, const SerialSettings& settings);
// `unsupported`: the port has no modem-control lines (a pseudo-terminal, some adapters).
LineChange SetSerialLine(SerialPort& port, SerialLine line, bool asserted);
// Received bytes waiting; when none are, it first waits up to `waitMs` for some, so that a
// caller polling it does not spin. False when the port failed or is gone (unplugged, hung up).
// Any call that finds the port gone sets `gone`.
bool SerialBytesWaiting(SerialPort& port, uint32_t& count, uint32_t waitMs);
bool PurgeSerialPort(SerialPort& port, bool received, bool unsent);
// Transfers up to `size` bytes, waiting at most the port's time-out for them; `done` is how
// many went. False when the port failed.
bool WriteSerialPort(SerialPort& port, const uint8_t* data, uint32_t size, uint32_t& done);
bool ReadSerialPort(SerialPort& port, uint8_t* data, uint32_t size, uint32_t& done);
// Gives the port back with the settings it had before OpenSerialPort, and closes it.
void CloseSerialPort(SerialPort& port);
// The system's text for the error of the call that failed last on this thread, as UTF-8; on
// Windows a refused COM port is said to be busy or not permitted, as it is one or the other.
std::string LastSystemError();

struct SerialPortEntry {
    std::string path;
    std::string description;
    uint16_t usbVendor = 0; // 0: not a USB port, or not known
    uint16_t usbProduct = 0;
    std::string serialNumber; // the USB device's; "" when it has none or it is not known
};
// The serial ports a user would flash through, in name order (COM3 before COM10). The folders
// are "/dev" and "/sys" but for tests (Linux only).
std::vector<SerialPortEntry> ListSerialPorts(const char* deviceFolder = "/dev",
                                             const char* systemFolder = "/sys");
