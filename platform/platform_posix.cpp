#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#include <mach-o/dyld.h>
#include <sys/select.h>
#elif defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
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

uint32_t MonotonicMilliseconds() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void UseUtf8ConsoleOutput() {} // terminals take the bytes as they come

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StandardErrorTakesCursorMoves() {
    const char* terminal = std::getenv("TERM");
    return StandardErrorIsTerminal() && !(terminal && std::strcmp(terminal, "dumb") == 0);
}

std::string UserLanguageName() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return "";
}

namespace {
std::atomic<bool> interrupted{false};

void NoteInterruption(int) { interrupted.store(true); }
} // namespace

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = NoteInterruption;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

bool InterruptionRequested() { return interrupted.load(); }

#if defined(__APPLE__)
std::string ThisProgramPath() {
    char path[4096];
    uint32_t size = sizeof path;
    return _NSGetExecutablePath(path, &size) == 0 ? path : "";
}
#else
std::string ThisProgramPath() {
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    return error ? "" : path;
}
#endif

extern char** environ;

// The pipe's ends are closed on exec: each child holds only its own, and its end of file comes
// when it ends. The read side does not block.
bool StartChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                       ChildProcess& child) {
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    for (int end : ends)
        fcntl(end, F_SETFD, FD_CLOEXEC);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    pid_t pid = 0;
    bool started = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (!started) {
        close(ends[0]);
        return false;
    }
    child.id = static_cast<uint32_t>(pid);
    child.output = ends[0];
    return true;
}

void ReadChildOutput(ChildProcess& child, std::string& text) {
    char buffer[4096];
    ssize_t got = 0;
    while (child.output >= 0 &&
           (got = read(static_cast<int>(child.output), buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
}

bool ChildEnded(ChildProcess& child, int& exitCode) {
    int status = 0;
    if (child.id == 0 || waitpid(static_cast<pid_t>(child.id), &status, WNOHANG) <= 0)
        return false;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    child.id = 0;
    return true;
}

void InterruptChild(ChildProcess& child) {
    if (child.id != 0)
        kill(static_cast<pid_t>(child.id), SIGINT);
}

void CloseChildOutput(ChildProcess& child) {
    if (child.output >= 0)
        close(static_cast<int>(child.output));
    child.output = -1;
}

namespace {
int Fd(const SerialPort& port) { return static_cast<int>(port.handle); }

// What an open port had before it was opened, given back when it is closed.
struct PortBefore {
    termios settings{};
    bool lowLatencyAdded = false;
    bool lowLatency = false; // the port is in low-latency mode, given or found
    int serialFlags = 0;
};
std::mutex portsBeforeLock;
std::map<int, PortBefore> portsBefore;

// Closing keeps errno, so that a failure's reason survives the clean-up after it.
bool FailAndClose(int fd) {
    int reason = errno;
    close(fd);
    errno = reason;
    return false;
}

// TIOCEXCL refuses a second open, but not to a process with CAP_SYS_ADMIN; the lock refuses
// every program that takes it too. macOS refuses the lock on its /dev/cu.* devices: there
// TIOCEXCL alone keeps the port ours.
bool TakeExclusiveUse(int fd) {
    if (ioctl(fd, TIOCEXCL) != 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    errno = EBUSY;
    return false;
}

// The system raised DTR and RTS at open; one request drops both, for the shortest pulse the
// device can see. A port without the lines refuses it, which SetSerialLine reports later.
void ReleaseBothLines(int fd) {
    int both = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &both);
}

#if defined(__APPLE__)
// While an IOSSIOSPEED speed is in effect tcgetattr reports it and tcsetattr refuses it back:
// the settings carry a standard speed, and the port's own is set after them.
void UseStandardSpeed(termios& tio) { cfsetspeed(&tio, B9600); }
#else
void UseStandardSpeed(termios&) {}
#endif

#if defined(__linux__)
// A port without the request (a pseudo-terminal), a driver without the flag, or one that
// wants privileges for it: the upload goes on at the driver's latency, unremarked.
bool LatencyRefused(int error) { return error == ENOTTY || error == EINVAL || error == EPERM; }

// The FTDI driver otherwise holds short replies until its latency timer runs out (16 ms);
// in low-latency mode it uses 1 ms.
bool AskLowLatency(int fd, PortBefore& before) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return LatencyRefused(errno);
    before.serialFlags = serial.flags;
    before.lowLatency = true;
    if (serial.flags & ASYNC_LOW_LATENCY)
        return true;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) {
        before.lowLatency = false;
        return LatencyRefused(errno);
    }
    before.lowLatencyAdded = true;
    return true;
}

void RestoreLatency(int fd, const PortBefore& before) {
    serial_struct serial{};
    if (before.lowLatencyAdded && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = before.serialFlags;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
}
#else
bool AskLowLatency(int, PortBefore&) { return true; }
void RestoreLatency(int, const PortBefore&) {}
#endif

// Raw bytes, the receiver on, modem status ignored, no flow control. HUPCL stays set: should
// the process end without closing the port cleanly (killed, crashed), the system's close
// drops DTR and RTS, and the device is not left held in its bootloader.
bool MakeRaw(int fd, termios tio) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | HUPCL;
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    UseStandardSpeed(tio);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Everything the open changes on a port that is already ours; on failure the port is given
// back as it was.
bool PreparePort(int fd, SerialPort& port) {
    PortBefore before;
    if (tcgetattr(fd, &before.settings) != 0)
        return false;
    ReleaseBothLines(fd);
    if (AskLowLatency(fd, before) && MakeRaw(fd, before.settings)) {
        std::lock_guard<std::mutex> guard(portsBeforeLock);
        portsBefore[fd] = before;
        port.lowLatency = before.lowLatency;
        return true;
    }
    int reason = errno;
    RestoreLatency(fd, before);
    errno = reason;
    return false;
}

// The settings and latency the port had before; what fails here changes nothing for the close.
void GiveBack(int fd) {
    std::lock_guard<std::mutex> guard(portsBeforeLock);
    auto found = portsBefore.find(fd);
    if (found == portsBefore.end())
        return;
    UseStandardSpeed(found->second.settings);
    tcsetattr(fd, TCSANOW, &found->second.settings);
    RestoreLatency(fd, found->second);
    portsBefore.erase(found);
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
PortSetup ApplyWithSpeed(int fd, termios& tio, uint32_t baud) {
    UseStandardSpeed(tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return PortSetup::failed;
    speed_t speed = baud;
    return ioctl(fd, IOSSIOSPEED, &speed) == 0 ? PortSetup::done : PortSetup::failed;
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

// tcsetattr reports success when any of the settings took, so the speed is read back: a
// driver that substituted another would otherwise show as a device that never answers.
PortSetup ApplyWithSpeed(int fd, termios& tio, uint32_t baud) {
    speed_t speed = SpeedConstant(baud);
    if (speed == B0) {
        errno = EINVAL;
        return PortSetup::failed;
    }
    termios taken{};
    if (cfsetspeed(&tio, speed) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0 ||
        tcgetattr(fd, &taken) != 0)
        return PortSetup::failed;
    return cfgetospeed(&taken) == speed ? PortSetup::done : PortSetup::speedRefused;
}
#endif

#if defined(__APPLE__)
// poll does not take terminal devices there.
int WaitForPort(int fd, bool writing, int milliseconds) {
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(fd, &watched);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(fd + 1, writing ? nullptr : &watched, writing ? &watched : nullptr, nullptr,
                  &limit);
}
#else
// A hang-up or an error on the port reads as EIO, as the read would give.
int WaitForPort(int fd, bool writing, int milliseconds) {
    pollfd watched{fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
    int ready = poll(&watched, 1, milliseconds);
    if (ready > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        errno = EIO;
        return -1;
    }
    return ready;
}
#endif

// Waits until the port is ready or the deadline passes; false on time-out.
bool AwaitPort(int fd, bool writing, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                             std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return false;
    return WaitForPort(fd, writing, static_cast<int>(left.count())) != 0;
}

// Moves bytes with `transfer` (read or write) until `size` went or the time-out passed. A read
// that finds the end of the file (the port hung up) is a failure.
template <typename Transfer>
bool TransferAll(int fd, bool writing, uint32_t timeoutMs, uint32_t size, uint32_t& done,
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
            if (!AwaitPort(fd, writing, deadline))
                return true;
        } else {
            return false;
        }
    }
    return true;
}

bool BytesWaiting(int fd, uint32_t& count) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0)
        return false;
    count = static_cast<uint32_t>(std::max(waiting, 0));
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
    port.gone = false;
    if (!TakeExclusiveUse(fd) || !PreparePort(fd, port))
        return FailAndClose(fd);
    port.handle = fd;
    return true;
}

PortSetup ConfigureSerialPort(SerialPort& port, const SerialSettings& settings) {
    termios tio{};
    if (tcgetattr(Fd(port), &tio) != 0)
        return PortSetup::failed;
    SetFraming(tio, settings);
    PortSetup setup = ApplyWithSpeed(Fd(port), tio, settings.baud);
    if (setup == PortSetup::done) {
        port.readTimeoutMs = settings.readTimeoutMs;
        port.writeTimeoutMs = settings.writeTimeoutMs;
    }
    return setup;
}

LineChange SetSerialLine(SerialPort& port, SerialLine line, bool asserted) {
    int bits = line == SerialLine::dtr ? TIOCM_DTR : TIOCM_RTS;
    if (ioctl(Fd(port), asserted ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return LineChange::done;
    return errno == ENOTTY || errno == EINVAL ? LineChange::unsupported : LineChange::failed;
}

namespace {
// The errors of a port that went away: unplugged (EIO, ENXIO, ENODEV) or hung up.
bool NoteIfGone(SerialPort& port) {
    if (errno == EIO || errno == ENXIO || errno == ENODEV)
        port.gone = true;
    return false;
}
} // namespace

bool SerialBytesWaiting(SerialPort& port, uint32_t& count, uint32_t waitMs) {
    int fd = Fd(port);
    if (!BytesWaiting(fd, count))
        return NoteIfGone(port);
    if (count > 0 || waitMs == 0)
        return true;
    if (WaitForPort(fd, false, static_cast<int>(waitMs)) < 0 && errno != EINTR)
        return NoteIfGone(port);
    return BytesWaiting(fd, count) || NoteIfGone(port);
}

bool PurgeSerialPort(SerialPort& port, bool received, bool unsent) {
    if (!received && !unsent)
        return true;
    int queues = received && unsent ? TCIOFLUSH : received ? TCIFLUSH : TCOFLUSH;
    return tcflush(Fd(port), queues) == 0;
}

bool WriteSerialPort(SerialPort& port, const uint8_t* data, uint32_t size, uint32_t& done) {
    int fd = Fd(port);
    return TransferAll(fd, true, port.writeTimeoutMs, size, done,
                       [&](uint32_t sent) { return write(fd, data + sent, size - sent); }) ||
           NoteIfGone(port);
}

bool ReadSerialPort(SerialPort& port, uint8_t* data, uint32_t size, uint32_t& done) {
    int fd = Fd(port);
    return TransferAll(fd, false, port.readTimeoutMs, size, done,
                       [&](uint32_t got) { return read(fd, data + got, size - got); }) ||
           NoteIfGone(port);
}

void CloseSerialPort(SerialPort& port) {
    if (port.handle < 0)
        return;
    GiveBack(Fd(port));
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
// The call-out devices of USB adapters (opening them does not wait for carrier); the
// Bluetooth ports and the like are left out. Their USB ids would take IOKit: not read. The
// serial number is the cheap part: the FTDI drivers name the node from the IORegistry's
// IOTTYSuffix, which is the chip's serial number ("cu.usbserial-A50285BI").
std::vector<SerialPortEntry> ListSerialPorts(const char* deviceFolder, const char*) {
    const std::string ftdiPrefix = "cu.usbserial-";
    std::vector<SerialPortEntry> ports;
    for (const char* prefix : {"cu.usbserial", "cu.usbmodem"}) {
        for (const auto& [name, path] : NamesStartingWith(deviceFolder, prefix)) {
            bool named = name.compare(0, ftdiPrefix.size(), ftdiPrefix) == 0;
            ports.push_back(
                {path.string(), name.substr(3), 0, 0, named ? name.substr(ftdiPrefix.size()) : ""});
        }
    }
    return ports;
}
#else
namespace {
uint16_t ReadHexId(const fs::path& file) {
    std::ifstream in(file);
    unsigned value = 0;
    in >> std::hex >> value;
    return in ? static_cast<uint16_t>(value) : 0;
}

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The USB device above the terminal's node in sysfs (the node, its interface, the device)
// gives the ids and the serial number; 0 and "" when there is none, for a port that is no
// USB one.
void ReadUsbIds(const fs::path& systemFolder, const std::string& name, SerialPortEntry& entry) {
    std::error_code error;
    fs::path node = fs::canonical(systemFolder / "class/tty" / name / "device", error);
    for (int level = 0; !error && level < 4 && node.has_relative_path(); ++level) {
        if (fs::exists(node / "idVendor", error)) {
            entry.usbVendor = ReadHexId(node / "idVendor");
            entry.usbProduct = ReadHexId(node / "idProduct");
            entry.serialNumber = ReadLine(node / "serial");
            return;
        }
        node = node.parent_path();
    }
}
} // namespace

// The persistent names udev gives USB serial ports name their maker and serial number; without
// udev, the nodes of the USB serial and modem drivers.
std::vector<SerialPortEntry> ListSerialPorts(const char* deviceFolder, const char* systemFolder) {
    std::vector<SerialPortEntry> ports;
    std::error_code error;
    for (const auto& [name, path] : NamesStartingWith(fs::path(deviceFolder) / "serial/by-id", "")) {
        fs::path node = fs::canonical(path, error);
        if (!error)
            ports.push_back({node.string(), name, 0, 0, ""});
    }
    if (ports.empty()) {
        for (const char* prefix : {"ttyUSB", "ttyACM"}) {
            for (const auto& [name, path] : NamesStartingWith(deviceFolder, prefix))
                ports.push_back({path.string(), "", 0, 0, ""});
        }
    }
    for (SerialPortEntry& port : ports)
        ReadUsbIds(systemFolder, fs::path(port.path).filename().string(), port);
    return ports;
}
#endif
