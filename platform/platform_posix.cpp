#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

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

void SleepMicroseconds(uint32_t microseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8ConsoleOutput() {} // terminals take the bytes as they come

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

namespace {
int Fd(const SerialPort& port) { return static_cast<int>(port.handle); }

// Closing keeps errno, so that a failure's reason survives the clean-up after it.
bool FailAndClose(int fd) {
    int reason = errno;
    close(fd);
    errno = reason;
    return false;
}

// A second open of the same port fails, root's included: TIOCEXCL alone does not stop a
// process with CAP_SYS_ADMIN, the lock stops every program that takes it too.
bool TakeExclusiveUse(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            errno = EBUSY;
        return false;
    }
    return ioctl(fd, TIOCEXCL) == 0;
}

// Raw bytes, the receiver on, modem status ignored, no flow control, and no HUPCL: the last
// close leaves DTR and RTS as the upload left them, as the chip's own driver does.
bool MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(HUPCL | CRTSCTS);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void SetFraming(termios& tio, const SerialSettings& settings) {
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
    tio.c_cflag |= sizes[std::clamp<int>(settings.dataBits, 5, 8) - 5];
    if (settings.twoStopBits)
        tio.c_cflag |= CSTOPB;
    if (settings.parity != 0)
        tio.c_cflag |= PARENB | (settings.parity == 1 ? PARODD : 0);
}

#if defined(__APPLE__)
// The constants stop at 230400; IOSSIOSPEED sets any speed, after the rest of the settings.
bool ApplyWithSpeed(int fd, termios& tio, uint32_t baud) {
    cfsetspeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    speed_t speed = baud;
    return ioctl(fd, IOSSIOSPEED, &speed) == 0;
}
#else
speed_t SpeedConstant(uint32_t baud) {
    static const std::pair<uint32_t, speed_t> speeds[] = {
        {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
        {2000000, B2000000}, {3000000, B3000000}};
    for (auto [rate, constant] : speeds) {
        if (rate == baud)
            return constant;
    }
    return B0;
}

bool ApplyWithSpeed(int fd, termios& tio, uint32_t baud) {
    speed_t speed = SpeedConstant(baud);
    if (speed == B0) {
        errno = EINVAL;
        return false;
    }
    return cfsetspeed(&tio, speed) == 0 && tcsetattr(fd, TCSANOW, &tio) == 0;
}
#endif

// Waits until the port is ready for `events` or the deadline passes; false on time-out.
bool AwaitPort(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                             std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    pollfd watched{fd, events, 0};
    return poll(&watched, 1, static_cast<int>(left.count())) != 0;
}

// Moves bytes with `transfer` (read or write) until `size` went or the time-out passed. A read
// that finds the end of the file (the port hung up) is a failure.
template <typename Transfer>
bool TransferAll(int fd, short events, uint32_t timeoutMs, uint32_t size, uint32_t& done,
                 Transfer transfer) {
    done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < size) {
        ssize_t moved = transfer(done);
        if (moved > 0) {
            done += static_cast<uint32_t>(moved);
        } else if (moved == 0) {
            errno = EIO;
            return false;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!AwaitPort(fd, events, deadline))
                return true;
        } else {
            return false;
        }
    }
    return true;
}
} // namespace

bool OpenSerialPort(const char* utf8Path, SerialPort& port) {
    int fd = open(utf8Path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (!isatty(fd)) {
        errno = ENOTTY;
        return FailAndClose(fd);
    }
    if (!TakeExclusiveUse(fd) || !MakeRaw(fd))
        return FailAndClose(fd);
    port.handle = fd;
    return true;
}

bool ConfigureSerialPort(SerialPort& port, const SerialSettings& settings) {
    termios tio{};
    if (tcgetattr(Fd(port), &tio) != 0)
        return false;
    SetFraming(tio, settings);
    if (!ApplyWithSpeed(Fd(port), tio, settings.baud))
        return false;
    port.readTimeoutMs = settings.readTimeoutMs;
    port.writeTimeoutMs = settings.writeTimeoutMs;
    return true;
}

LineChange SetSerialLine(SerialPort& port, SerialLine line, bool asserted) {
    int bits = line == SerialLine::dtr ? TIOCM_DTR : TIOCM_RTS;
    if (ioctl(Fd(port), asserted ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return LineChange::done;
    return errno == ENOTTY || errno == EINVAL ? LineChange::unsupported : LineChange::failed;
}

bool SerialBytesWaiting(SerialPort& port, uint32_t& count) {
    int waiting = 0;
    if (ioctl(Fd(port), FIONREAD, &waiting) != 0)
        return false;
    count = static_cast<uint32_t>(std::max(waiting, 0));
    return true;
}

bool PurgeSerialPort(SerialPort& port, bool received, bool unsent) {
    if (!received && !unsent)
        return true;
    int queues = received && unsent ? TCIOFLUSH : received ? TCIFLUSH : TCOFLUSH;
    return tcflush(Fd(port), queues) == 0;
}

bool WriteSerialPort(SerialPort& port, const uint8_t* data, uint32_t size, uint32_t& done) {
    int fd = Fd(port);
    return TransferAll(fd, POLLOUT, port.writeTimeoutMs, size, done,
                       [&](uint32_t sent) { return write(fd, data + sent, size - sent); });
}

bool ReadSerialPort(SerialPort& port, uint8_t* data, uint32_t size, uint32_t& done) {
    int fd = Fd(port);
    return TransferAll(fd, POLLIN, port.readTimeoutMs, size, done,
                       [&](uint32_t got) { return read(fd, data + got, size - got); });
}

void CloseSerialPort(SerialPort& port) {
    if (port.handle >= 0)
        close(Fd(port));
    port.handle = -1;
}

std::string LastSystemError() { return std::strerror(errno); }

namespace {
namespace fs = std::filesystem;

// Entries of `folder` whose names start with `prefix`, as (name, path), in name order.
std::vector<std::pair<std::string, fs::path>> NamesStartingWith(const fs::path& folder,
                                                                const std::string& prefix) {
    std::vector<std::pair<std::string, fs::path>> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0)
            found.emplace_back(name, it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}
} // namespace

#if defined(__APPLE__)
// The call-out devices: opening them does not wait for carrier.
std::vector<SerialPortEntry> ListSerialPorts(const char* deviceFolder) {
    std::vector<SerialPortEntry> ports;
    for (const auto& [name, path] : NamesStartingWith(deviceFolder, "cu."))
        ports.push_back({path.string(), name.substr(3)});
    return ports;
}
#else
// The persistent names udev gives USB serial ports name their maker and serial number; without
// udev, the nodes of the USB serial and modem drivers.
std::vector<SerialPortEntry> ListSerialPorts(const char* deviceFolder) {
    std::vector<SerialPortEntry> ports;
    std::error_code error;
    for (const auto& [name, path] : NamesStartingWith(fs::path(deviceFolder) / "serial/by-id", "")) {
        fs::path node = fs::canonical(path, error);
        if (!error)
            ports.push_back({node.string(), name});
    }
    if (!ports.empty())
        return ports;
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const auto& [name, path] : NamesStartingWith(deviceFolder, prefix))
            ports.push_back({path.string(), ""});
    }
    return ports;
}
#endif
