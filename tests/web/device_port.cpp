// The virtual device as the port of the browser tests' stand-in for navigator.serial: the
// stand-in passes it the port's framing, lines and written bytes, and takes its replies.
#include <emscripten.h>

#include <cstdlib>

#include "sim/sim_config.h"
#include "sim/sim_device.h"

namespace {
SimConfig config;
VirtualDevice device;
} // namespace

extern "C" {
// Sets a KARVEX_SIM_* variable for the next device_plug.
EMSCRIPTEN_KEEPALIVE void device_set(const char* name, const char* value) {
    setenv(name, value, 1);
}

// A device as plugged in, configured by the variables set.
EMSCRIPTEN_KEEPALIVE void device_plug() {
    config = ReadSimConfig();
    device = VirtualDevice{};
    InitDevice(device, 0, "KARVEX", config, "");
}

// The framing the port was opened with, in the chip's terms (stop bits: 0 for one, 2 for two).
EMSCRIPTEN_KEEPALIVE void device_set_framing(uint32_t baud, uint8_t dataBits, uint8_t stopBits,
                                             uint8_t parity) {
    device.settings.baud = baud;
    device.settings.wordLength = dataBits;
    device.settings.stopBits = stopBits;
    device.settings.parity = parity;
}

EMSCRIPTEN_KEEPALIVE void device_set_lines(bool dtr, bool rts) {
    SetLines(device, dtr, rts, SimClock::now());
}

// False once the device has vanished (KARVEX_SIM_UNPLUG_AFTER).
EMSCRIPTEN_KEEPALIVE bool device_transmit(const uint8_t* bytes, uint32_t count) {
    std::string notes;
    return Transmit(device, config, bytes, count, SimClock::now(), notes);
}

// Up to `size` reply bytes that were ready `lateUs` ago: a line that delivers them that late.
EMSCRIPTEN_KEEPALIVE uint32_t device_take(uint8_t* dest, uint32_t size, uint32_t lateUs) {
    return TakeReady(device, dest, size, SimClock::now() - std::chrono::microseconds(lateUs));
}

// Reply bytes not taken yet, ready or not.
EMSCRIPTEN_KEEPALIVE uint32_t device_pending() {
    return static_cast<uint32_t>(device.received.size());
}

EMSCRIPTEN_KEEPALIVE uint32_t device_blocks_written() {
    return device.blocksWritten;
}

EMSCRIPTEN_KEEPALIVE const uint8_t* device_flash() {
    return device.flash.data();
}
}
