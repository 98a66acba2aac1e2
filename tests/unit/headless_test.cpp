// SPDX-License-Identifier: MIT
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "checkpoint_bytes.h"
#include "headless/checkpoint.h"
#include "headless/frame_times.h"
#include "headless/image_file.h"
#include "headless/options.h"
#include "headless/quoted.h"
#include "headless/render_state.h"
#include "headless/safe_file.h"
#include "headless/spare_memory.h"
#include "tracer/bounce_table.h"

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

TEST(RenderOptions, ValuesThatLookLikeOptionsAndStrayWords) {
    EXPECT_NE(parse({"--json", "--quiet"}).error.find("--json=--quiet"), std::string::npos);
    EXPECT_EQ(parse({"--json=--quiet"}).options.json, "--quiet");
    EXPECT_EQ(parse({"--json", "-"}).options.json, "-"); // standard output
    EXPECT_NE(parse({"--"}).error.find("'--' ends the options"), std::string::npos);
    EXPECT_NE(parse({"--frames", "2", "out.png"}).error.find("unexpected argument 'out.png'"),
              std::string::npos);
    // A negative count is told as a count, not as an option.
    EXPECT_NE(parse({"--frames", "-3"}).error.find("whole number"), std::string::npos);
}

TEST(RenderOptions, MinutesArePlainDecimalsAndNeedACheckpoint) {
    for (const char* good : {"0", "10", "0.5", ".5", "5.", "1000000"}) {
        const ParsedOptions p = parse({"--checkpoint", "c", "--checkpoint-every", good});
        EXPECT_TRUE(p.error.empty()) << good << ": " << p.error;
    }
    EXPECT_EQ(parse({"--checkpoint", "c", "--checkpoint-every=.25"}).options.checkpointEveryMinutes,
              0.25);
    for (const char* bad : {"0x10", "1e3", "inf", "nan", ".", "", "-1", "+1", "1000001", " 1"}) {
        EXPECT_FALSE(parse({"--checkpoint", "c", "--checkpoint-every", bad}).error.empty()) << bad;
    }
    EXPECT_NE(parse({"--checkpoint-every", "5"}).error.find("needs --checkpoint"),
              std::string::npos);
}

TEST(RenderOptions, AnExplicitModeIsKnownFromTheDefault) {
    EXPECT_FALSE(parse({}).options.modeGiven);
    EXPECT_TRUE(parse({"--sequential"}).options.modeGiven);
}

namespace {

// A small checkpoint's bytes, its checksum made to match after `change` edits them.
std::vector<std::uint8_t> checkpointBytes(const Checkpoint& c, const TempDir& dir) {
    const std::string path = (dir.path / "c.ckpt").string();
    EXPECT_EQ(writeCheckpoint(path, c), "");
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

CheckpointLimits smallLimits() {
    CheckpointLimits limits;
    limits.width = 2;
    limits.height = 1;
    limits.mostFrames = 8;
    limits.mostHeldBounces = 3;
    limits.bounceDrawn = [](std::uint16_t d) { return d < 1000; };
    return limits;
}

Checkpoint smallCheckpoint() {
    Checkpoint c;
    c.width = 2;
    c.height = 1;
    c.frames = 4;
    c.heldDraws = {1, 2, 3};
    c.sums = {0.0f, 1.0f, 4.0f, 3.5f, 0.25f, 0.0f};
    return c;
}

std::string parseBytes(const std::vector<std::uint8_t>& bytes, Checkpoint& c) {
    return parseCheckpoint(bytes.data(), bytes.size(), "c", smallLimits(), c);
}

} // namespace

TEST(CheckpointReader, ReadsBackWhatWasWritten) {
    TempDir dir;
    const std::vector<std::uint8_t> bytes = checkpointBytes(smallCheckpoint(), dir);
    Checkpoint read;
    ASSERT_EQ(readCheckpoint((dir.path / "c.ckpt").string(), smallLimits(), read), "");
    EXPECT_EQ(read.frames, 4u);
    EXPECT_EQ(read.heldDraws, smallCheckpoint().heldDraws);
    EXPECT_EQ(read.sums, smallCheckpoint().sums);
    EXPECT_EQ(parseBytes(bytes, read), "");
}

// Checkpoints of earlier versions also hold bounces for the bottom band, after the others: the
// reader checks them as it checks those, and drops them.
TEST(CheckpointReader, ChecksAndDropsBouncesHeldForTheBottomBand) {
    TempDir dir;
    for (const std::uint16_t bottom : {std::uint16_t{999}, std::uint16_t{1000}}) {
        Checkpoint c = smallCheckpoint();
        c.heldDraws.push_back(bottom);
        std::vector<std::uint8_t> bytes = checkpointBytes(c, dir);
        ASSERT_EQ(bytes[156], 4); // held, then 0 for the bottom band
        ASSERT_EQ(bytes[160], 0);
        bytes[156] = 3;
        bytes[160] = 1;
        rechecksum(bytes);
        Checkpoint read;
        const std::string error = parseBytes(bytes, read);
        if (bottom == 999) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(read.heldDraws, smallCheckpoint().heldDraws);
        } else {
            EXPECT_NE(error.find("holds a bounce no render draws (1000)"), std::string::npos)
                << error;
        }
    }
}

// Stored checkpoints are kept for ever: the renderer reads the largest held lists that earlier
// versions could write (docs/checkpoint-format.md: 1,049,616 bounces for a band), and refuses one
// more, however many a stream holds today.
TEST(CheckpointReader, ReadsTheLongestHeldListsOfEarlierVersions) {
    TempDir dir;
    std::uint16_t accepted = 0;
    while (gBounceTable.rejected[accepted]) {
        ++accepted;
    }
    Checkpoint c;
    c.width = 640;
    c.height = 480;
    c.frames = 1;
    c.sums.assign(3 * 640 * 480, 0.5f);
    for (const std::size_t held : {std::size_t{1049616}, std::size_t{1049617}}) {
        c.heldDraws.assign(held, accepted);
        const std::string path = (dir.path / "earlier.ckpt").string();
        ASSERT_EQ(writeCheckpoint(path, c), "");
        Checkpoint read;
        const std::string error = readCheckpoint(path, renderCheckpointLimits(), read);
        if (held == 1049616) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(read.heldDraws.size(), held);
        } else {
            EXPECT_NE(error.find("is corrupted"), std::string::npos) << error;
        }
    }
}

TEST(CheckpointReader, RefusesValuesNoRenderHasThoughTheChecksumMatches) {
    TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const float sum : {nan, inf, -inf, -1.0f, 4.001f}) {
        Checkpoint c = smallCheckpoint();
        c.sums[3] = sum;
        std::vector<std::uint8_t> bytes = checkpointBytes(c, dir);
        Checkpoint read;
        EXPECT_NE(parseBytes(bytes, read).find("holds a sum no render of 4 frames has"),
                  std::string::npos)
            << sum;
    }
    Checkpoint none = smallCheckpoint();
    none.frames = 0;
    Checkpoint read;
    EXPECT_NE(parseBytes(checkpointBytes(none, dir), read).find("no render of 0 frames"),
              std::string::npos);
    Checkpoint many = smallCheckpoint();
    many.frames = 9;
    EXPECT_NE(parseBytes(checkpointBytes(many, dir), read).find("more than a render takes (8)"),
              std::string::npos);
}

TEST(CheckpointReader, SizesAreCheckedBeforeTheBodyAndInTheDocumentedOrder) {
    TempDir dir;
    const std::vector<std::uint8_t> good = checkpointBytes(smallCheckpoint(), dir);
    Checkpoint read;
    // One byte too many or too few: named as such, not as a checksum that does not match.
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    rechecksum(longer);
    EXPECT_NE(parseBytes(longer, read).find("is too long (" + std::to_string(good.size() + 1) +
                                            " bytes of " + std::to_string(good.size()) + ")"),
              std::string::npos);
    std::vector<std::uint8_t> shorter(good.begin(), good.end() - 1);
    EXPECT_NE(parseBytes(shorter, read).find("is truncated"), std::string::npos);
    // More held bounces than a band holds: refused from the header, whatever the file's size.
    std::vector<std::uint8_t> held = good;
    held[156] = 4;
    EXPECT_NE(parseBytes(held, read).find("it holds 4 bounces for one band; a render holds at most 3"),
              std::string::npos);
    held[156] = 0xFF;
    held[159] = 0xFF;
    EXPECT_NE(parseBytes(held, read).find("a render holds at most 3"), std::string::npos);
    // Another picture size comes before the length.
    std::vector<std::uint8_t> wider = good;
    wider[12] = 3;
    EXPECT_NE(parseBytes(wider, read).find("is of a 3x1 picture, not 2x1"), std::string::npos);
    // A flipped byte in the sums: the checksum.
    std::vector<std::uint8_t> flipped = good;
    flipped[good.size() - 6] ^= 1;
    EXPECT_NE(parseBytes(flipped, read).find("checksum does not match"), std::string::npos);
    // Anything shorter than the magic, or other bytes: not a checkpoint at all.
    for (std::size_t n = 0; n < 8; ++n) {
        EXPECT_NE(parseCheckpoint(good.data(), n, "c", smallLimits(), read)
                      .find("is not a pathtracer checkpoint"),
                  std::string::npos);
    }
}

TEST(CheckpointReader, ReadsOnlyRegularFiles) {
    TempDir dir;
    const std::string fifo = (dir.path / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Checkpoint read;
    EXPECT_NE(readCheckpoint(fifo, smallLimits(), read).find("it is not a regular file"),
              std::string::npos);
    EXPECT_NE(readCheckpoint("/dev/zero", smallLimits(), read).find("it is not a regular file"),
              std::string::npos);
    EXPECT_NE(readCheckpoint(dir.path.string(), smallLimits(), read).find("Is a directory"),
              std::string::npos);
}

TEST(OutputPlace, WhereEachKindOfNameLeads) {
    TempDir dir;
    OutputPlace place;
    ASSERT_EQ(findOutputPlace("-", place), "");
    EXPECT_EQ(place.way, OutputPlace::Way::Descriptor);
    EXPECT_EQ(place.descriptor, 1);
    const std::string fifo = (dir.path / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(findOutputPlace(fifo, place), "");
    EXPECT_EQ(place.way, OutputPlace::Way::InPlace);
    // A file, a link to it and a link to where a new one will be: one identity per file.
    const std::string file = (dir.path / "a.ppm").string();
    { std::ofstream(file) << "x"; }
    fs::create_symlink("a.ppm", dir.path / "link.ppm");
    fs::create_symlink("new.ppm", dir.path / "later.ppm");
    OutputPlace linked;
    ASSERT_EQ(findOutputPlace(file, place), "");
    ASSERT_EQ(findOutputPlace((dir.path / "link.ppm").string(), linked), "");
    EXPECT_EQ(place.way, OutputPlace::Way::Replace);
    EXPECT_EQ(place.identity, linked.identity);
    OutputPlace later;
    OutputPlace direct;
    ASSERT_EQ(findOutputPlace((dir.path / "later.ppm").string(), later), "");
    ASSERT_EQ(findOutputPlace((dir.path / "new.ppm").string(), direct), "");
    EXPECT_EQ(later.identity, direct.identity);
    EXPECT_NE(later.identity, place.identity);
    // Checking made nothing.
    EXPECT_EQ(dir.entries().size(), 4u);
}

TEST(OutputPlace, AWriteThatFallsShortIsAFailure) {
    TempDir dir;
    const std::string path = (dir.path / "short.txt").string();
    { std::ofstream(path) << "old"; }
    // Past a file-size limit, with a writer that does not look at what fwrite did (as
    // OpenEXR's OutputFile does when it writes its offset table from its destructor).
    const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string error = writeFileSafely(path, [](std::FILE* file) {
        const std::string block(65536, 'x');
        std::fwrite(block.data(), 1, block.size(), file);
        return true;
    });
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, ignored);
    EXPECT_NE(error, "");
    std::ifstream in(path);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "old");
    EXPECT_EQ(dir.entries().size(), 1u);
}

// Memory set aside is address space a limit counts, so that what the final saves need is had
// when it is given back; and it is never written, so that it costs no start-up time.
TEST(SpareMemory, HoldsAddressSpaceUnderALimitWithoutWritingIt) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const auto mapped = [](std::size_t bytes) {
        void* mapping =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            return false;
        }
        munmap(mapping, bytes);
        return true;
    };
    // The process's address space and resident memory, in pages.
    const auto pages = [] {
        std::pair<std::size_t, std::size_t> sizes{};
        std::ifstream("/proc/self/statm") >> sizes.first >> sizes.second;
        return sizes;
    };
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto [size, resident] = pages();
    ASSERT_GT(size, 0u);
    rlimit before{};
    getrlimit(RLIMIT_AS, &before);
    rlimit limited = before;
    limited.rlim_cur = size * page + 48 * kMiB;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    if (mapped(64 * kMiB)) { // (qemu-user takes such a limit without keeping to it)
        setrlimit(RLIMIT_AS, &before);
        GTEST_SKIP() << "a limit on the address space is not kept to here";
    }
    SpareMemory spare;
    const bool taken = spare.take(32 * kMiB);
    const std::size_t residentHeld = pages().second;
    const bool refusedWhileHeld = !mapped(32 * kMiB);
    spare.giveBack();
    const bool hadOnceGivenBack = mapped(32 * kMiB);
    const bool refusedWhenTooMuch = !spare.take(64 * kMiB);
    setrlimit(RLIMIT_AS, &before);
    EXPECT_TRUE(taken);
    EXPECT_LT(residentHeld * page, resident * page + kMiB);
    EXPECT_TRUE(refusedWhileHeld);
    EXPECT_TRUE(hadOnceGivenBack);
    EXPECT_TRUE(refusedWhenTooMuch);
}

// Names in messages can neither drive the terminal nor forge a line: control characters and
// bytes that are not UTF-8 are shown as escapes, everything else as it is.
TEST(QuotedName, EscapesWhatATerminalWouldObey) {
    const std::pair<std::string, std::string> cases[] = {
        {"pic.png", "'pic.png'"},
        {"", "''"},
        {"it's a \\ name", "'it's a \\ name'"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA8",
         "'caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA8'"},
        {"nodir\x1B]0;x\a\x1B[2J\n/pathtracer-render: fake.png",
         "$'nodir\\e]0;x\\a\\e[2J\\n/pathtracer-render: fake.png'"},
        {"tab\there\r", "$'tab\\there\\r'"},
        {"it's\n", "$'it\\'s\\n'"},
        {"back\\slash\x7F", "$'back\\\\slash\\x7F'"},
        {"c1 \xC2\x9B\x33\x31m", "$'c1 \\xC2\\x9B31m'"}, // CSI, as one character
        {"latin1 \xE9t\xE9", "$'latin1 \\xE9t\\xE9'"},
        {"overlong \xC0\xAF", "$'overlong \\xC0\\xAF'"},
        {"surrogate \xED\xA0\x80", "$'surrogate \\xED\\xA0\\x80'"},
        {"cut \xE2\x82", "$'cut \\xE2\\x82'"},
    };
    for (const auto& [name, shown] : cases) {
        EXPECT_EQ(quotedName(name), shown);
    }
}
