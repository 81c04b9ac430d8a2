#include "repair/Resave.h"

#include "filelib/WekFile.h"

namespace quorvel {

ResaveResult ResaveAsTargetVersion(const std::string& path) {
    CWekFile file;
    const int loaded = file.Load(path.c_str(), nullptr, nullptr, 0, 0);
    if (loaded < 0) return {false, WekStatusText(loaded)};
    // The file may have changed since the analysis; only version 4 is rewritten.
    if (file.GetSimpleVersion() != kTargetVersion) return {false, "no longer version 4"};
    file.SetModified(1, 1);
    const int saved = file.Save(path.c_str(), nullptr, nullptr, nullptr, kTargetVersion);
    if (saved < 0) return {false, WekStatusText(saved)};
    return {true, {}};
}

}  // namespace quorvel
