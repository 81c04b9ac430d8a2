#include "platform/qt/DisplayText.h"

#include <string>

namespace quorvel::qt {

namespace {

// Length of the valid UTF-8 sequence starting at bytes[i], or 0 when none starts there.
// Overlong forms, surrogates and code points above U+10FFFF are not valid.
std::size_t ValidSequenceLength(std::string_view bytes, std::size_t i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() - i < length) return 0;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < low || second > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return 0;
    return length;
}

}  // namespace

QString DisplayText(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        if (const std::size_t n = ValidSequenceLength(bytes, i)) {
            text.append(bytes.substr(i, n));
            i += n;
        } else {
            const auto b = static_cast<unsigned char>(bytes[i++]);
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 0xF];
        }
    }
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace quorvel::qt
