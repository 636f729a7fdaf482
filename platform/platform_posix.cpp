#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

bool OpenFileForReading(const char* utf8Path, PlatformFile& file) {
    int fd = open(utf8Path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return false;
    }
    file.handle = fd;
    return true;
}

uint64_t PlatformFileSize(const PlatformFile& file) {
    struct stat info {};
    if (fstat(static_cast<int>(file.handle), &info) != 0)
        return 0;
    return static_cast<uint64_t>(info.st_size);
}

uint32_t ReadFileBytes(PlatformFile& file, uint8_t* buffer, uint32_t size) {
    for (;;) {
        ssize_t got = read(static_cast<int>(file.handle), buffer, size);
        if (got >= 0)
            return static_cast<uint32_t>(got);
        if (errno != EINTR)
            return 0;
    }
}

void CloseFile(PlatformFile& file) {
    if (file.handle >= 0)
        close(static_cast<int>(file.handle));
    file.handle = -1;
}

namespace {
bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}
} // namespace

bool WriteWholeFile(const char* utf8Path, const uint8_t* data, uint32_t size) {
    int fd = open(utf8Path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool written = WriteAll(fd, data, size);
    written = close(fd) == 0 && written;
    if (!written)
        unlink(utf8Path);
    return written;
}

#if defined(__APPLE__)
const char* const driverLibraryName = "libftd2xx.dylib";
#else
const char* const driverLibraryName = "libftd2xx.so";
#endif

void* LoadSharedLibrary(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* FindLibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

void ReleaseSharedLibrary(void* library) {
    if (library)
        dlclose(library);
}

std::string LibraryTextAsUtf8(const char* text) { return text; }

bool SetEnvironmentVariableUtf8(const char* name, const char* value) {
    if (!value || !*value)
        return unsetenv(name) == 0;
    return setenv(name, value, 1) == 0;
}

namespace {
void* RunEntry(void* entry) {
    reinterpret_cast<void (*)()>(entry)();
    return nullptr;
}

// The request is a starting size, as Windows reads it, not a limit: the thread calls into
// the D2XX library, whose USB layer keeps buffers on the stack. So the system's default
// stack, never less than 1 MiB.
bool GiveNormalStack(pthread_attr_t& attr, size_t stackBytes) {
    constexpr size_t leastStack = size_t(1) << 20;
    size_t size = 0;
    if (pthread_attr_getstacksize(&attr, &size) != 0)
        return false;
    return pthread_attr_setstacksize(&attr, std::max({size, stackBytes, leastStack})) == 0;
}
} // namespace

bool StartDetachedThread(void (*entry)(), size_t stackBytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_t thread;
    bool started = GiveNormalStack(attr, stackBytes) &&
                   pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
                   pthread_create(&thread, &attr, RunEntry, reinterpret_cast<void*>(entry)) == 0;
    pthread_attr_destroy(&attr);
    return started;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8ConsoleOutput() {} // terminals take the bytes as they come

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
