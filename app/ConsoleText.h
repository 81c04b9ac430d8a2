// Windows only: olvtool's text to a console. Its output is UTF-8; a console shows UTF-16
// (WriteConsoleW), whatever its code page. Pipes and files get the bytes as they are.
#pragma once

#include <string_view>

namespace quorvel::olvtool {

// Which standard stream.
enum class StdStream { Out, Err };

// When the stream is a console, writes `utf8` to it as UTF-16 and returns true; a sequence cut
// at the end of `utf8` is kept for the next call. False, writing nothing, when the stream is
// not a console (a pipe, a file, none): the caller writes the bytes itself. Bytes that are not
// UTF-8 show as U+FFFD.
bool WriteToConsole(StdStream stream, std::string_view utf8);

}  // namespace quorvel::olvtool
