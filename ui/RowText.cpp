#include "ui/RowText.h"

#include "base/Utf8.h"
#include "ui/Port.h"

namespace quorvel {

namespace {

// Length of the printable UTF-8 character at text[i], or 0 when the byte there starts none:
// invalid sequences, C0 and C1 controls, DEL, and the line and paragraph separators, which end
// a line in some editors.
std::size_t PrintableLength(std::string_view text, std::size_t i) {
    char32_t c = 0;
    const std::size_t length = Utf8SequenceAt(text, i, &c);
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
    return control ? 0 : length;
}

}  // namespace

std::string QuotedName(std::string_view name) {
    bool plain = true;
    for (std::size_t i = 0; plain && i < name.size();) {
        const std::size_t n = PrintableLength(name, i);
        plain = n != 0;
        i += n;
    }
    if (plain) return std::string(name);

    static const char kHex[] = "0123456789abcdef";
    std::string quoted = "$'";
    for (std::size_t i = 0; i < name.size();) {
        if (const std::size_t n = PrintableLength(name, i)) {
            if (name[i] == '\\' || name[i] == '\'') quoted += '\\';
            quoted.append(name.substr(i, n));
            i += n;
            continue;
        }
        const auto b = static_cast<unsigned char>(name[i++]);
        switch (b) {
        case '\n': quoted += "\\n"; break;
        case '\t': quoted += "\\t"; break;
        case '\r': quoted += "\\r"; break;
        default:
            quoted += "\\x";
            quoted += kHex[b >> 4];
            quoted += kHex[b & 0xF];
        }
    }
    quoted += '\'';
    return quoted;
}

std::string RowLine(const IListView& list, int row) {
    return QuotedName(list.GetItemText(row, 0)) + '\t' + list.GetItemText(row, 1);
}

std::string ListText(const IListView& list, std::string_view lineEnd) {
    std::string text;
    for (int row = list.GetNextItem(-1); row != -1; row = list.GetNextItem(row)) {
        text += RowLine(list, row);
        text += lineEnd;
    }
    return text;
}

}  // namespace quorvel
