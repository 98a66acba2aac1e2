// SPDX-License-Identifier: MIT
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "every_instruction_set.h"
#include "frame/display.h"
#include "frame/frame.h"
#include "frame/frame_scene.h"
#include "frame/image.h"
#include "frame/render.h"
#include "test_support.h"
#include "tracer/draws.h"

using std::chrono::microseconds;

namespace {

std::uint64_t sequentialPictureHash(int frames) {
    resetWorld();
    for (int i = 0; i < frames; ++i) {
        traceFrame(FrameMode::Sequential);
    }
    return pictureHash();
}

} // namespace

// The sequential pictures are fixed by the arithmetic and the generator's sequence alone, the
// same on every instruction set.
RUN_ON_EVERY_INSTRUCTION_SET(GoldenPicture);

TEST_P(GoldenPicture, SequentialAfterOneFrame) {
    EXPECT_EQ(sequentialPictureHash(1), 0x6b1aea3fdd4fb504ull);
}

TEST_P(GoldenPicture, SequentialAfterThreeFrames) {
    EXPECT_EQ(sequentialPictureHash(3), 0x61757774e407230cull);
}

TEST(FrameLoop, FirstFrameShowsSingleClampedSamples) {
    resetWorld();
    const FrameStats stats = traceFrame(FrameMode::TwoWorkers);
    EXPECT_EQ(gSamples, 1);
    EXPECT_GE(stats.segments, static_cast<std::uint64_t>(kPixelCount));
    // The top row sees only the light.
    for (int column = 0; column < kWidth; ++column) {
        ASSERT_EQ(meanPixelWord(column), 0xFFFFFFu) << "column " << column;
    }
    for (int i = 0; i < kPixelCount; ++i) {
        const Vec3& sum = gAccumColor1[i];
        ASSERT_TRUE(sum.x >= 0.0f && sum.x <= 1.0f && sum.y >= 0.0f && sum.y <= 1.0f &&
                    sum.z >= 0.0f && sum.z <= 1.0f && sum.w == 0.0f);
    }
}

TEST(FrameLoop, SamplesAccumulateAcrossFramesInBothModes) {
    for (FrameMode mode : {FrameMode::TwoWorkers, FrameMode::Sequential}) {
        resetWorld();
        for (int i = 0; i < 3; ++i) {
            traceFrame(mode);
        }
        EXPECT_EQ(gSamples, 3);
        EXPECT_EQ(gAccumColor1[0].x, 3.0f); // three samples of the light
        float total = 0.0f;
        for (const Vec3& sum : gAccumColor1) {
            ASSERT_LE(sum.x, 3.0f);
            total += sum.y;
        }
        EXPECT_GT(total, 0.0f);
    }
}

TEST(FrameLoop, DrawsHeldStayBoundedThroughResumes) {
    // Each round carries the render on as a resume does: the draws held become restored ones.
    // The other worker takes runs ahead while the bottom band traces; restored draws count
    // against that limit, or every resume would add up to a thousand more runs.
    resetWorld();
    for (int round = 0; round < 4; ++round) {
        traceFrame(FrameMode::TwoWorkers);
        const DrawState held = drawState();
        ASSERT_LE(held.top.size(), DrawStream::kMostHeld) << "round " << round;
        ASSERT_LE(held.bottom.size(), DrawStream::kMostHeld) << "round " << round;
        setDrawState(held);
    }
}

TEST(FrameLoop, SequentialPicturesRepeat) {
    EXPECT_EQ(sequentialPictureHash(1), sequentialPictureHash(1));
}

TEST(FrameLoop, BandsWriteOnlyTheirOwnRows) {
    resetWorld();
    precalcFrame(gRayOrigin);
    SharedRandom source;
    DrawStream draws(source);
    render(0, 240, prepareFrameScene(), draws);
    for (int i = 240 * kWidth; i < kPixelCount; ++i) {
        ASSERT_EQ(gAccumColor1[i].x, 0.0f);
        ASSERT_EQ(gAccumColor1[i].y, 0.0f);
        ASSERT_EQ(gAccumColor1[i].z, 0.0f);
    }
    EXPECT_EQ(gAccumColor1[0].x, 1.0f);
}

TEST(PrimaryRay, CentrePixelLooksStraightAhead) {
    const Vec3 d = primaryDirection(240, 320);
    EXPECT_EQ(d.x, 0.0f);
    EXPECT_EQ(d.y, 0.0f);
    EXPECT_EQ(d.z, 1.0f);
    const Vec3 corner = primaryDirection(0, 0);
    EXPECT_LT(corner.x, 0.0f); // scene -x is on the left
    EXPECT_LT(corner.y, 0.0f); // scene -y is at the top
    EXPECT_NEAR(corner.z, 512.0f / std::sqrt(320.0f * 320.0f + 240.0f * 240.0f + 512.0f * 512.0f),
                1e-6f);
}

TEST(TimingLine, WholeMillisecondsTruncated) {
    EXPECT_EQ(tracingTimeLine(microseconds(12900)), "Tracing time: 12 ms.");
    EXPECT_EQ(tracingTimeLine(microseconds(900)), "Tracing time: 0 ms.");
    EXPECT_EQ(tracingTimeLine(microseconds(1234000)), "Tracing time: 1234 ms.");
}

TEST(Display, EncodeTruncatesEachChannel) {
    EXPECT_EQ(encodeColor(makeVec3(1, 1, 1)), 0xFFFFFFu);
    EXPECT_EQ(encodeColor(makeVec3(0, 0, 0)), 0u);
    EXPECT_EQ(encodeColor(makeVec3(1, 0, 0)), 0xFF0000u);
    EXPECT_EQ(encodeColor(makeVec3(0, 0.5f, 0)), 0x007F00u); // 127.5 truncates to 127
    EXPECT_EQ(encodeColor(makeVec3(0, 0, 0.999f)), 0x0000FEu);
}

TEST(Display, EveryFloatGivesALevel) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(encodeColor(makeVec3(inf, -inf, nan)), 0xFF0000u);
    EXPECT_EQ(encodeColor(makeVec3(1.5f, -0.5f, 1e30f)), 0xFF00FFu);
    EXPECT_EQ(encodeColor(makeVec3(-nan, 3e9f, -0.0f)), 0x00FF00u);
}

TEST(Display, ShowsTheTruncatedMeanOfTheSamples) {
    clearImage();
    gSamples = 3;
    gAccumColor1[5] = makeVec3(3.0f, 1.0f, 2.0f);
    // 255 * (1/3) = 85, 255 * (2/3) = 170 after truncation.
    EXPECT_EQ(meanPixelWord(5), 0xFF55AAu);
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(kHeight) * kWidth * 4);
    writeMeanPixels(memory.data(), kWidth * 4);
    // Each pixel is one native 32-bit word 0x00RRGGBB, as a 32-bit surface holds it.
    std::uint32_t word = 0;
    std::memcpy(&word, &memory[5 * 4], sizeof word);
    EXPECT_EQ(word, 0xFF55AAu);
}

TEST(LongRun, PictureStaysConvergedAtTheSampleBound) {
    resetWorld();
    traceFrame(FrameMode::Sequential);
    // As if the program had run for kMaxSamples - 1 frames: every pixel lit all along.
    gSamples = kMaxSamples - 1;
    for (Vec3& sum : gAccumColor1) {
        sum = makeVec3(static_cast<float>(kMaxSamples - 1), 0.5f * (kMaxSamples - 1), 0.0f);
    }
    const FrameStats last = traceFrame(FrameMode::TwoWorkers);
    EXPECT_GT(last.segments, 0u);
    EXPECT_EQ(gSamples, kMaxSamples);
    const std::uint64_t converged = pictureHash();
    const std::uint32_t top = meanPixelWord(0);
    EXPECT_EQ(top >> 16, 255u); // the light's pixel still shows full red
    for (int i = 0; i < 3; ++i) {
        const FrameStats idle = traceFrame(FrameMode::TwoWorkers);
        EXPECT_EQ(idle.segments, 0u);
        EXPECT_EQ(idle.tracing.count(), 0);
    }
    EXPECT_EQ(gSamples, kMaxSamples);
    EXPECT_EQ(pictureHash(), converged);
}

TEST(LongRun, LightPixelSumsStayExactUpToTheBound) {
    // The light's pixel gains exactly 1 in every channel each frame. Traced up to the bound from
    // just below it, its sums are the exact frame count and its mean is still full white; the
    // frame after the bound adds nothing.
    resetWorld();
    traceFrame(FrameMode::Sequential);
    gSamples = kMaxSamples - 2;
    const float below = static_cast<float>(kMaxSamples - 2);
    gAccumColor1[0] = makeVec3(below, below, below);
    for (int i = 0; i < 3; ++i) {
        traceFrame(i % 2 == 0 ? FrameMode::TwoWorkers : FrameMode::Sequential);
    }
    const float bound = static_cast<float>(kMaxSamples);
    EXPECT_EQ(gAccumColor1[0].x, bound);
    EXPECT_EQ(gAccumColor1[0].y, bound);
    EXPECT_EQ(gAccumColor1[0].z, bound);
    EXPECT_EQ(meanPixelWord(0), 0xFFFFFFu);
}

TEST(Display, BlackBeforeTheFirstSample) {
    clearImage();
    gAccumColor1[0] = makeVec3(1, 1, 1);
    EXPECT_EQ(meanPixelWord(0), 0u);
}
