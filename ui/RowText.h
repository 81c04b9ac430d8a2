// The list's rows as lines of text: what Ctrl+C copies, "Copy path" copies and "Save list
// as..." writes, the same on every platform.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

class IListView;

// A file name or path as a line of text shows it: as it is when it is printable UTF-8 (any
// script, spaces included); otherwise (bytes that are not UTF-8, control characters such as
// a newline or a tab, line separators) in the quoted form shells read back as exactly these
// bytes: $'...' with \n, \t, \r, \\, \' and \xHH for each other such byte ($'caf\xe9.olv').
std::string QuotedName(std::string_view name);

// Row `row` as one line without its end: the quoted path, a tab, the version or outcome.
std::string RowLine(const IListView& list, int row);

// Every row as such a line, in the list's order, each ended by `lineEnd`.
std::string ListText(const IListView& list, std::string_view lineEnd);

}  // namespace quorvel
