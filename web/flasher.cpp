// The page's side of the core, called from web/page.js: what the window's handlers and status
// timer do, over the serial driver whose port is the page's Web Serial link.
#include <emscripten.h>

#include <algorithm>
#include <array>
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
// Web Serial cannot set the chip's latency timer: left at its 16 ms default, the chip holds
// each acknowledgement that long and the upload takes about three times as long as where the
// system has set it to 1 ms. The first blocks' reply times tell which the page has. A block
// takes the device about 4 ms; a 16 ms timer makes that 16 to 20 ms, 2 ms of latency about 6.
constexpr uint32_t sampledBlocks = 8;
constexpr uint32_t heldReplyMs = 12;

struct ReplyTimes {
    int32_t sampledOffset = -1; // upload.offset after the block last sampled
    std::array<uint32_t, sampledBlocks> ms{};
    uint32_t count = 0;
};
ReplyTimes replyTimes;

// Bytes arriving while a block waits for its reply: the time since the block went out, once
// per block.
void SampleReplyTime() {
    int32_t offset = upload.offset.load();
    if (upload.state.load() != phaseTransfer || judgement.settling ||
        offset == replyTimes.sampledOffset || replyTimes.count == sampledBlocks)
        return;
    replyTimes.sampledOffset = offset;
    replyTimes.ms[replyTimes.count++] = uploadClockMs() - judgement.frameSentAtMs;
}

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
    replyTimes = ReplyTimes{};
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
    SampleReplyTime();
    WebSerialReceived(bytes, count);
    Receive();
}

// Whether the chip held the first blocks' replies for its default latency (their median).
EMSCRIPTEN_KEEPALIVE bool karvex_replies_held() {
    std::array<uint32_t, sampledBlocks> ms = replyTimes.ms;
    auto end = ms.begin() + replyTimes.count;
    auto median = ms.begin() + replyTimes.count / 2;
    std::nth_element(ms.begin(), median, end);
    return replyTimes.count > 0 && *median >= heldReplyMs;
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
