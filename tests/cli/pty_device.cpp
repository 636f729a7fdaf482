// The virtual device's bootloader behind a pseudo-terminal, for karvex-flash --port.
// Usage: pty_device PATH_FILE [LATENCY_MS]
// Opens a pseudo-terminal pair, writes the path of its terminal end into PATH_FILE and answers
// what arrives there with the virtual device's bootloader, configured by the same KARVEX_SIM_*
// variables. LATENCY_MS is the chip's latency timer with KARVEX_SIM_CHIP_LATENCY (default 16):
// a serial driver's, 1 in low-latency mode. The bootloader hears bytes only while the terminal is set to 500,000 baud 8N1, as
// the device does. With KARVEX_SIM_UNPLUG_AFTER the pair is closed mid-upload. Ends, saving
// the flash, when the last program using the terminal has closed it.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/sim_config.h"
#include "sim/sim_device.h"
#include "sim/sim_trace.h"

namespace {
// The settings the program gave the terminal, as the device's chip would have them.
void TakeLineSettings(int master, VirtualDevice& device) {
    termios tio{};
    if (tcgetattr(master, &tio) != 0)
        return;
    LineSettings& line = device.settings;
    line.baud = cfgetospeed(&tio) == B500000 ? kBootloaderBaud : 0;
    line.wordLength = (tio.c_cflag & CSIZE) == CS8 ? 8 : 7;
    line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    line.parity = (tio.c_cflag & PARENB) ? 1 : 0;
}

bool WriteAll(int fd, const uint8_t* bytes, uint32_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written <= 0)
            return false;
        bytes += written;
        count -= static_cast<uint32_t>(written);
    }
    return true;
}

void TraceNotes(Trace& trace, const std::string& notes) {
    size_t start = 0;
    for (size_t end; (end = notes.find('\n', start)) != std::string::npos; start = end + 1)
        WriteTraceLine(trace, notes.substr(start, end - start));
}

// Answers until the terminal end is closed by its last user or the device vanishes.
void Serve(int master, int terminal, VirtualDevice& device, const SimConfig& config, Trace& trace) {
    uint8_t bytes[512];
    for (;;) {
        pollfd watched{master, POLLIN, 0};
        poll(&watched, 1, 1);
        ssize_t got = read(master, bytes, sizeof bytes);
        if (got < 0 && errno != EAGAIN)
            return; // EIO: nobody has the terminal open any more
        if (got > 0) {
            if (terminal >= 0) { // the program has it open now; its close ends the service
                close(terminal);
                terminal = -1;
            }
            TakeLineSettings(master, device);
            std::string notes;
            bool present =
                Transmit(device, config, bytes, static_cast<uint32_t>(got), SimClock::now(), notes);
            TraceNotes(trace, notes);
            if (!present)
                return;
        }
        uint32_t ready = TakeReady(device, bytes, sizeof bytes, SimClock::now());
        if (ready > 0 && !WriteAll(master, bytes, ready))
            return;
    }
}

bool PublishPath(const char* pathFile, const char* path) {
    std::string temporary = std::string(pathFile) + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file)
        return false;
    bool written = std::fprintf(file, "%s\n", path) > 0;
    written = std::fclose(file) == 0 && written;
    return written && std::rename(temporary.c_str(), pathFile) == 0;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: pty_device PATH_FILE [LATENCY_MS]\n");
        return 2;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty_device: pseudo-terminal");
        return 1;
    }
    const char* path = ptsname(master);
    // Held until the program opens the terminal, so that the pair stands meanwhile.
    int terminal = open(path, O_RDWR | O_NOCTTY);
    if (terminal < 0 || !PublishPath(argv[1], path)) {
        std::perror("pty_device: terminal end");
        return 1;
    }
    SimConfig config = ReadSimConfig();
    VirtualDevice device;
    InitDevice(device, 0, "pty", config, config.flashPath);
    if (argc == 3)
        device.chip.latencyMs = static_cast<uint8_t>(std::atoi(argv[2]));
    Trace trace;
    OpenTrace(trace, config.tracePath);
    Serve(master, terminal, device, config, trace);
    SaveFlash(device);
    CloseTrace(trace);
    close(master);
    return 0;
}
