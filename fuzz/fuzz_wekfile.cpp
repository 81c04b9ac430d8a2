// libFuzzer target of the .olv library. Each input is written to a file, which then goes
// through the quick probe, the load, the strict check, and, when it loads, a save of the same
// path and a save to another path, each reloaded. Any broken rule aborts, which libFuzzer
// reports as a finding; the sanitizers report the rest.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"

namespace {

#define REQUIRE(condition)                                                                        \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "fuzz_wekfile: rule broken at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

// A private folder for the files, on a memory file system where there is one (a save flushes
// to disk, which would slow every run down); removed at exit.
const std::string& Folder() {
    // Never destroyed, so that the removal at exit still has it.
    static const std::string* const folder = [] {
        const char* base = std::getenv("QUORVEL_FUZZ_DIR");
        if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/quorvel-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        std::atexit([] { std::filesystem::remove_all(Folder()); });
        return new std::string(pattern);
    }();
    return *folder;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE(fd >= 0);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        REQUIRE(n > 0);
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string ReadFile(const std::string& path) {
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

std::uint32_t HeaderVersion(const std::uint8_t* data) {
    return data[4] | (data[5] << 8) | (data[6] << 16) | (std::uint32_t{data[7]} << 24);
}

// Saves what `f` loaded as `version` to `path` and checks that a load gives the same records.
void SaveAndReload(CWekFile& f, const std::string& path, int version) {
    REQUIRE(f.Save(path.c_str(), nullptr, nullptr, nullptr, version) == WEK_OK);
    CWekFile again;
    REQUIRE(again.Load(path.c_str(), nullptr, nullptr, 0, 0) == WEK_OK);
    REQUIRE(again.GetSimpleVersion() == version);
    REQUIRE(!again.HadRecoverableFault());
    REQUIRE(again.Records() == f.Records());
    REQUIRE(WekVerify(path.c_str()) == WEK_OK);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = Folder() + "/input.olv", other = Folder() + "/other.olv";
    WriteFile(input, data, size);
    const bool magic = size >= 32 && std::memcmp(data, "OLV\x1A", 4) == 0;

    // The probe: the header's version as it stands, 0 for anything else, never -1 for a file.
    CWekFile probe;
    probe.m_nQuickFlag = 1;
    const int probed = probe.LoadQuick(input.c_str(), nullptr, 0);
    REQUIRE(probed == (magic ? WEK_OK : WEK_ERR_NOT_OLV));
    REQUIRE(probe.GetSimpleVersion() ==
            (magic ? static_cast<int>(std::min<std::uint32_t>(HeaderVersion(data), INT_MAX)) : 0));
    REQUIRE(probe.BytesReadByLastCall() == std::min<std::size_t>(size, 32));

    CWekFile f;
    const int loaded = f.Load(input.c_str(), nullptr, nullptr, 0, 0);
    std::string detail;
    const int strict = WekVerify(input.c_str(), &detail);
    REQUIRE(!detail.empty());
    // The strict check accepts a subset of what loads: the difference is the tolerated fault.
    if (strict == WEK_OK) REQUIRE(loaded == WEK_OK && !f.HadRecoverableFault());
    if (loaded != WEK_OK) {
        REQUIRE(loaded < 0 && strict < 0 && f.Records().empty());
        REQUIRE(f.Save(input.c_str(), nullptr, nullptr, nullptr, 4) == WEK_ERR_NOTHING_LOADED);
        return 0;
    }
    REQUIRE(f.GetSimpleVersion() >= 1 && f.GetSimpleVersion() <= 5);
    REQUIRE(strict == WEK_OK || (f.HadRecoverableFault() && f.GetSimpleVersion() == 4));

    // A valid file saved in its own version gives back the same bytes.
    const int version = f.GetSimpleVersion();
    SaveAndReload(f, input, version);
    if (strict == WEK_OK) REQUIRE(ReadFile(input) == std::string(reinterpret_cast<const char*>(data), size));
    // Another path, another version: the same records.
    SaveAndReload(f, other, version == 4 ? 5 : 4);
    return 0;
}
