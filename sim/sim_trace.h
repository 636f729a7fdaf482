#pragma once
// The call trace: one line per library call, in the order the calls finished.
#include <cstdint>
#include <cstdio>
#include <string>

struct Trace {
    std::FILE* file = nullptr;
    std::string lastLine;
    uint32_t repeats = 0; // further copies of lastLine not yet summarised
};

// Starts an empty trace file at `path`; no trace when the path is empty or cannot be written.
void OpenTrace(Trace& trace, const std::string& path);
// Writes `line` at once; copies of the previous line (a polling loop) are summarised in one
// "(repeated N more times)" line when a different line follows or the trace closes.
void WriteTraceLine(Trace& trace, const std::string& line);
void CloseTrace(Trace& trace);
// Bytes as upper-case hex digits, two per byte.
std::string HexBytes(const uint8_t* bytes, uint32_t count);
