// The one fixture of the tests that run the engine in-process: every test
// starts and leaves with the process state of a fresh run and the tuning
// switches at their defaults.
#pragma once

#include "settings/state.h"
#include "settings/tuning.h"

#include <gtest/gtest.h>

class engine_fixture : public ::testing::Test {
protected:
    void SetUp() override { reset_process_state(); }
    void TearDown() override
    {
        reset_process_state();
        use_plain_paths = false;
        scan_thread_count = 0;
    }
};
