#pragma once
// Each test loads the library afresh with its own environment and files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/sim/loaded_sim.h"

class SimTest : public ::testing::Test {
protected:
    void TearDown() override { UnloadSim(sim); }

    // A file name of this test's own in the working directory, removed beforehand.
    std::string TestFile(const std::string& suffix) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string path = std::string("sim-") + info->test_suite_name() + "-" + info->name() + suffix;
        std::remove(path.c_str());
        return path;
    }

    void Load(const SimEnvironment& environment = {}) {
        UnloadSim(sim);
        ASSERT_TRUE(LoadSim(sim, environment));
    }

    LoadedSim sim;
};
