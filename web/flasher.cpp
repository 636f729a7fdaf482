// The page's side of the core, called from web/page.js: what the window's handlers and status
// timer do, over the serial driver whose port is the page's Web Serial link.
#include <emscripten.h>

#include <cstring>
#include <string>

#include "image/flash_image.h"
#include "link/driver.h"
#include "link/port.h"
#include "link/serial.h"
#include "platform/platform_web.h"
#include "text/texts.h"
#include "upload/engine.h"

namespace {
// What the receive thread's loop would do now: a lost port fails every pass, and the passes
// follow each other until the retries are spent, so the upload ends at once.
void Receive() {
    while (ReceivePass() && WebSerialIsLost()) {
    }
}
} // namespace

extern "C" {
// The page's language: English, or else Russian.
EMSCRIPTEN_KEEPALIVE void karvex_set_language(bool english) {
    texts::language = english ? texts::Language::english : texts::Language::russian;
}

// The text called `name` in the page's language; nullptr for an unknown name.
EMSCRIPTEN_KEEPALIVE const char* karvex_text(const char* name) {
    for (const texts::NamedText& entry : texts::everyText) {
        if (std::strcmp(entry.name, name) == 0)
            return texts::Localized(*entry.text);
    }
    return nullptr;
}

// About-Help, a line per entry, then the page's note on its speed.
EMSCRIPTEN_KEEPALIVE const char* karvex_help() {
    static std::string help;
    help.clear();
    for (const texts::Text& line : texts::helpLines)
        help.append(texts::Localized(line)).append("\n");
    help.append("\n").append(texts::Localized(texts::webSpeedNote));
    return help.c_str();
}

EMSCRIPTEN_KEEPALIVE uint32_t karvex_image_size() {
    return imageSize;
}

// Fills FlashImage from the file's bytes and patches the jump if asked; false for a bad file.
EMSCRIPTEN_KEEPALIVE bool karvex_read_image(const char* name, const uint8_t* bytes, uint32_t size,
                                            bool patch) {
    ProvideWebFile(name, bytes, size);
    if (ReadHexFile(FlashImage, name) != hexReadOk)
        return false;
    if (patch)
        PatchResetVector(FlashImage);
    return true;
}

// Opens the chosen port (Module.serialLink) as the device of the upload: framing, lines released.
EMSCRIPTEN_KEEPALIVE bool karvex_open_port() {
    LoadSerialDriver("Web Serial");
    EnumerateDevices();
    return OpenDeviceForUpload(0);
}

// The start timer's work: the handshake request, then the lines that start the bootloader.
EMSCRIPTEN_KEEPALIVE void karvex_begin_upload() {
    BeginUpload();
    SetControlLines(0, true);
}

// The status timer's work; the final message once the upload has ended, else nullptr.
EMSCRIPTEN_KEEPALIVE const char* karvex_tick() {
    TickCountdown();
    Receive();
    if (upload.noResponse.exchange(0))
        return texts::Localized(texts::noResponse);
    if (upload.done.exchange(0))
        return texts::Localized(texts::finished);
    return nullptr;
}

EMSCRIPTEN_KEEPALIVE int32_t karvex_progress() {
    return upload.offset.load();
}

EMSCRIPTEN_KEEPALIVE void karvex_received(const uint8_t* bytes, uint32_t count) {
    WebSerialReceived(bytes, count);
    Receive();
}

EMSCRIPTEN_KEEPALIVE void karvex_port_lost(const char* reason) {
    WebSerialLost(reason);
    Receive();
}

// Closes the port once the upload has released its lines.
EMSCRIPTEN_KEEPALIVE void karvex_release_port() {
    ReleaseSerialPort();
}
}
