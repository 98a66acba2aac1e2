// SPDX-License-Identifier: MIT
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "headless/frame_times.h"
#include "headless/image_file.h"
#include "headless/safe_file.h"
#include "headless/options.h"

namespace fs = std::filesystem;

namespace {

ParsedOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "pathtracer-render");
    return parseRenderOptions(static_cast<int>(args.size()), args.data());
}

// A fresh, empty directory for one test.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "pathtracer-test-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }
};

const std::vector<std::uint32_t> kPicture = {0xFF0000, 0x00FF00, 0x0000FF,
                                             0x123456, 0xFFFFFF, 0x000000};

} // namespace

TEST(RenderOptions, DefaultsAndEveryOption) {
    const ParsedOptions none = parse({});
    EXPECT_TRUE(none.error.empty());
    EXPECT_EQ(none.options.frames, 16);
    EXPECT_FALSE(none.options.sequential);
    EXPECT_TRUE(none.options.output.empty());

    EXPECT_TRUE(none.options.simd.empty());

    const ParsedOptions all =
        parse({"--frames", "3", "--sequential", "--output", "a.png", "--simd", "sse4"});
    EXPECT_TRUE(all.error.empty());
    EXPECT_EQ(all.options.frames, 3);
    EXPECT_TRUE(all.options.sequential);
    EXPECT_EQ(all.options.output, "a.png");
    EXPECT_EQ(all.options.simd, "sse4");
    EXPECT_FALSE(parse({"--simd="}).error.empty());

    EXPECT_EQ(parse({"--frames=7"}).options.frames, 7);
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"--version"}).options.version);
}

TEST(RenderOptions, RefusesBadFrameCounts) {
    for (const char* bad : {"0", "-1", "abc", "3x", "", " 4", "+4", "1.5", "99999999999"}) {
        EXPECT_FALSE(parse({"--frames", bad}).error.empty()) << "'" << bad << "'";
    }
    EXPECT_FALSE(parse({"--frames"}).error.empty());
    EXPECT_EQ(parse({"--frames", "2147483647"}).options.frames, 2147483647);
    // A count out of range is told the range, not only its lower end.
    EXPECT_NE(parse({"--frames", "99999999999"}).error.find("from 1 to 2147483647"),
              std::string::npos);
}

TEST(FrameTimes, MedianAndFastestOfAnyCount) {
    using std::chrono::microseconds;
    FrameTimes none;
    EXPECT_EQ(none.medianMs(), 0.0);
    FrameTimes one;
    one.add(std::chrono::nanoseconds(522583117));
    EXPECT_EQ(one.medianMs(), 522.583117); // exactly its time, not its bin's middle
    EXPECT_EQ(one.fastestMs(), 522.583117);
    FrameTimes odd;
    for (int us : {30000, 10000, 20000}) {
        odd.add(microseconds(us));
    }
    EXPECT_NEAR(odd.medianMs(), 20.0, 20.0 * 5e-4);
    EXPECT_EQ(odd.fastestMs(), 10.0);
    EXPECT_EQ(odd.count(), 3u);
    odd.add(microseconds(40000)); // an even count: the mean of the middle two
    EXPECT_NEAR(odd.medianMs(), 25.0, 25.0 * 5e-4);
    // Three million frames: the count and median hold without keeping every time.
    FrameTimes many;
    for (int i = 0; i < 3000000; ++i) {
        many.add(std::chrono::nanoseconds(i % 3 == 0 ? 5 : 18000000));
    }
    EXPECT_EQ(many.count(), 3000000u);
    EXPECT_NEAR(many.medianMs(), 18.0, 18.0 * 5e-4);
    EXPECT_EQ(many.fastestMs(), 5e-6);
    EXPECT_NEAR(many.totalSeconds(), 1e6 * 5e-9 + 2e6 * 0.018, 1e-3);
}

TEST(RenderOptions, RefusesUnknownOptionsAndExtensions) {
    EXPECT_FALSE(parse({"--fast"}).error.empty());
    EXPECT_FALSE(parse({"frames"}).error.empty());
    EXPECT_FALSE(parse({"--sequential=yes"}).error.empty());
    EXPECT_FALSE(parse({"--output", "picture.jpg"}).error.empty());
    EXPECT_FALSE(parse({"--output", "picture"}).error.empty());
    EXPECT_FALSE(parse({"--output"}).error.empty());
    EXPECT_TRUE(parse({"--output", "dir.png/x.PPM"}).error.empty());
}

TEST(ImageFile, FormatFromExtension) {
    EXPECT_EQ(imageFormatOf("a.ppm"), ImageFormat::Ppm);
    EXPECT_EQ(imageFormatOf("a.PNG"), ImageFormat::Png);
    EXPECT_EQ(imageFormatOf("a.png.txt"), ImageFormat::Unknown);
    EXPECT_EQ(imageFormatOf("dir.png/a"), ImageFormat::Unknown);
    EXPECT_EQ(imageFormatOf(".png"), ImageFormat::Unknown);
}

TEST(ImageFile, PpmHoldsHeaderThenRgbBytes) {
    TempDir dir;
    const std::string path = (dir.path / "p.ppm").string();
    ASSERT_EQ(saveImage(path, kPicture, 3, 2), "");
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string header = "P6\n3 2\n255\n";
    ASSERT_EQ(bytes.size(), header.size() + 18);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    const std::string rgb = bytes.substr(header.size());
    EXPECT_EQ(rgb.substr(0, 3), std::string("\xFF\x00\x00", 3));
    EXPECT_EQ(rgb.substr(9, 3), std::string("\x12\x34\x56", 3));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"p.ppm"});
}

TEST(ImageFile, PngReadsBackTheSamePixels) {
    TempDir dir;
    const std::string path = (dir.path / "p.png").string();
    ASSERT_EQ(saveImage(path, kPicture, 3, 2), "");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    image.format = PNG_FORMAT_RGB;
    ASSERT_EQ(image.width, 3u);
    ASSERT_EQ(image.height, 2u);
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    for (std::size_t i = 0; i < kPicture.size(); ++i) {
        EXPECT_EQ(rgb[i * 3 + 0], (kPicture[i] >> 16) & 0xFF);
        EXPECT_EQ(rgb[i * 3 + 1], (kPicture[i] >> 8) & 0xFF);
        EXPECT_EQ(rgb[i * 3 + 2], kPicture[i] & 0xFF);
    }
}

TEST(ImageFile, ReplacesAnExistingFileWhole) {
    TempDir dir;
    const std::string path = (dir.path / "p.ppm").string();
    { std::ofstream(path) << std::string(5000, 'x'); }
    ASSERT_EQ(saveImage(path, kPicture, 3, 2), "");
    EXPECT_EQ(fs::file_size(path), 11u + 18u);
}

TEST(ImageFile, UnwritablePlaceLeavesNothingBehind) {
    TempDir dir;
    const std::string missing = (dir.path / "no-such-dir" / "p.png").string();
    EXPECT_NE(saveImage(missing, kPicture, 3, 2), "");
    EXPECT_NE(checkWritable(missing), "");
    // A directory in the way of the final name: the write succeeds, the rename fails.
    fs::create_directory(dir.path / "taken.ppm");
    const std::string error = saveImage((dir.path / "taken.ppm").string(), kPicture, 3, 2);
    EXPECT_NE(error.find("taken.ppm"), std::string::npos);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"taken.ppm"});
    EXPECT_TRUE(fs::is_empty(dir.path / "taken.ppm"));
    EXPECT_EQ(checkWritable((dir.path / "ok.png").string()), "");
    EXPECT_EQ(dir.entries().size(), 1u);
}
