// Reading UTF-8 one sequence at a time, for the places that show, quote or escape names whose
// bytes need not be UTF-8 (Linux file names are raw bytes).
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel {

// The length of the valid UTF-8 sequence that starts at text[i], with its code point in
// `codePoint` when given; 0 when none starts there: a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF or a sequence cut short. `i` < text.size().
inline std::size_t Utf8SequenceAt(std::string_view text, std::size_t i, char32_t* codePoint = nullptr) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead < 0x80) {
        length = 1, value = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    if (length > 1 && (byte(i + 1) < low || byte(i + 1) > high)) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(i + k) & 0x3Fu);
    }
    if (codePoint) *codePoint = value;
    return length;
}

}  // namespace quorvel
