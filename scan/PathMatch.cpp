#include "scan/PathMatch.h"

namespace quorvel {

bool IsOlvPath(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view ext = path.substr(dot);
    constexpr std::string_view kExt = ".olv";
    if (ext.size() != kExt.size()) return false;
    for (std::size_t i = 0; i < kExt.size(); ++i) {
        char c = ext[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kExt[i]) return false;
    }
    return true;
}

}  // namespace quorvel
