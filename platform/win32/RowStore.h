// The rows of the Windows file list, held by the backend itself for the list view's owner-data
// mode, compactly: a million rows of ordinary paths take about a hundred megabytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quorvel::win32 {

// Rows of two columns and an item data. The first column's texts (the paths) are copied into
// large blocks, each once; the second column's texts (versions, outcomes) repeat, so each
// distinct one is kept once and rows refer to it. Texts come back byte for byte.
class RowStore {
public:
    // Number of rows.
    int Count() const { return static_cast<int>(m_rows.size()); }
    // Removes every row and frees the texts.
    void Clear();
    // Inserts a row at `at` (clamped to 0..Count()) with `text` in column 0, column 1 empty and
    // item data 0; returns its index.
    int Insert(int at, std::string_view text);
    // Removes row `at`; false, changing nothing, when there is no such row.
    bool Erase(int at);
    // Sets a column's text; rows and columns other than 0 and 1 are ignored.
    void SetText(int row, int column, std::string_view text);
    // A column's text as it was set; empty for rows and columns that do not exist.
    std::string_view Text(int row, int column) const;
    // Sets and reads a row's item data; reading a row that does not exist gives 0.
    void SetData(int row, std::intptr_t data);
    std::intptr_t Data(int row) const;
    // Whether `row` exists.
    bool Valid(int row) const { return row >= 0 && row < Count(); }

private:
    struct Row {
        std::uint32_t block;   // m_blocks index of the first column's text
        std::uint32_t offset;  // its start in that block
        std::uint32_t length;  // its length in bytes
        std::uint32_t second;  // m_seconds index of the second column's text; 0 is ""
        std::intptr_t data;
    };
    // Copies `text` into the blocks; where it went.
    Row Place(std::string_view text);
    std::uint32_t Intern(std::string_view text);

    std::vector<Row> m_rows;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    std::size_t m_blockUsed = 0;  // bytes used in the last block
    std::size_t m_blockSize = 0;  // size of the last block
    std::vector<std::string> m_seconds{std::string()};
    // Looked up by the text as given, without making a string of it first.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    std::unordered_map<std::string, std::uint32_t, TextHash, std::equal_to<>> m_secondIndex{{std::string(), 0}};
};

}  // namespace quorvel::win32
