#include "sim/sim_trace.h"

namespace {
void WriteRaw(Trace& trace, const std::string& text) {
    std::fputs(text.c_str(), trace.file);
    std::fputc('\n', trace.file);
    std::fflush(trace.file);
}

void SummariseRepeats(Trace& trace) {
    if (trace.repeats > 0)
        WriteRaw(trace, "(repeated " + std::to_string(trace.repeats) + " more times)");
    trace.repeats = 0;
}
} // namespace

void OpenTrace(Trace& trace, const std::string& path) {
    trace = Trace{};
    if (!path.empty())
        trace.file = std::fopen(path.c_str(), "w");
}

void WriteTraceLine(Trace& trace, const std::string& line) {
    if (!trace.file)
        return;
    if (line == trace.lastLine) {
        ++trace.repeats;
        return;
    }
    SummariseRepeats(trace);
    WriteRaw(trace, line);
    trace.lastLine = line;
}

void CloseTrace(Trace& trace) {
    if (!trace.file)
        return;
    SummariseRepeats(trace);
    std::fclose(trace.file);
    trace.file = nullptr;
}

std::string HexBytes(const uint8_t* bytes, uint32_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 2);
    for (uint32_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}
