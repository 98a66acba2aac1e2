// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tracer/fast_paths.h"

// Tests that start from the world resetWorld makes.
class FreshWorld : public ::testing::Test {
  protected:
    void SetUp() override { resetWorld(); }
};

// A test suite run once on each instruction set this build has and this CPU runs (the widest is
// what the programs use; the tests force each narrower one in turn), each test from the world
// resetWorld makes.
class OnEveryInstructionSet : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        resetWorld();
        ASSERT_TRUE(useInstructionSet(GetParam()));
    }
    void TearDown() override { useInstructionSet(""); }
};

// The sets such a suite runs on: every one. Under ThreadSanitizer, which looks at what the two
// threads share (the same code on every set; the lanes' arithmetic, which is not, the other legs
// check on every set), the widest and the narrowest.
inline std::vector<std::string> instructionSetsTestedHere() {
    std::vector<std::string> sets = instructionSets();
#ifdef PATHTRACER_THREAD_SANITIZER
    if (sets.size() > 2) {
        sets = {sets.front(), sets.back()};
    }
#endif
    return sets;
}

// Under an emulator, where a frame takes seconds, a test of whole frames runs on the widest set
// alone when other tests check the same per-set code on every set: this says to skip it on `set`.
inline bool wholeFramesSkippedOn(const std::string& set) {
    return kEmulated && set != instructionSets().front();
}

#define RUN_ON_EVERY_INSTRUCTION_SET(Suite)                                                        \
    class Suite : public OnEveryInstructionSet {};                                                 \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Set, Suite, ::testing::ValuesIn(instructionSetsTestedHere()),                              \
        [](const ::testing::TestParamInfo<std::string>& info) { return info.param; })
