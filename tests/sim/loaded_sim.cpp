#include "tests/sim/loaded_sim.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/platform.h"
#include "sim/sim_variables.h"

namespace {
template <typename Fn>
bool Bind(void* module, const char* name, Fn& entry) {
    entry = reinterpret_cast<Fn>(FindLibrarySymbol(module, name));
    return entry != nullptr;
}
} // namespace

void ClearSimVariables() {
    for (const char* name : simVariableNames)
        SetEnvironmentVariableUtf8(name, nullptr);
}

bool LoadSim(LoadedSim& sim, const SimEnvironment& environment) {
    ClearSimVariables();
    for (const auto& [name, value] : environment)
        SetEnvironmentVariableUtf8(name.c_str(), value.c_str());
    sim = LoadedSim{};
    sim.module = LoadSharedLibrary(driverLibraryName);
#define SIM_BIND(name, type) Bind(sim.module, #name, sim.name) &&
    return sim.module && D2XX_REQUIRED_ENTRIES(SIM_BIND) true;
#undef SIM_BIND
}

void UnloadSim(LoadedSim& sim) {
    ReleaseSharedLibrary(sim.module);
    sim = LoadedSim{};
}

FT_HANDLE OpenForBootloader(const LoadedSim& sim, int index) {
    FT_HANDLE handle = nullptr;
    bool ready = sim.FT_Open(index, &handle) == FT_OK && sim.FT_SetBaudRate(handle, 500000) == FT_OK &&
                 sim.FT_SetDataCharacteristics(handle, 8, 0, 0) == FT_OK &&
                 sim.FT_SetTimeouts(handle, 200, 200) == FT_OK && sim.FT_SetDtr(handle) == FT_OK &&
                 sim.FT_SetRts(handle) == FT_OK;
    return ready ? handle : nullptr;
}

FT_STATUS WriteBytes(const LoadedSim& sim, FT_HANDLE handle, std::vector<uint8_t> bytes) {
    uint32_t written = 0;
    return sim.FT_Write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
}

std::string ReadText(const LoadedSim& sim, FT_HANDLE handle, uint32_t count) {
    std::string text(count, '\0');
    uint32_t got = 0;
    if (sim.FT_Read(handle, text.data(), count, &got) != FT_OK)
        return "<failed>";
    text.resize(got);
    return text;
}

std::vector<uint8_t> BlockFrame(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> frame(data.size() + 4);
    frame[1] = static_cast<uint8_t>(address >> 8);
    frame[2] = static_cast<uint8_t>(address);
    frame[3] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + 4);
    uint8_t sum = 0;
    for (uint8_t byte : frame)
        sum = static_cast<uint8_t>(sum - byte);
    frame.push_back(sum);
    return frame;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>());
}

std::vector<std::string> FileLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}
