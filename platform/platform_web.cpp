// The browser: no file but the one the page read, no shared libraries, no threads, and a
// serial port reached through the page's Web Serial link (Module.serialLink, web/serial_link.js).
// Web Serial opens a port with its framing, and its calls finish later: the link queues every
// call in order, and the received bytes wait here until the engine reads them.
#include "platform/platform_web.h"
#include "platform/platform.h"

#include <emscripten.h>

#include <algorithm>
#include <cstdlib>
#include <deque>

// clang-format off
EM_JS(void, LinkConfigure, (uint32_t baud, uint32_t dataBits, uint32_t stopBits, uint32_t parity), {
    Module.serialLink.configure(baud, dataBits, stopBits, parity);
});
EM_JS(void, LinkSetSignal, (const char* name, bool asserted), {
    Module.serialLink.setSignal(UTF8ToString(name), asserted);
});
EM_JS(void, LinkWrite, (const uint8_t* data, uint32_t size), {
    Module.serialLink.write(HEAPU8.slice(data, data + size));
});
EM_JS(void, LinkClose, (), { Module.serialLink.close(); });
// clang-format on

namespace {
struct WebFile {
    std::string name;
    std::vector<uint8_t> bytes;
};
WebFile webFile;

struct WebSerial {
    std::deque<uint8_t> received;
    bool lost = false;
    std::string failure;
};
WebSerial webSerial;
} // namespace

void ProvideWebFile(const char* name, const uint8_t* bytes, uint32_t size) {
    webFile.name = name;
    webFile.bytes.assign(bytes, bytes + size);
}

void WebSerialReceived(const uint8_t* bytes, uint32_t count) {
    webSerial.received.insert(webSerial.received.end(), bytes, bytes + count);
}

void WebSerialLost(const char* reason) {
    webSerial.lost = true;
    webSerial.failure = reason;
    webSerial.received.clear();
}

bool WebSerialIsLost() {
    return webSerial.lost;
}

// --- Files: the handle is the read position in the page's file ---------------
bool OpenFileForReading(const char* utf8Path, PlatformFile& file) {
    if (webFile.name != utf8Path)
        return false;
    file.handle = 0;
    return true;
}

uint64_t PlatformFileSize(const PlatformFile&) {
    return webFile.bytes.size();
}

uint32_t ReadFileBytes(PlatformFile& file, uint8_t* buffer, uint32_t size) {
    size_t position = static_cast<size_t>(file.handle);
    uint32_t count = static_cast<uint32_t>(
        std::min<size_t>(size, webFile.bytes.size() - std::min(position, webFile.bytes.size())));
    std::copy_n(webFile.bytes.begin() + static_cast<long>(position), count, buffer);
    file.handle += count;
    return count;
}

void CloseFile(PlatformFile& file) {
    file.handle = -1;
}

// A page writes no file.
bool WriteWholeFile(const char*, const uint8_t*, uint32_t) {
    return false;
}

// --- Libraries: a page loads none; the serial driver needs none ---------------
const char* const driverLibraryName = "";
void* LoadSharedLibrary(const char*) {
    return nullptr;
}
void* FindLibrarySymbol(void*, const char*) {
    return nullptr;
}
void ReleaseSharedLibrary(void*) {}
std::string LibraryTextAsUtf8(const char* text) {
    return text;
}

bool SetEnvironmentVariableUtf8(const char* name, const char* value) {
    if (!value || !*value)
        return unsetenv(name) == 0;
    return setenv(name, value, 1) == 0;
}

// No wasm threads: they need cross-origin isolation, which static hosting cannot always give.
// The page calls ReceivePass itself.
bool StartDetachedThread(void (*)(), size_t) {
    return false;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}
void UseUtf8ConsoleOutput() {}
bool StandardErrorIsTerminal() {
    return false;
}

uint32_t MonotonicMilliseconds() {
    return static_cast<uint32_t>(static_cast<uint64_t>(emscripten_get_now()));
}

// --- Serial port: the page's Web Serial link ----------------------------------
namespace {
// A lost port is gone: unplugged, or closed by the browser.
bool StillThere(SerialPort& port) {
    port.gone = webSerial.lost;
    return !webSerial.lost;
}
} // namespace

// The page has the user's newly chosen port in its link before the driver opens it; the open
// itself waits for the framing, which Web Serial takes only when opening.
bool OpenSerialPort(const char*, SerialPort& port) {
    webSerial = WebSerial{};
    port.handle = 1;
    return true;
}

// Web Serial opens at the speed asked or not at all: there is nothing to read back.
PortSetup ConfigureSerialPort(SerialPort&, const SerialSettings& settings) {
    if (webSerial.lost)
        return PortSetup::failed;
    LinkConfigure(settings.baud, settings.dataBits, settings.twoStopBits ? 2 : 1, settings.parity);
    return PortSetup::done;
}

// Web Serial's setSignals changes only the members it is given: one line per call, as here.
LineChange SetSerialLine(SerialPort&, SerialLine line, bool asserted) {
    if (webSerial.lost)
        return LineChange::failed;
    LinkSetSignal(line == SerialLine::dtr ? "dataTerminalReady" : "requestToSend", asserted);
    return LineChange::done;
}

// Never waits: the page calls the engine when bytes arrive and on its ticks, so nothing spins.
bool SerialBytesWaiting(SerialPort& port, uint32_t& count, uint32_t) {
    count = static_cast<uint32_t>(webSerial.received.size());
    return StillThere(port);
}

// Written bytes are the link's from the moment they are queued: only received ones are purged.
bool PurgeSerialPort(SerialPort&, bool received, bool) {
    if (received)
        webSerial.received.clear();
    return !webSerial.lost;
}

bool WriteSerialPort(SerialPort& port, const uint8_t* data, uint32_t size, uint32_t& done) {
    done = 0;
    if (!StillThere(port))
        return false;
    LinkWrite(data, size);
    done = size;
    return true;
}

// Never waits: the engine reads only what it was told is waiting.
bool ReadSerialPort(SerialPort& port, uint8_t* data, uint32_t size, uint32_t& done) {
    done = 0;
    if (!StillThere(port))
        return false;
    done = static_cast<uint32_t>(std::min<size_t>(size, webSerial.received.size()));
    std::copy_n(webSerial.received.begin(), done, data);
    webSerial.received.erase(webSerial.received.begin(), webSerial.received.begin() + done);
    return true;
}

void CloseSerialPort(SerialPort& port) {
    if (port.handle >= 0)
        LinkClose();
    port.handle = -1;
}

std::string LastSystemError() {
    return webSerial.failure;
}

// The browser's own chooser lists the ports.
std::vector<SerialPortEntry> ListSerialPorts(const char*, const char*) {
    return {};
}
