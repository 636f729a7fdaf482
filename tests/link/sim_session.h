#pragma once
// The virtual device library bound through LoadDriver, with an environment, flash file and
// call trace of the test's own.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using SimVariables = std::map<std::string, std::string>; // KARVEX_SIM_ name without prefix

struct SimSession {
    std::string flashPath;
    std::string tracePath;
};

// The virtual device built without the two optional entry points.
extern const char* const basicLibraryName;

// Sets `variables` (every other variable of the virtual device cleared), with FLASH and
// TRACE naming files "<name>.flash" and "<name>.trace" (removed first), then
// LoadDriver(library): by default the virtual device with every entry point.
bool StartSim(SimSession& session, const std::string& name, const SimVariables& variables,
              const char* library = nullptr);
// Releases the library (its trace is complete afterwards) and empties the table.
void StopSim();
std::vector<std::string> TraceLines(const SimSession& session);
// Lines of the trace that start with `call` (e.g. "FT_Open") and contain `part`.
int CountTraceLines(const SimSession& session, const std::string& call, const std::string& part);
