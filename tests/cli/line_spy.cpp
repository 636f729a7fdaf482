// Preloaded into karvex-flash: gives the port named by KARVEX_SPY_PORT working DTR and RTS
// lines and a serial driver's flags (a pseudo-terminal has neither) and logs, in the order the
// program makes them, what the device and the driver would see of it: "open", "DTR 0|1",
// "RTS 0|1" (one line per request: "DTR RTS 0" for both at once), "write XX N" (first byte,
// size; "write XX failed" for a write that failed otherwise than with EAGAIN), any other
// modem-line request, "serial flags 0xF" (TIOCSSERIAL), "settings SPEED
// hupcl|no-hupcl" (tcsetattr) and "close". The log goes to KARVEX_SPY_LOG.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
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
int serialFlags = ASYNC_SPD_HI; // a flag of the port's own, which must survive the program

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
    const char* lines = (*bits & TIOCM_DTR) && (*bits & TIOCM_RTS) ? "DTR RTS"
                        : (*bits & TIOCM_DTR)                       ? "DTR"
                                                                    : "RTS";
    Log("%s %d", lines, request == TIOCMBIS);
    return 0;
}

int SerialRequest(unsigned long request, serial_struct* serial) {
    if (request == TIOCGSERIAL) {
        *serial = serial_struct{};
        serial->flags = serialFlags;
    } else {
        serialFlags = serial->flags;
        Log("serial flags 0x%x", serialFlags);
    }
    return 0;
}

const char* SpeedName(const termios* tio) {
    switch (cfgetospeed(tio)) {
    case B19200:
        return "19200";
    case B38400:
        return "38400";
    case B500000:
        return "500000";
    default:
        return "other";
    }
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
        if (fd == portFd && (request == TIOCGSERIAL || request == TIOCSSERIAL))
            return SerialRequest(request, static_cast<serial_struct*>(argument));
        if (fd == portFd && (request == TIOCMSET || request == TIOCSBRK || request == TIOCCBRK))
            Log("request %lu", request);
    }
    return Next<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, argument);
}

ssize_t write(int fd, const void* data, size_t size) {
    ssize_t written = Next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
    int error = errno; // the log's own calls must not change what the program sees
    {
        std::lock_guard<std::mutex> guard(spyLock);
        unsigned first = *static_cast<const unsigned char*>(data);
        if (fd == portFd && written > 0)
            Log("write %02X %zd", first, written);
        else if (fd == portFd && written < 0 && error != EAGAIN)
            Log("write %02X failed", first);
    }
    errno = error;
    return written;
}

// With KARVEX_SPY_SPEED_REFUSED set, the driver takes 500,000 baud as 460,800, as one that
// cannot give the speed and picks a near one while reporting success.
int tcsetattr(int fd, int action, const termios* tio) {
    termios taken = *tio;
    {
        std::lock_guard<std::mutex> guard(spyLock);
        if (fd == portFd) {
            Log("settings %s %s", SpeedName(tio), (tio->c_cflag & HUPCL) ? "hupcl" : "no-hupcl");
            if (std::getenv("KARVEX_SPY_SPEED_REFUSED") && cfgetospeed(tio) == B500000)
                cfsetspeed(&taken, B460800);
        }
    }
    return Next<int (*)(int, int, const termios*)>("tcsetattr")(fd, action, &taken);
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
