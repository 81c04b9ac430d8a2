// An enumeration over a folder's entries read in advance, so that the folder itself can be
// closed again before the walk descends: a deep walk then holds no handle per level.
#pragma once

#include <vector>

#include "scan/FileSystem.h"

namespace quorvel {

class FolderSnapshot : public IFolderEnum {
public:
    FolderSnapshot(FolderIdentity id, std::vector<FolderEntry> entries)
        : m_id(id), m_entries(std::move(entries)) {}
    FolderIdentity Identity() const override { return m_id; }
    bool Next(FolderEntry& entry) override {
        if (m_next >= m_entries.size()) return false;
        entry = std::move(m_entries[m_next++]);
        return true;
    }

private:
    FolderIdentity m_id;
    std::vector<FolderEntry> m_entries;
    std::size_t m_next = 0;
};

}  // namespace quorvel
