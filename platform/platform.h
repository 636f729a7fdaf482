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

// --- Console -----------------------------------------------------------------
// The program's arguments, program name first, as UTF-8 (on Windows from the wide command
// line, so that paths outside the ANSI code page survive).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Until the program ends, the console shows the program's output as UTF-8.
void UseUtf8ConsoleOutput();
// True when standard error is an interactive terminal or console.
bool StandardErrorIsTerminal();
