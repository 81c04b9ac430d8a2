// Display form of byte strings: file names on Linux are raw bytes that need not be UTF-8.
#pragma once

#include <string_view>

#include <QString>

namespace quorvel::qt {

// Decodes `bytes` as UTF-8 for display; each byte that is not part of a valid UTF-8 sequence
// is shown as \xHH (e.g. \xE9), so no name is shown as another name's replacement characters.
QString DisplayText(std::string_view bytes);

}  // namespace quorvel::qt
