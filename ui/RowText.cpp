#include "ui/RowText.h"

#include "ui/Port.h"

namespace quorvel {

namespace {

// Length of the printable UTF-8 character at text[i], or 0 when the byte there starts none:
// invalid sequences (overlong, surrogates, beyond U+10FFFF, cut short), C0 and C1 controls,
// DEL, and the line and paragraph separators, which end a line in some editors.
std::size_t PrintableLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        if (lead == 0xC2) low = 0xA0;   // U+0080..U+009F are controls
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    if (lead == 0xE2 && byte(i + 1) == 0x80 && (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9)) return 0;
    return length;
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
