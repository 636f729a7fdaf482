#include "tests/link/sim_session.h"

#include <algorithm>
#include <cstdio>

#include "link/driver.h"
#include "platform/platform.h"
#include "tests/sim/loaded_sim.h"

namespace {
void SetSimVariable(const std::string& name, const char* value) {
    SetEnvironmentVariableUtf8(("KARVEX_SIM_" + name).c_str(), value);
}
} // namespace

const char* const basicLibraryName = BASIC_LIBRARY_NAME;

bool StartSim(SimSession& session, const std::string& name, const SimVariables& variables,
              const char* library) {
    session.flashPath = name + ".flash";
    session.tracePath = name + ".trace";
    std::remove(session.tracePath.c_str());
    ClearSimVariables();
    SetSimVariable("FLASH", session.flashPath.c_str());
    SetSimVariable("TRACE", session.tracePath.c_str());
    for (const auto& [variable, value] : variables)
        SetSimVariable(variable, value.c_str());
    return LoadDriver(library);
}

void StopSim() {
    ReleaseSharedLibrary(driver.module);
    driver = DriverTable{};
}

std::vector<std::string> TraceLines(const SimSession& session) {
    return FileLines(session.tracePath);
}

int CountTraceLines(const SimSession& session, const std::string& call, const std::string& part) {
    std::vector<std::string> lines = TraceLines(session);
    return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(call, 0) == 0 && line.find(part) != std::string::npos;
    }));
}
