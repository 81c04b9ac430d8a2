// bench_save: what one save of the file library costs.
//
//   bench_save [--root DIR] [--big MIB] [--files N] [--size BYTES] [--repeat R]
//
// 1. Memory: one file of --big MiB (256 by default) is loaded and saved back in a process of its
//    own; its peak resident memory is printed against the file's size (target: at most 1.3x).
// 2. Reading back: --files files of --size bytes (64 of 1 MiB by default) are rewritten one after
//    another, each with and without reading the new content back before it replaces the
//    original (the order alternating), in --repeat rounds (5 by default); the share of a
//    rewrite's wall and CPU time the reading back takes is printed. Run it on the local disk and on a share-like mount
//    (../shared/tools/slowfs.c) with --root.
// Files go to a new folder under --root (default /tmp), removed at the end. Exit 0 whatever the
// figures, 1 on an error, 2 on bad arguments.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"

namespace {

struct Options {
    std::string root = "/tmp";
    std::uint64_t bigMiB = 256;
    int files = 64;
    std::uint64_t size = std::uint64_t{1} << 20;
    int repeat = 5;
};

bool Number(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return text && *text && end && !*end;
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::uint64_t n = 0;
        if (arg == "--root" && value) o.root = value;
        else if (arg == "--big" && value && Number(value, n) && n > 0) o.bigMiB = n;
        else if (arg == "--files" && value && Number(value, n) && n > 0) o.files = static_cast<int>(n);
        else if (arg == "--size" && value && Number(value, n) && n >= 64) o.size = n;
        else if (arg == "--repeat" && value && Number(value, n) && n > 0) o.repeat = static_cast<int>(n);
        else return false;
        ++i;
    }
    return true;
}

// A version-4 file with the recoverable fault, of about `bytes` bytes in records of 1 MiB or less.
bool MakeFile(const std::string& path, std::uint64_t bytes) {
    const std::uint64_t piece = std::min<std::uint64_t>(bytes, std::uint64_t{1} << 20);
    std::vector<std::string> records;
    for (std::uint64_t made = 0; made + piece <= bytes; made += piece) {
        std::string record(static_cast<std::size_t>(piece), '\0');
        for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>((i * 131 + records.size()) & 0xFF);
        records.push_back(std::move(record));
    }
    return WekWriteSample(path.c_str(), 4, records, true) == WEK_OK;
}

int Resave(const std::string& path) {
    CWekFile f;
    const int loaded = f.Load(path.c_str(), nullptr, nullptr, 0, 0);
    return loaded != WEK_OK ? loaded : f.Save(path.c_str(), nullptr, nullptr, nullptr, 4);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    // The child of part 1: one load and save, nothing else in its memory.
    if (argc == 3 && std::string(argv[1]) == "--resave-one") return Resave(argv[2]) == WEK_OK ? 0 : 1;
    Options o;
    if (!Parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: bench_save [--root DIR] [--big MIB] [--files N] [--size BYTES] [--repeat R]\n");
        return 2;
    }
    std::string folder = o.root + "/bench-save-XXXXXX";
    if (!mkdtemp(folder.data())) {
        std::perror(folder.c_str());
        return 1;
    }
    int status = 0;

    // 1. One large file's peak memory.
    const std::string big = folder + "/big.olv";
    if (!MakeFile(big, o.bigMiB << 20)) {
        std::fprintf(stderr, "cannot write %s\n", big.c_str());
        status = 1;
    } else {
        struct stat st {};
        stat(big.c_str(), &st);
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], "--resave-one", big.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int exit = 0;
        rusage usage{};
        wait4(child, &exit, 0, &usage);
        const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
        const double ratio = peak / static_cast<double>(st.st_size);
        std::printf("memory: one file of %.1f MiB loaded and saved: peak %.1f MiB = %.2fx its size (target 1.30x: %s)%s\n",
                    static_cast<double>(st.st_size) / 1048576.0, peak / 1048576.0, ratio, ratio <= 1.3 ? "OK" : "MISSED",
                    WIFEXITED(exit) && WEXITSTATUS(exit) == 0 ? "" : " - THE SAVE FAILED");
        unlink(big.c_str());
    }

    // 2. The cost of reading the new content back.
    std::vector<std::string> paths;
    for (int i = 0; i < o.files && status == 0; ++i) {
        paths.push_back(folder + "/f" + std::to_string(i) + ".olv");
        if (!MakeFile(paths.back(), o.size)) status = 1;
    }
    if (status == 0) {
        // Each file is rewritten with and without, the order alternating, so that the disk's
        // drift (flushes vary most) falls on both alike; wall and CPU time are summed apart.
        double wall[2] = {0, 0}, cpu[2] = {0, 0};
        int failures = 0;
        const auto cpuNow = [] {
            rusage u{};
            getrusage(RUSAGE_SELF, &u);
            return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                   static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
        };
        for (int run = 0; run < o.repeat; ++run) {
            for (std::size_t i = 0; i < paths.size(); ++i) {
                for (int turn = 0; turn < 2; ++turn) {
                    const int skip = (turn + static_cast<int>(i) + run) % 2;
                    WekSkipReadBackForBench(skip == 1);
                    const double c = cpuNow();
                    const auto start = std::chrono::steady_clock::now();
                    failures += Resave(paths[i]) != WEK_OK;
                    wall[skip] += Seconds(std::chrono::steady_clock::now() - start);
                    cpu[skip] += cpuNow() - c;
                }
            }
        }
        WekSkipReadBackForBench(false);
        const double n = static_cast<double>(o.repeat) * o.files;
        std::printf("reading back: %d files of %llu bytes in %s, %d rounds: a rewrite takes %.3f ms with it and %.3f ms "
                    "without (%+.1f%%); CPU %.3f ms and %.3f ms (%+.1f%%)%s\n",
                    o.files, static_cast<unsigned long long>(o.size), o.root.c_str(), o.repeat, wall[0] / n * 1e3,
                    wall[1] / n * 1e3, (wall[0] / wall[1] - 1) * 100, cpu[0] / n * 1e3, cpu[1] / n * 1e3,
                    (cpu[0] / cpu[1] - 1) * 100, failures ? " - SOME SAVES FAILED" : "");
        if (failures) status = 1;
    }
    std::filesystem::remove_all(folder);
    return status;
}
