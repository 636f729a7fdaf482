#pragma once
// The virtual device's environment variables (sim/README.md): the one list that every program
// loading the device clears before it sets its own, so that no setting of an earlier load or
// of the caller's environment leaks into a test. A device's own variables (the names with _<device>
// after them) are not listed: only the tests that run karvex-flash set them.
inline constexpr const char* simVariableNames[] = {
    "KARVEX_SIM_DEVICES", "KARVEX_SIM_FLASH", "KARVEX_SIM_TRACE", "KARVEX_SIM_SILENT",
    "KARVEX_SIM_NAK", "KARVEX_SIM_DROP", "KARVEX_SIM_TRIPLE_ACK", "KARVEX_SIM_LATENCY_US",
    "KARVEX_SIM_WIRE", "KARVEX_SIM_CHIP_LATENCY", "KARVEX_SIM_BLOCK_WRITE_US",
    "KARVEX_SIM_UNPLUG_AFTER", "KARVEX_SIM_FAIL", "KARVEX_SIM_SPLIT_US", "KARVEX_SIM_BOOT_DELAY_US",
    "KARVEX_SIM_STACK", "KARVEX_SIM_LISTENING", "KARVEX_SIM_LINE_DELAY_US",
    "KARVEX_SIM_VIRTUAL_CLOCK", "KARVEX_SIM_LATE", "KARVEX_SIM_ATTACHED", "KARVEX_SIM_START"};
