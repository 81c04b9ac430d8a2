#include "app/ConsoleText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/WinPath.h"

namespace quorvel::olvtool {

namespace {

struct ConsoleStream {
    HANDLE handle = nullptr;
    bool console = false;
    std::string carry;  // the start of a UTF-8 sequence that the last write cut off
};

ConsoleStream& Stream(StdStream which) {
    static ConsoleStream streams[2];
    static const bool probed = [] {
        const DWORD ids[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (int i = 0; i < 2; ++i) {
            DWORD mode = 0;
            streams[i].handle = ::GetStdHandle(ids[i]);
            streams[i].console = streams[i].handle && streams[i].handle != INVALID_HANDLE_VALUE &&
                                 ::GetConsoleMode(streams[i].handle, &mode);
        }
        return true;
    }();
    (void)probed;
    return streams[which == StdStream::Out ? 0 : 1];
}

// How many bytes at the end of `text` begin a UTF-8 sequence that is not complete yet.
std::size_t CutSequence(std::string_view text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

}  // namespace

bool WriteToConsole(StdStream which, std::string_view utf8) {
    ConsoleStream& stream = Stream(which);
    if (!stream.console) return false;
    std::string text = std::move(stream.carry);
    text.append(utf8);
    const std::size_t cut = CutSequence(text);
    stream.carry = text.substr(text.size() - cut);
    text.resize(text.size() - cut);
    const std::wstring wide = win32::Widen(text);
    for (std::size_t done = 0; done < wide.size();) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
        if (!::WriteConsoleW(stream.handle, wide.data() + done, chunk, &written, nullptr) || written == 0) break;
        done += written;
    }
    return true;
}

}  // namespace quorvel::olvtool
