// The one conversion pair between the program's UTF-8 strings and the UTF-16 of the Win32
// API, and the long-path form of file names.
//
// The conversion is WTF-8: an unpaired surrogate, which Windows allows in file names, is kept
// as its three-byte form, so every name Windows returns survives Narrow then Widen unchanged.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::win32 {

// UTF-16 (possibly with unpaired surrogates) to WTF-8; never fails.
std::string Narrow(std::wstring_view text);

// WTF-8 to UTF-16, the inverse of Narrow. Bytes that are not WTF-8 become U+FFFD each.
std::wstring Widen(std::string_view text);

// `path` in the form the wide file API accepts at any length: paths shorter than the
// folder-creation limit (MAX_PATH - 12) are returned as they are, longer ones as an absolute
// \\?\ (or \\?\UNC\) path. A path that already has a \\?\ or \\.\ prefix is kept.
std::wstring ToWin32Path(std::string_view path);

// The inverse for paths the system hands back: drops a \\?\ (or \\?\UNC\) prefix when the
// rest is short enough to work without it.
std::string FromWin32Path(std::wstring_view path);

}  // namespace quorvel::win32
