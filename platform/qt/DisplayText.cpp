#include "platform/qt/DisplayText.h"

#include <string>

#include "base/Utf8.h"

namespace quorvel::qt {

QString DisplayText(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        if (const std::size_t n = Utf8SequenceAt(bytes, i)) {
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
