// What olvtool writes: records on standard output (text, NUL-terminated or JSON lines) and
// messages on standard error. Every byte olvtool prints leaves through WriteOut or WriteErr.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::olvtool {

// Writes `bytes` to standard output as they are (a Windows console gets the UTF-8 as its
// characters). False when the output failed (a closed pipe, a full disk); the failure stays
// reported by later calls too.
bool WriteOut(std::string_view bytes);
// Writes `bytes` to standard error as they are (a Windows console likewise).
void WriteErr(std::string_view bytes);
// Pushes buffered standard output out; false when that failed.
bool FlushOut();

// "olvtool: " + `message` + a line end, on standard error.
void Complain(std::string_view message);

// `path` as text output shows it: as it is, unless it holds a control character (C0, DEL or
// C1) or begins with a single quote. Such a path is quoted as the shell reads it back:
// 'two'$'\n''lines.olv', control characters and bytes that are not UTF-8 as $'...' escapes.
std::string Quoted(std::string_view path);

// Whether `text` is valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsUtf8(std::string_view text);

// `text` as a JSON string literal, quotes included; a byte that is not UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view text);

// Standard base64 (RFC 4648, with padding).
std::string Base64(std::string_view bytes);

// One line of scan's or fix's output.
struct Record {
    std::string_view path;
    int version = 0;
    std::string_view text;     // the first column of the text form: the version or the outcome
    std::string_view outcome;  // the JSON form's outcome word; none when empty
    std::string_view reason;   // why it failed; none when empty
};

// Writes scan's and fix's records in the form the options chose, each record whole in one
// write to standard output.
class RecordWriter {
public:
    enum class Form { Text, Json };
    // `nul` ends each record with a NUL byte (paths then unquoted), otherwise with a newline.
    RecordWriter(Form form, bool nul, bool flushEach) : m_form(form), m_nul(nul), m_flushEach(flushEach) {}

    // Text: "<text>\t<path>". JSON: {"path":...,"version":N,"outcome":...,"reason":...}, with
    // "path_base64" holding the exact bytes of a path that is not UTF-8. False when the
    // output failed.
    bool Write(const Record& record);

    // The bytes Write would write for `record`.
    std::string Format(const Record& record) const;

private:
    const Form m_form;
    const bool m_nul;
    const bool m_flushEach;
};

}  // namespace quorvel::olvtool
