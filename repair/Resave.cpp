#include "repair/Resave.h"

#include <new>

#include "filelib/FileIO.h"
#include "filelib/WekFile.h"

namespace quorvel {

ResaveResult ResaveAsTargetVersion(const ResaveTarget& target) {
    try {
        CWekFile file;
#ifndef _WIN32
        const int loaded = target.folder >= 0
                               ? file.LoadAt(target.folder, target.name.c_str(), target.path.c_str(), nullptr, nullptr)
                               : file.Load(target.path.c_str(), nullptr, nullptr, 0, 0);
#else
        const int loaded = file.Load(target.path.c_str(), nullptr, nullptr, 0, 0);
#endif
        if (loaded < 0) return {false, WekStatusText(loaded)};
        // The file may have changed since the analysis; only version 4 is rewritten.
        if (file.GetSimpleVersion() != kTargetVersion) return {false, kNoLongerTarget};
        file.SetModified(1, 1);
        // The path the load was tied to: the save writes exactly the file that was loaded.
        const int saved = file.Save(target.path.c_str(), nullptr, nullptr, nullptr, kTargetVersion);
        if (saved < 0) return {false, WekStatusText(saved)};
        return {true, {}};
    } catch (const std::bad_alloc&) {
        return {false, kNotEnoughMemory};
    }
}

TargetFacts FactsOf(const ResaveTarget& target) {
    TargetFacts facts;
    wekio::FileFacts seen;
    if (!wekio::LookAtFile(target.folder, target.name, target.path, seen)) return facts;
    facts.size = seen.size;
    facts.identified = seen.identified;
    facts.id.volume = seen.volume;
    facts.id.index = seen.index;
    facts.id.indexHigh = seen.indexHigh;
    return facts;
}

}  // namespace quorvel
