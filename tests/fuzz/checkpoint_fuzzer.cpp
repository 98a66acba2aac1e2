// SPDX-License-Identifier: MIT
// The checkpoint reader on any bytes: it never crashes, hangs or takes more memory than the
// sizes it allows, and a checkpoint it accepts resumes to a picture without undefined behaviour
// (the sanitizers watch every step).
//
// The first byte of an input says how the rest is read: bit 0 set, the last four bytes are
// replaced by the checksum of those before them, so that the fuzzer reaches the checks that
// follow the checksum; bit 1 set, the picture is the program's own 640 x 480, else a 4 x 3 one,
// whose checkpoints are small enough to mutate quickly (an accepted one is resumed tiled over
// the whole picture).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../unit/checkpoint_bytes.h"
#include "frame/display.h"
#include "frame/frame.h"
#include "frame/image.h"
#include "headless/checkpoint.h"
#include "headless/render_state.h"
#include "scene/scene.h"

namespace {

constexpr std::uint32_t kSmallWidth = 4;
constexpr std::uint32_t kSmallHeight = 3;

// The accepted checkpoint as one of the whole picture: its sums repeated over every pixel.
Checkpoint wholePicture(const Checkpoint& small) {
    Checkpoint c = small;
    c.width = kWidth;
    c.height = kHeight;
    c.sums.resize(3 * static_cast<std::size_t>(kPixelCount));
    const std::size_t pixels = small.sums.size() / 3;
    for (std::size_t i = 0; i < static_cast<std::size_t>(kPixelCount); ++i) {
        for (int channel = 0; channel < 3; ++channel) {
            c.sums[3 * i + channel] = small.sums[3 * (i % pixels) + channel];
        }
    }
    return c;
}

// Resumes the checkpoint as the renderer does and shows it; its draws come back as they went in.
void resume(const Checkpoint& c) {
    restoreCheckpoint(c);
    // Every mean shown is a level of 0 to 1: the reader accepts no sum outside 0 to the frame
    // count (NaN included), so the display never has to clamp a checkpoint's colour.
    for (int i = 0; i < kPixelCount; ++i) {
        const Vec3 mean = meanPixel(i);
        for (const float channel : {mean.x, mean.y, mean.z}) {
            if (!(channel >= 0.0f && channel <= 1.0f)) {
                std::abort(); // a sum outside 0 to the frame count was accepted
            }
        }
        // Shown as the window shows it (under UBSan in the fuzz leg).
        volatile std::uint32_t shown = meanPixelWord(i);
        (void)shown;
    }
    const DrawState after = drawState();
    if (after.held != c.heldDraws) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        initShapes();
        clearImage();
        return true;
    }();
    (void)ready;
    if (size < 1) {
        return 0;
    }
    const std::uint8_t how = data[0];
    std::vector<std::uint8_t> file(data + 1, data + size);
    if ((how & 1) != 0) {
        rechecksum(file);
    }
    CheckpointLimits limits = renderCheckpointLimits();
    const bool whole = (how & 2) != 0;
    if (!whole) {
        limits.width = kSmallWidth;
        limits.height = kSmallHeight;
    }
    Checkpoint c;
    if (!parseCheckpoint(file.data(), file.size(), "input", limits, c).empty()) {
        return 0;
    }
    resume(whole ? c : wholePicture(c));
    return 0;
}
