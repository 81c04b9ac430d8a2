// olvtool: makes, describes, checks and resaves .olv files from the command line, and scans and
// fixes whole folder trees as the dialog does.
// Exit codes: 0 success, 1 a file is invalid or could not be saved, 2 bad arguments or a file
// or folder that cannot be read.
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/OlvtoolTree.h"
#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0, kExitInvalid = 1, kExitUsage = 2;
constexpr std::uint64_t kMaxRecords = 10'000'000;
constexpr std::uint64_t kMaxBytes = std::uint64_t{4} << 30;

int Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "olvtool: %s\n", problem);
    std::fputs("usage: olvtool make FILE --version N [--fault] [--records K] [--bytes B]\n"
               "       olvtool info FILE\n"
               "       olvtool verify FILE...\n"
               "       olvtool resave FILE\n"
               "       olvtool demo DIR\n"
               "       olvtool scan DIR [--jobs N]\n"
               "       olvtool fix DIR [--jobs N]\n",
               stderr);
    return kExitUsage;
}

// Parses a whole decimal number in [minimum, maximum].
bool ParseNumber(const char* text, std::uint64_t minimum, std::uint64_t maximum, std::uint64_t& value) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && ptr == end && ptr != text && value >= minimum && value <= maximum;
}

// A readable record of `size` bytes (at least its label): "record 2:bcdef...".
std::string SampleRecord(std::uint64_t number, std::uint64_t size) {
    std::string r = "record " + std::to_string(number);
    if (size > r.size()) {
        r += ':';
        while (r.size() < size) r += static_cast<char>('a' + (number + r.size()) % 26);
    }
    return r;
}

std::vector<std::string> SampleRecords(std::uint64_t count, std::uint64_t recordSize) {
    std::vector<std::string> records;
    for (std::uint64_t i = 1; i <= count; ++i) records.push_back(SampleRecord(i, recordSize));
    return records;
}

int Make(int argc, char** argv) {
    const char* file = nullptr;
    std::uint64_t version = 0, records = 3, bytes = 0;
    bool fault = false, haveVersion = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--version" || arg == "--records" || arg == "--bytes";
        if (takesValue && i + 1 >= argc) return Usage((arg + " needs a number").c_str());
        if (arg == "--version") {
            if (!ParseNumber(argv[++i], 1, INT32_MAX, version)) return Usage("--version needs a number from 1");
            haveVersion = true;
        } else if (arg == "--records") {
            if (!ParseNumber(argv[++i], 0, kMaxRecords, records)) return Usage("--records needs a number from 0 to 10000000");
        } else if (arg == "--bytes") {
            if (!ParseNumber(argv[++i], 1, kMaxBytes, bytes)) return Usage("--bytes needs a number from 1 to 4294967296");
        } else if (arg == "--fault") {
            fault = true;
        } else if (arg.starts_with("--") || file) {
            return Usage(("unexpected argument: " + arg).c_str());
        } else {
            file = argv[i];
        }
    }
    if (!file) return Usage("make needs a FILE");
    if (!haveVersion) return Usage("make needs --version N");
    if (fault && version != 4) return Usage("--fault needs --version 4: only version-4 files have that fault");
    if (bytes && !records) return Usage("--bytes needs at least one record");

    // Spread the wanted size over the records, after the 32-byte header and 8 index bytes each.
    const std::uint64_t overhead = 32 + 8 * records;
    const std::uint64_t recordSize = bytes > overhead ? (bytes - overhead) / records : 0;
    const int status = WekWriteSample(file, static_cast<int>(version), SampleRecords(records, recordSize), fault);
    if (status < 0) {
        std::printf("%s: not written: %s\n", file, WekStatusText(status));
        return kExitInvalid;
    }
    std::printf("%s: wrote version %d, %llu records%s\n", file, static_cast<int>(version),
                static_cast<unsigned long long>(records), fault ? ", with the recoverable fault" : "");
    return kExitOk;
}

bool Unreadable(int status) { return status == WEK_ERR_OPEN || status == WEK_ERR_READ; }

int Info(const char* file) {
    CWekFile probe;
    probe.m_nQuickFlag = 1;
    probe.LoadQuick(file, nullptr, 0);
    std::printf("file: %s\nprobe version: %d\n", file, probe.GetSimpleVersion());

    CWekFile full;
    const int status = full.Load(file, nullptr, nullptr, 0, 0);
    if (status < 0) {
        std::printf("load: failed: %s\n", WekStatusText(status));
        return Unreadable(status) ? kExitUsage : kExitInvalid;
    }
    std::printf("load: ok\nversion: %d\nrecords: %zu\nrecoverable fault: %s\n", full.GetSimpleVersion(),
                full.RecordCount(), full.HadRecoverableFault() ? "tolerated" : "none");
    return kExitOk;
}

int Verify(int argc, char** argv) {
    int result = kExitOk;
    for (int i = 0; i < argc; ++i) {
        std::string detail;
        const int status = WekVerify(argv[i], &detail);
        if (status >= 0) {
            std::printf("%s: ok (%s)\n", argv[i], detail.c_str());
        } else if (Unreadable(status)) {
            std::printf("%s: unreadable: %s\n", argv[i], detail.c_str());
            result = kExitUsage;
        } else {
            std::printf("%s: invalid: %s\n", argv[i], detail.c_str());
            if (result == kExitOk) result = kExitInvalid;
        }
    }
    return result;
}

// The repair the program performs: load, still version 4, mark changed, save as version 4.
int Resave(const char* file) {
    CWekFile f;
    int status = f.Load(file, nullptr, nullptr, 0, 0);
    if (status >= 0 && f.GetSimpleVersion() != 4) {
        std::printf("%s: not saved: version %d, only version-4 files are resaved\n", file, f.GetSimpleVersion());
        return kExitInvalid;
    }
    if (status >= 0) {
        f.SetModified(1, 1);
        status = f.Save(file, nullptr, nullptr, nullptr, 4);
    }
    if (status < 0) {
        // Rewritten, but something of the save is left beside the file: said, and no success.
        const bool rewritten = status == WEK_ERR_COPY_LEFT || status == WEK_ERR_TEMP_LEFT;
        std::printf(rewritten ? "%s: %s\n" : "%s: not saved: %s\n", file, WekStatusText(status));
        return kExitInvalid;
    }
    std::printf("%s: saved as version 4, %zu records%s\n", file, f.RecordCount(),
                f.HadRecoverableFault() ? ", recoverable fault repaired" : "");
    return kExitOk;
}

// How a demo file is made: by the library, by the library and then cut short, or as raw text.
enum class Made { Sample, CutShort, Raw };

struct DemoFile {
    const char* path;  // relative to the demo folder
    Made made;
    int version;       // for Sample and CutShort
    bool fault;        // for Sample
    const char* raw;   // for Raw
    const char* what;
};

// Everything the search and the repair must tell apart.
const DemoFile kDemo[] = {
    {"v1.olv", Made::Sample, 1, false, nullptr, "version 1"},
    {"v2.olv", Made::Sample, 2, false, nullptr, "version 2"},
    {"v3.olv", Made::Sample, 3, false, nullptr, "version 3"},
    {"v4.olv", Made::Sample, 4, false, nullptr, "version 4, correct"},
    {"v4-fault.olv", Made::Sample, 4, true, nullptr, "version 4 with the recoverable fault"},
    {"v5.olv", Made::Sample, 5, false, nullptr, "version 5"},
    {"v9-future.olv", Made::Sample, 9, false, nullptr, "future version 9"},
    {"X.OLV", Made::Sample, 4, true, nullptr, "upper-case extension, version 4 with the fault"},
    {"y.Olv", Made::Sample, 4, false, nullptr, "mixed-case extension, version 4"},
    {".olv", Made::Sample, 4, true, nullptr, "whole name is .olv, version 4 with the fault"},
    {"a.olv.bak", Made::Sample, 4, true, nullptr, "looks similar: .olv.bak"},
    {"olv", Made::Sample, 4, true, nullptr, "looks similar: named olv"},
    // Not x.olv: on a file system that ignores case that would be the file X.OLV above.
    {"folder.olv/plain", Made::Sample, 4, true, nullptr, "inside a folder named folder.olv, no extension"},
    {"corrupt-v4.olv", Made::CutShort, 4, false, nullptr, "version 4, body cut short (damaged)"},
    {"not-olv.olv", Made::Raw, 0, false, "just some text, no magic number\n", "wrong magic number"},
    {"empty.olv", Made::Raw, 0, false, "", "empty file"},
    {"nested/one/v4-fault.olv", Made::Sample, 4, true, nullptr, "level 1, version 4 with the fault"},
    {"nested/one/two/v2.olv", Made::Sample, 2, false, nullptr, "level 2, version 2"},
    {"nested/one/two/three/DEEP.OLV", Made::Sample, 4, true, nullptr, "level 3, version 4 with the fault"},
    {"nested/one/two/three/four/v5.olv", Made::Sample, 5, false, nullptr, "level 4, version 5"},
};

bool WriteRaw(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

bool MakeDemoFile(const fs::path& path, const DemoFile& d) {
    const std::vector<std::string> records = SampleRecords(3, 40);
    std::string bytes;
    switch (d.made) {
    case Made::Raw: return WriteRaw(path, d.raw);
    case Made::CutShort:
        return WekEncode(d.version, records, false, bytes) && WriteRaw(path, bytes.substr(0, bytes.size() / 2));
    case Made::Sample: break;
    }
    return WekWriteSample(path.string().c_str(), d.version, records, d.fault) == WEK_OK;
}

int Demo(const char* dir) {
    const fs::path root(dir);
    std::error_code ec;
    // Never write into a folder that already holds something: it may be the user's data.
    if (fs::exists(root, ec) && (!fs::is_directory(root, ec) || !fs::is_empty(root, ec))) {
        std::fprintf(stderr, "olvtool: %s exists and is not an empty folder; not touching it\n", dir);
        return kExitUsage;
    }
    for (const DemoFile& d : kDemo) {
        const fs::path path = root / d.path;
        fs::create_directories(path.parent_path(), ec);
        if (ec || !MakeDemoFile(path, d)) {
            std::fprintf(stderr, "olvtool: could not create %s\n", path.string().c_str());
            return kExitInvalid;
        }
        std::printf("%s: %s\n", d.path, d.what);
    }
    std::printf("demo tree in %s: %zu files\n", dir, std::size(kDemo));
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG, which the save reports
    // and cleans up after, instead of the signal killing the process halfway through a save.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (argc < 2) return Usage(nullptr);
    const std::string command = argv[1];
    const int rest = argc - 2;
    char** args = argv + 2;
    if (command == "make") return Make(rest, args);
    if (command == "scan") return quorvel::olvtool::Scan(rest, args);
    if (command == "fix") return quorvel::olvtool::Fix(rest, args);
    if (command == "verify") return rest >= 1 ? Verify(rest, args) : Usage("verify needs at least one FILE");
    if (command == "info" || command == "resave" || command == "demo") {
        if (rest != 1) return Usage((command + " needs exactly one " + (command == "demo" ? "DIR" : "FILE")).c_str());
        if (command == "info") return Info(args[0]);
        if (command == "resave") return Resave(args[0]);
        return Demo(args[0]);
    }
    if (command == "-h" || command == "--help" || command == "help") {
        Usage(nullptr);
        return kExitOk;
    }
    return Usage(("unknown command: " + command).c_str());
}
