// SPDX-License-Identifier: MIT
// Runs a libFuzzer target without libFuzzer, for compilers that have none (GCC, which builds the
// code the packages ship): every file named, and every file in every folder named, once; then,
// with --mutate SECONDS, inputs made from them by random changes until the time is up. A target
// aborts on a fault; the input it was given is then written to ./crash-standalone first.
// Usage: FUZZER [--mutate SECONDS] [--seed N] FILE-OR-FOLDER...
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Input = std::vector<std::uint8_t>;

const Input* gCurrent = nullptr;

// Keeps the input that found the fault (only calls that are safe in a signal handler).
extern "C" void keepCurrentInput(int signal) {
    if (gCurrent != nullptr) {
        const int fd = ::open("crash-standalone", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ssize_t ignored = ::write(fd, gCurrent->data(), gCurrent->size());
            (void)ignored;
            ::close(fd);
        }
        static const char note[] = "the input is kept in ./crash-standalone\n";
        ssize_t ignored = ::write(2, note, sizeof note - 1);
        (void)ignored;
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void run(const Input& input) {
    gCurrent = &input;
    LLVMFuzzerTestOneInput(input.data(), input.size());
    gCurrent = nullptr;
}

bool readFile(const std::string& path, std::vector<Input>& inputs) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

// The files a name gives: itself, or those in the folder. False for a folder with none.
bool collect(const std::string& name, std::vector<Input>& inputs) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        return readFile(name, inputs);
    }
    DIR* dir = ::opendir(name.c_str());
    if (dir == nullptr) {
        return false;
    }
    const std::size_t before = inputs.size();
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            readFile(name + "/" + entry->d_name, inputs);
        }
    }
    ::closedir(dir);
    return inputs.size() > before;
}

// One to four random changes: bits flipped, bytes set, inserted or erased, a word set to an
// edge value, or a piece of another input spliced in.
Input mutate(const std::vector<Input>& inputs, std::mt19937_64& random) {
    const auto pick = [&](std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    Input input = inputs[pick(inputs.size())];
    for (int changes = 1 + static_cast<int>(pick(4)); changes > 0; --changes) {
        const std::size_t at = pick(input.size() + 1);
        switch (pick(6)) {
        case 0:
            if (at < input.size()) {
                input[at] ^= static_cast<std::uint8_t>(1u << pick(8));
            }
            break;
        case 1:
            if (at < input.size()) {
                input[at] = static_cast<std::uint8_t>(random());
            }
            break;
        case 2:
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), 1 + pick(8),
                         static_cast<std::uint8_t>(random()));
            break;
        case 3:
            input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                        input.begin() + static_cast<std::ptrdiff_t>(
                                            std::min(input.size(), at + 1 + pick(8))));
            break;
        case 4: {
            static const std::uint32_t edges[] = {0u,          0x80000000u, 0x3f800000u,
                                                  0x7f800000u, 0xff800000u, 0x7fc00000u,
                                                  0x7f7fffffu, 0x00000001u, 0xffffffffu};
            const std::uint32_t word = edges[pick(std::size(edges))];
            if (at + 4 <= input.size()) {
                std::memcpy(input.data() + at, &word, 4);
            }
            break;
        }
        default: {
            const Input& other = inputs[pick(inputs.size())];
            const std::size_t from = pick(other.size() + 1);
            const std::size_t length = pick(other.size() - from + 1);
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                         other.begin() + static_cast<std::ptrdiff_t>(from),
                         other.begin() + static_cast<std::ptrdiff_t>(from + length));
            break;
        }
        }
    }
    return input;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 0.0;
    std::uint64_t seed = std::random_device{}();
    std::vector<Input> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mutate" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (!collect(arg, inputs)) {
            std::fprintf(stderr, "%s: no input in '%s'\n", argv[0], arg.c_str());
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s [--mutate SECONDS] [--seed N] FILE-OR-FOLDER...\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGABRT, keepCurrentInput);
    std::signal(SIGSEGV, keepCurrentInput);
    for (const Input& input : inputs) {
        run(input);
    }
    std::printf("%zu inputs run\n", inputs.size());
    if (seconds > 0.0) {
        std::mt19937_64 random(seed);
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::uint64_t runs = 0;
        while (std::chrono::steady_clock::now() < end) {
            run(mutate(inputs, random));
            ++runs;
        }
        std::printf("%llu changed inputs run in %.0f s (seed %llu)\n",
                    static_cast<unsigned long long>(runs), seconds,
                    static_cast<unsigned long long>(seed));
    }
    return 0;
}
