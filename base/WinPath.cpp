#include "base/WinPath.h"

#include <windows.h>

namespace quorvel::win32 {

namespace {

// Paths at least this long take the \\?\ form; CreateDirectoryW's limit is the lowest.
constexpr std::size_t kShortPathLimit = MAX_PATH - 12;

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

bool IsHighSurrogate(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one WTF-8 sequence at text[i]; returns its length, or 0 when it is not WTF-8.
std::size_t DecodeOne(std::string_view text, std::size_t i, char32_t& cp) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t smallest;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1Fu, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0Fu, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07u, smallest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (next & 0x3Fu);
    }
    // Overlong forms would give one string two spellings; surrogates stay allowed (WTF-8).
    if (cp < smallest || cp > 0x10FFFF) return 0;
    return length;
}

}  // namespace

std::string Narrow(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned unit = static_cast<unsigned>(text[i]) & 0xFFFFu;
        if (IsHighSurrogate(unit) && i + 1 < text.size() &&
            IsLowSurrogate(static_cast<unsigned>(text[i + 1]) & 0xFFFFu)) {
            const unsigned low = static_cast<unsigned>(text[++i]) & 0xFFFFu;
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

std::wstring Widen(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t length = DecodeOne(text, i, cp);
        if (length == 0) {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i += length;
    }
    return out;
}

std::wstring ToWin32Path(std::string_view path) {
    std::wstring wide = Widen(path);
    if (wide.size() < kShortPathLimit || wide.starts_with(kLongPrefix) ||
        wide.starts_with(kDevicePrefix))
        return wide;
    // The \\?\ form is taken literally by the system: it must be absolute, with backslashes
    // and without "." or ".." components, which GetFullPathNameW sees to.
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
        full.resize(n);
        n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    // Without a full path the call that uses it fails with the system's own error.
    if (n == 0 || n >= full.size()) return wide;
    full.resize(n);
    if (full.starts_with(L"\\\\")) return std::wstring(kLongUncPrefix) + full.substr(2);
    return std::wstring(kLongPrefix) + full;
}

std::string FromWin32Path(std::wstring_view path) {
    std::wstring plain;
    if (path.starts_with(kLongUncPrefix))
        plain = L"\\\\" + std::wstring(path.substr(kLongUncPrefix.size()));
    else if (path.size() > kLongPrefix.size() + 2 && path.starts_with(kLongPrefix) &&
             path[kLongPrefix.size() + 1] == L':')  // a drive letter, not a volume GUID
        plain = std::wstring(path.substr(kLongPrefix.size()));
    if (plain.empty() || plain.size() >= kShortPathLimit) return Narrow(path);
    return Narrow(plain);
}

}  // namespace quorvel::win32
