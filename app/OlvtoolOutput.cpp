#include "app/OlvtoolOutput.h"

#include <cstdint>
#include <cstdio>

#include "base/Utf8.h"
#ifdef _WIN32
#include "app/ConsoleText.h"
#endif

namespace quorvel::olvtool {

namespace {

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The $'...' escape of one byte: the usual letters for tab, newline and carriage return,
// three octal digits for every other.
void AppendEscape(std::string& out, unsigned char b) {
    switch (b) {
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    default: break;
    }
    out += '\\';
    out += static_cast<char>('0' + (b >> 6));
    out += static_cast<char>('0' + ((b >> 3) & 7));
    out += static_cast<char>('0' + (b & 7));
}

bool NeedsQuotes(std::string_view path) {
    if (!path.empty() && path.front() == '\'') return true;
    for (std::size_t i = 0; i < path.size();) {
        char32_t c = 0;
        const std::size_t n = Utf8SequenceAt(path, i, &c);
        if (n > 0 && IsControl(c)) return true;
        i += n > 0 ? n : 1;
    }
    return false;
}

}  // namespace

bool WriteOut(std::string_view bytes) {
#ifdef _WIN32
    if (WriteToConsole(StdStream::Out, bytes)) return !std::ferror(stdout);
#endif
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return !std::ferror(stdout);
}

void WriteErr(std::string_view bytes) {
#ifdef _WIN32
    if (WriteToConsole(StdStream::Err, bytes)) return;
#endif
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

bool FlushOut() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

void Complain(std::string_view message) {
    std::string line = "olvtool: ";
    line += message;
    line += '\n';
    WriteErr(line);
}

std::string Quoted(std::string_view path) {
    if (!NeedsQuotes(path)) return std::string(path);
    // Plain runs go inside '...', a quote as \', everything else as $'...' escapes.
    enum class In { Plain, Escapes, Nothing } in = In::Plain;
    std::string out = "'";
    const auto enter = [&](In wanted) {
        if (in == wanted) return;
        if (in != In::Nothing) out += '\'';
        if (wanted == In::Plain) out += '\'';
        if (wanted == In::Escapes) out += "$'";
        in = wanted;
    };
    for (std::size_t i = 0; i < path.size();) {
        char32_t c = 0;
        const std::size_t n = Utf8SequenceAt(path, i, &c);
        if (n == 0 || IsControl(c)) {
            enter(In::Escapes);
            for (std::size_t k = 0; k < (n ? n : 1); ++k) AppendEscape(out, static_cast<unsigned char>(path[i + k]));
        } else if (c == '\'') {
            enter(In::Nothing);
            out += "\\'";
        } else {
            enter(In::Plain);
            out.append(path.substr(i, n));
        }
        i += n ? n : 1;
    }
    if (in != In::Nothing) out += '\'';
    return out;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t n = Utf8SequenceAt(text, i, &c);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string JsonString(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t n = Utf8SequenceAt(text, i, &c);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out.append(text.substr(i, n));
            }
        }
        i += n;
    }
    out += '"';
    return out;
}

std::string Base64(std::string_view bytes) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::string RecordWriter::Format(const Record& record) const {
    std::string out;
    if (m_form == Form::Text) {
        out.append(record.text);
        out += '\t';
        if (m_nul)
            out.append(record.path);
        else
            out += Quoted(record.path);
    } else {
        out = "{\"path\":" + JsonString(record.path);
        if (!IsUtf8(record.path)) out += ",\"path_base64\":\"" + Base64(record.path) + '"';
        out += ",\"version\":" + std::to_string(record.version);
        if (!record.outcome.empty()) out += ",\"outcome\":" + JsonString(record.outcome);
        if (!record.reason.empty()) out += ",\"reason\":" + JsonString(record.reason);
        out += '}';
    }
    out += m_nul ? '\0' : '\n';
    return out;
}

bool RecordWriter::Write(const Record& record) {
    const bool written = WriteOut(Format(record));
    return m_flushEach ? FlushOut() && written : written;
}

}  // namespace quorvel::olvtool
