#include "sim/sim_config.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iterator>

#include "link/d2xx.h"

namespace {
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool ParseNumber(const std::string& text, uint32_t& value) {
    const char* end = text.data() + text.size();
    uint32_t number = 0;
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end)
        return false;
    value = number;
    return true;
}

// "3", "2-5", or a comma-separated list of them; "*" for every occurrence.
bool ParseOccurrences(const std::string& text, Occurrences& when) {
    when.ranges.clear();
    if (text == "*")
        return true;
    for (const std::string& part : Split(text, ',')) {
        size_t dash = part.find('-');
        uint32_t first = 0;
        uint32_t last = 0;
        bool read = dash == std::string::npos
                        ? ParseNumber(part, first) && ParseNumber(part, last)
                        : ParseNumber(part.substr(0, dash), first) &&
                              ParseNumber(part.substr(dash + 1), last);
        if (!read || first == 0 || last < first)
            return false;
        when.ranges.emplace_back(first, last);
    }
    return true;
}

// One fault item: "key", "key:occurrences", optionally followed by "=status".
struct FaultItem {
    std::string key;
    Occurrences when;
    bool hasStatus = false;
    uint32_t status = 0;
};

bool ParseFaultItem(const std::string& text, FaultItem& item) {
    std::string rest = text;
    size_t equals = rest.find('=');
    item.hasStatus = equals != std::string::npos;
    if (item.hasStatus) {
        if (!ParseNumber(rest.substr(equals + 1), item.status))
            return false;
        rest.resize(equals);
    }
    size_t colon = rest.find(':');
    item.key = rest.substr(0, colon);
    item.when.ranges.clear();
    return !item.key.empty() &&
           (colon == std::string::npos || ParseOccurrences(rest.substr(colon + 1), item.when));
}

bool ParseBlockKey(const std::string& key, int32_t& block) {
    uint32_t index = 0;
    if (key == "*")
        block = kEveryBlock;
    else if (key == "hs")
        block = kHandshakeKey;
    else if (ParseNumber(key, index) && index < 512)
        block = static_cast<int32_t>(index);
    else
        return false;
    return true;
}

// Items separated by ';', each read by `readItem`. An empty text configures no fault; an
// unreadable one changes nothing.
template <typename Fault, typename ReadItem>
bool ParseFaultList(const std::string& text, std::vector<Fault>& faults, ReadItem readItem) {
    std::vector<Fault> parsed;
    for (const std::string& part : Split(text, ';')) {
        FaultItem item;
        Fault fault{};
        if (text.empty())
            break;
        if (!ParseFaultItem(part, item) || !readItem(item, fault))
            return false;
        parsed.push_back(fault);
    }
    faults = parsed;
    return true;
}

bool ParseReplyFaults(const std::string& text, std::vector<ReplyFault>& faults) {
    return ParseFaultList(text, faults, [](const FaultItem& item, ReplyFault& fault) {
        fault.sends = item.when;
        return !item.hasStatus && ParseBlockKey(item.key, fault.block);
    });
}

bool ParseLateReplies(const std::string& text, std::vector<ReplyFault>& faults) {
    return ParseFaultList(text, faults, [](const FaultItem& item, ReplyFault& fault) {
        fault.sends = item.when;
        fault.delayUs = item.status;
        return item.hasStatus && ParseBlockKey(item.key, fault.block);
    });
}

bool IsEntryName(const std::string& name) {
    auto named = [&](const char* known) { return name == known; };
    return std::any_of(std::begin(d2xxRequiredNames), std::end(d2xxRequiredNames), named) ||
           std::any_of(std::begin(d2xxOptionalNames), std::end(d2xxOptionalNames), named);
}

bool ParseCallFaults(const std::string& text, std::vector<CallFault>& faults) {
    return ParseFaultList(text, faults, [](const FaultItem& item, CallFault& fault) {
        // A refused open says "not opened"; any other call fails as an I/O error.
        uint32_t fallback = item.key == "FT_Open" ? 3 : 4;
        fault = {item.key, item.when, item.hasStatus ? item.status : fallback};
        return IsEntryName(item.key) && fault.status != 0;
    });
}

bool ParseFlag(const std::string& text, bool& flag) {
    if (text != "0" && text != "1")
        return false;
    flag = text == "1";
    return true;
}

void ReadDescriptions(const std::string& text, SimConfig& config) {
    config.descriptions.clear();
    if (!text.empty() && text != "none")
        config.descriptions = Split(text, ';');
}

// "2:1000-4000", "2:1000-" (never removed): device 2 attached from 1 s to 4 s after the start.
bool ParseAttachWindows(const std::string& text, std::vector<AttachWindow>& windows) {
    std::vector<AttachWindow> parsed;
    for (const std::string& part : Split(text, ';')) {
        size_t colon = part.find(':');
        size_t dash = part.find('-', colon == std::string::npos ? 0 : colon);
        uint32_t device = 0;
        AttachWindow window{};
        if (colon == std::string::npos || dash == std::string::npos ||
            !ParseNumber(part.substr(0, colon), device) ||
            !ParseNumber(part.substr(colon + 1, dash - colon - 1), window.fromMs) ||
            (dash + 1 < part.size() && !ParseNumber(part.substr(dash + 1), window.untilMs)))
            return false;
        window.device = static_cast<int32_t>(device);
        parsed.push_back(window);
    }
    windows = parsed;
    return true;
}

bool ParseStart(const std::string& text, uint64_t& startMs) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, startMs);
    return !text.empty() && error == std::errc() && stop == end;
}

// Reads variable `name` (name + `suffix`, the device's own, when it is set) with `parse` when it
// is set; notes it as a problem if unreadable.
template <typename Parse>
void ReadVariable(SimConfig& config, const char* name, const std::string& suffix, Parse parse) {
    std::string ownName = std::string(name) + suffix;
    const char* value = std::getenv(ownName.c_str());
    if (!value)
        value = std::getenv(name);
    if (value && !parse(std::string(value)))
        config.problems.push_back(std::string(name) + "=" + value);
}
} // namespace

bool Attached(const SimConfig& config, int32_t device, uint64_t sinceStartMs) {
    for (const AttachWindow& window : config.attached) {
        if (window.device == device)
            return sinceStartMs >= window.fromMs &&
                   (window.untilMs == 0 || sinceStartMs < window.untilMs);
    }
    return true;
}

bool Includes(const Occurrences& when, uint32_t number) {
    if (when.ranges.empty())
        return true;
    for (const auto& [first, last] : when.ranges) {
        if (number >= first && number <= last)
            return true;
    }
    return false;
}

const ReplyFault* FindReplyFault(const std::vector<ReplyFault>& faults, int32_t block,
                                 uint32_t send) {
    for (const ReplyFault& fault : faults) {
        bool keyMatches = fault.block == block || (fault.block == kEveryBlock && block >= 0);
        if (keyMatches && Includes(fault.sends, send))
            return &fault;
    }
    return nullptr;
}

bool FaultApplies(const std::vector<ReplyFault>& faults, int32_t block, uint32_t send) {
    return FindReplyFault(faults, block, send) != nullptr;
}

SimConfig ReadSimConfig(int32_t device) {
    std::string suffix = device < 0 ? "" : "_" + std::to_string(device);
    SimConfig config;
    auto read = [&](const char* name, auto parse) { ReadVariable(config, name, suffix, parse); };
    config.descriptions = {"KARVEX"};
    read("KARVEX_SIM_ATTACHED",
         [&](const std::string& v) { return ParseAttachWindows(v, config.attached); });
    read("KARVEX_SIM_START", [&](const std::string& v) { return ParseStart(v, config.startMs); });
    read("KARVEX_SIM_DEVICES", [&](const std::string& v) {
        ReadDescriptions(v, config);
        return true;
    });
    read("KARVEX_SIM_FLASH", [&](const std::string& v) {
        config.flashPath = v;
        return true;
    });
    read("KARVEX_SIM_TRACE", [&](const std::string& v) {
        config.tracePath = v;
        return true;
    });
    read("KARVEX_SIM_NAK", [&](const std::string& v) { return ParseReplyFaults(v, config.nak); });
    read("KARVEX_SIM_DROP", [&](const std::string& v) { return ParseReplyFaults(v, config.drop); });
    read("KARVEX_SIM_LATE", [&](const std::string& v) { return ParseLateReplies(v, config.late); });
    read("KARVEX_SIM_FAIL",
         [&](const std::string& v) { return ParseCallFaults(v, config.failures); });
    read("KARVEX_SIM_SILENT", [&](const std::string& v) { return ParseFlag(v, config.silent); });
    read("KARVEX_SIM_TRIPLE_ACK",
         [&](const std::string& v) { return ParseFlag(v, config.tripleAck); });
    read("KARVEX_SIM_WIRE", [&](const std::string& v) { return ParseFlag(v, config.wireTiming); });
    read("KARVEX_SIM_CHIP_LATENCY",
         [&](const std::string& v) { return ParseFlag(v, config.chipLatency); });
    read("KARVEX_SIM_LATENCY_US",
         [&](const std::string& v) { return ParseNumber(v, config.latencyUs); });
    read("KARVEX_SIM_BLOCK_WRITE_US",
         [&](const std::string& v) { return ParseNumber(v, config.blockWriteUs); });
    read("KARVEX_SIM_UNPLUG_AFTER",
         [&](const std::string& v) { return ParseNumber(v, config.unplugAfterBlocks); });
    read("KARVEX_SIM_LISTENING",
         [&](const std::string& v) { return ParseFlag(v, config.listening); });
    read("KARVEX_SIM_LINE_DELAY_US",
         [&](const std::string& v) { return ParseNumber(v, config.lineDelayUs); });
    read("KARVEX_SIM_SPLIT_US",
         [&](const std::string& v) { return ParseNumber(v, config.splitUs); });
    read("KARVEX_SIM_BOOT_DELAY_US",
         [&](const std::string& v) { return ParseNumber(v, config.bootDelayUs); });
    read("KARVEX_SIM_VIRTUAL_CLOCK",
         [&](const std::string& v) { return ParseNumber(v, config.virtualClockUs); });
    read("KARVEX_SIM_STACK",
         [&](const std::string& v) { return ParseNumber(v, config.stackBytes); });
    return config;
}
