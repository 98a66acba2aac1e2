// SPDX-License-Identifier: MIT
#pragma once

#include <string>

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

#define RUN_ON_EVERY_INSTRUCTION_SET(Suite)                                                        \
    class Suite : public OnEveryInstructionSet {};                                                 \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Set, Suite, ::testing::ValuesIn(instructionSets()),                                        \
        [](const ::testing::TestParamInfo<std::string>& info) { return info.param; })
