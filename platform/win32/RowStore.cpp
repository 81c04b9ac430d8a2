#include "platform/win32/RowStore.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quorvel::win32 {

namespace {
// Texts are copied into blocks of this size (a longer text gets a block of its own), so that
// growing never copies what is there and costs at most one block of slack.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
}  // namespace

void RowStore::Clear() {
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_blocks.clear();
    m_blockUsed = m_blockSize = 0;
    m_seconds.resize(1);
    m_secondIndex.clear();
    m_secondIndex.emplace(std::string(), 0);
}

RowStore::Row RowStore::Place(std::string_view text) {
    // Row fields are 32 bits wide: texts that large are no file names.
    if (text.size() > UINT32_MAX / 2) throw std::length_error("list text too long");
    if (m_blocks.empty() || m_blockSize - m_blockUsed < text.size()) {
        m_blockSize = std::max(kBlockSize, text.size());
        m_blocks.push_back(std::make_unique<char[]>(m_blockSize));
        m_blockUsed = 0;
    }
    if (!text.empty()) std::memcpy(m_blocks.back().get() + m_blockUsed, text.data(), text.size());
    const Row row{static_cast<std::uint32_t>(m_blocks.size() - 1), static_cast<std::uint32_t>(m_blockUsed),
                  static_cast<std::uint32_t>(text.size()), 0, 0};
    m_blockUsed += text.size();
    return row;
}

std::uint32_t RowStore::Intern(std::string_view text) {
    const auto found = m_secondIndex.find(text);
    if (found != m_secondIndex.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(m_seconds.size());
    m_seconds.emplace_back(text);
    m_secondIndex.emplace(m_seconds.back(), index);
    return index;
}

int RowStore::Insert(int at, std::string_view text) {
    at = std::clamp(at, 0, Count());
    m_rows.insert(m_rows.begin() + at, Place(text));
    return at;
}

bool RowStore::Erase(int at) {
    if (!Valid(at)) return false;
    m_rows.erase(m_rows.begin() + at);
    return true;
}

void RowStore::SetText(int row, int column, std::string_view text) {
    if (!Valid(row)) return;
    Row& r = m_rows[static_cast<std::size_t>(row)];
    if (column == 0) {
        const Row placed = Place(text);
        r.block = placed.block, r.offset = placed.offset, r.length = placed.length;
    } else if (column == 1) {
        r.second = Intern(text);
    }
}

std::string_view RowStore::Text(int row, int column) const {
    if (!Valid(row)) return {};
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    if (column == 0) return {m_blocks[r.block].get() + r.offset, r.length};
    if (column == 1) return m_seconds[r.second];
    return {};
}

void RowStore::SetData(int row, std::intptr_t data) {
    if (Valid(row)) m_rows[static_cast<std::size_t>(row)].data = data;
}

std::intptr_t RowStore::Data(int row) const { return Valid(row) ? m_rows[static_cast<std::size_t>(row)].data : 0; }

}  // namespace quorvel::win32
