// olvtool: makes, describes, checks and resaves .olv files from the command line, and scans and
// fixes whole folder trees as the dialog does. Data goes to standard output, every message to
// standard error.
// Exit codes: 0 success, 1 a file is invalid or could not be saved (or the output could not be
// written), 2 bad arguments or a file or folder that cannot be read, 128 + the signal when
// scan or fix was stopped by one.
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

#include "app/OlvtoolArgs.h"
#include "app/OlvtoolInput.h"
#include "app/OlvtoolMain.h"
#include "app/OlvtoolOutput.h"
#include "app/OlvtoolTree.h"
#include "base/Descriptors.h"
#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"

namespace fs = std::filesystem;

using namespace quorvel::olvtool;

namespace {

constexpr int kExitOk = 0, kExitInvalid = 1, kExitUsage = 2;
constexpr std::uint64_t kMaxRecords = 10'000'000;
constexpr std::uint64_t kMaxBytes = std::uint64_t{4} << 30;

// Parses a whole decimal number in [minimum, maximum].
bool ParseNumber(const std::string& text, std::uint64_t minimum, std::uint64_t maximum, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && ptr != text.data() && value >= minimum && value <= maximum;
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

int Make(const Parsed& parsed) {
    const std::string& file = parsed.operands[0];
    std::uint64_t version = 0, records = 3, bytes = 0;
    if (!parsed.Has(Opt::FormatVersion)) return UsageProblem("make", "needs --version N");
    if (!ParseNumber(parsed.Value(Opt::FormatVersion), 1, INT32_MAX, version))
        return UsageProblem("make", "--version needs a number from 1");
    if (parsed.Has(Opt::Records) && !ParseNumber(parsed.Value(Opt::Records), 0, kMaxRecords, records))
        return UsageProblem("make", "--records needs a number from 0 to 10000000");
    if (parsed.Has(Opt::Bytes) && !ParseNumber(parsed.Value(Opt::Bytes), 1, kMaxBytes, bytes))
        return UsageProblem("make", "--bytes needs a number from 1 to 4294967296");
    const bool fault = parsed.Has(Opt::Fault);
    if (fault && version != 4) return UsageProblem("make", "--fault needs --version 4: only version-4 files have that fault");
    if (bytes && !records) return UsageProblem("make", "--bytes needs at least one record");
    std::string problem;
    if (!parsed.Has(Opt::Force) && Classify(file, problem) != PathKind::Missing) {
        Complain(Quoted(file) + ": exists: not replaced (--force replaces it)");
        return kExitInvalid;
    }

    // Spread the wanted size over the records, after the 32-byte header and 8 index bytes each.
    const std::uint64_t overhead = 32 + 8 * records;
    const std::uint64_t recordSize = bytes > overhead ? (bytes - overhead) / records : 0;
    const int status = WekWriteSample(file.c_str(), static_cast<int>(version), SampleRecords(records, recordSize), fault);
    if (status < 0) {
        Complain(Quoted(file) + ": not written: " + WekStatusText(status));
        return kExitInvalid;
    }
    WriteOut(Quoted(file) + ": wrote version " + std::to_string(version) + ", " + std::to_string(records) + " records" +
             (fault ? ", with the recoverable fault" : "") + "\n");
    return kExitOk;
}

bool Unreadable(int status) { return status == WEK_ERR_OPEN || status == WEK_ERR_READ; }

// The worse of two exit codes: unreadable (2) over invalid (1) over success.
int Worse(int a, int b) { return a > b ? a : b; }

int Info(const std::vector<std::string>& files) {
    int result = kExitOk;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        CWekFile probe;
        probe.m_nQuickFlag = 1;
        probe.LoadQuick(file.c_str(), nullptr, 0);
        WriteOut((i > 0 ? "\nfile: " : "file: ") + Quoted(file) + "\nprobe version: " +
                 std::to_string(probe.GetSimpleVersion()) + "\n");

        CWekFile full;
        const int status = full.Load(file.c_str(), nullptr, nullptr, 0, 0);
        if (status < 0) {
            Complain(Quoted(file) + ": load: failed: " + WekStatusText(status));
            result = Worse(result, Unreadable(status) ? kExitUsage : kExitInvalid);
            continue;
        }
        WriteOut("load: ok\nversion: " + std::to_string(full.GetSimpleVersion()) + "\nrecords: " +
                 std::to_string(full.RecordCount()) + "\nrecoverable fault: " +
                 (full.HadRecoverableFault() ? "tolerated" : "none") + "\n");
    }
    return result;
}

int Verify(const std::vector<std::string>& files) {
    int result = kExitOk;
    for (const std::string& file : files) {
        std::string detail;
        const int status = WekVerify(file.c_str(), &detail);
        if (status >= 0) {
            WriteOut(Quoted(file) + ": ok (" + detail + ")\n");
        } else if (Unreadable(status)) {
            Complain(Quoted(file) + ": unreadable: " + detail);
            result = Worse(result, kExitUsage);
        } else {
            Complain(Quoted(file) + ": invalid: " + detail);
            result = Worse(result, kExitInvalid);
        }
    }
    return result;
}

// The repair the program performs: load, still version 4, mark changed, save as version 4.
// A file that cannot be read counts as unreadable (2), any other that is not saved as 1.
int Resave(const std::vector<std::string>& files) {
    int result = kExitOk;
    for (const std::string& file : files) {
        CWekFile f;
        const int loaded = f.Load(file.c_str(), nullptr, nullptr, 0, 0);
        if (loaded >= 0 && f.GetSimpleVersion() != 4) {
            Complain(Quoted(file) + ": not saved: version " + std::to_string(f.GetSimpleVersion()) +
                     ", only version-4 files are resaved");
            result = Worse(result, kExitInvalid);
            continue;
        }
        int status = loaded;
        if (loaded >= 0) {
            f.SetModified(1, 1);
            status = f.Save(file.c_str(), nullptr, nullptr, nullptr, 4);
        }
        if (status < 0) {
            // Rewritten, but something of the save is left beside the file: said, and no success.
            const bool rewritten = status == WEK_ERR_COPY_LEFT || status == WEK_ERR_TEMP_LEFT;
            Complain(Quoted(file) + (rewritten ? ": " : ": not saved: ") + WekStatusText(status));
            result = Worse(result, loaded < 0 && Unreadable(loaded) ? kExitUsage : kExitInvalid);
            continue;
        }
        WriteOut(Quoted(file) + ": saved as version 4, " + std::to_string(f.RecordCount()) + " records" +
                 (f.HadRecoverableFault() ? ", recoverable fault repaired" : "") + "\n");
    }
    return result;
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

// A path from the program's own bytes, and back: on Windows they are UTF-8, which a path
// would otherwise read in the ANSI code page; elsewhere they are the path's bytes.
fs::path PathOf(const std::string& bytes) {
#ifdef _WIN32
    return fs::path(std::u8string(bytes.begin(), bytes.end()));
#else
    return fs::path(bytes);
#endif
}

std::string BytesOf(const fs::path& path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

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
    return WekWriteSample(BytesOf(path).c_str(), d.version, records, d.fault) == WEK_OK;
}

int Demo(const char* dir) {
    const fs::path root = PathOf(dir);
    std::error_code ec;
    // Never write into a folder that already holds something: it may be the user's data.
    if (fs::exists(root, ec) && (!fs::is_directory(root, ec) || !fs::is_empty(root, ec))) {
        Complain(Quoted(dir) + " exists and is not an empty folder; not touching it");
        return kExitUsage;
    }
    for (const DemoFile& d : kDemo) {
        const fs::path path = root / d.path;
        fs::create_directories(path.parent_path(), ec);
        if (ec || !MakeDemoFile(path, d)) {
            Complain("could not create " + Quoted(BytesOf(path)));
            return kExitInvalid;
        }
        WriteOut(std::string(d.path) + ": " + d.what + "\n");
    }
    WriteOut("demo tree in " + Quoted(dir) + ": " + std::to_string(std::size(kDemo)) + " files\n");
    return kExitOk;
}

}  // namespace

int quorvel::olvtool::OlvtoolMain(int argc, char** argv) {
#ifdef SIGXFSZ
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG, which the save reports
    // and cleans up after, instead of the signal killing the process halfway through a save.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    // The walk holds folders open as the limit allows: allow as many as the system lets us.
    quorvel::RaiseDescriptorLimit();
    Parsed parsed;
    switch (ParseCommandLine(argc, argv, parsed)) {
    case ParseResult::Exit0: return FlushOut() ? kExitOk : kExitInvalid;
    case ParseResult::Exit2: return kExitUsage;
    case ParseResult::Run: break;
    }
    const std::vector<std::string>& operands = parsed.operands;
    int code = kExitUsage;
    switch (parsed.command) {
    case Command::Scan: code = Scan(parsed); break;
    case Command::Fix: code = Fix(parsed); break;
    case Command::Make: code = Make(parsed); break;
    case Command::Info: code = Info(operands); break;
    case Command::Verify: code = Verify(operands); break;
    case Command::Resave: code = Resave(operands); break;
    case Command::Demo: code = Demo(operands[0].c_str()); break;
    }
    // Output that never arrived (a full disk) is a failure, not a success.
    if (!FlushOut() && code == kExitOk) {
        Complain("the output could not be written");
        code = kExitInvalid;
    }
    return code;
}

#ifndef _WIN32
int main(int argc, char** argv) { return quorvel::olvtool::OlvtoolMain(argc, argv); }
#endif
