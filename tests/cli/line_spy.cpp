// Preloaded into karvex-flash: gives the port named by KARVEX_SPY_PORT working DTR and RTS
// lines (a pseudo-terminal has none) and logs, in the order the program makes them, what the
// device would see of it: "open", "DTR 0|1", "RTS 0|1", "write XX N" (first byte, size),
// any other modem-line request, and "close". The log goes to KARVEX_SPY_LOG.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {
std::mutex spyLock;
int portFd = -1;

template <typename Fn> Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void Log(const char* format, ...) {
    const char* path = std::getenv("KARVEX_SPY_LOG");
    if (!path)
        return;
    std::FILE* log = std::fopen(path, "a");
    if (!log)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log, format, arguments);
    va_end(arguments);
    std::fputc('\n', log);
    std::fclose(log);
}

bool IsPort(const char* path) {
    const char* port = std::getenv("KARVEX_SPY_PORT");
    return port && path && std::strcmp(port, path) == 0;
}

int OpenAndWatch(const char* path, int flags, mode_t mode) {
    int fd = Next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
    std::lock_guard<std::mutex> guard(spyLock);
    if (fd >= 0 && IsPort(path)) {
        portFd = fd;
        Log("open");
    }
    return fd;
}

// With KARVEX_SPY_LINES_FAIL set, the lines fail as an adapter's do when it is unplugged.
int LineRequest(unsigned long request, const int* bits) {
    if (std::getenv("KARVEX_SPY_LINES_FAIL")) {
        errno = EIO;
        return -1;
    }
    bool asserted = request == TIOCMBIS;
    if (*bits & TIOCM_DTR)
        Log("DTR %d", asserted);
    if (*bits & TIOCM_RTS)
        Log("RTS %d", asserted);
    return 0;
}
} // namespace

extern "C" {
int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
    va_end(arguments);
    return OpenAndWatch(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    {
        std::lock_guard<std::mutex> guard(spyLock);
        if (fd == portFd && (request == TIOCMBIS || request == TIOCMBIC))
            return LineRequest(request, static_cast<const int*>(argument));
        if (fd == portFd && (request == TIOCMSET || request == TIOCSBRK || request == TIOCCBRK))
            Log("request %lu", request);
    }
    return Next<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, argument);
}

ssize_t write(int fd, const void* data, size_t size) {
    ssize_t written = Next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
    std::lock_guard<std::mutex> guard(spyLock);
    if (fd == portFd && written > 0)
        Log("write %02X %zd", *static_cast<const unsigned char*>(data), written);
    return written;
}

int close(int fd) {
    std::lock_guard<std::mutex> guard(spyLock);
    if (fd == portFd) {
        Log("close");
        portFd = -1;
    }
    return Next<int (*)(int)>("close")(fd);
}
}
