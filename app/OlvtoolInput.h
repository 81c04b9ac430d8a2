// Where scan's and fix's paths come from: the command line's operands, then the records of
// each --from file (one path per line, or per NUL with -0; "-" is standard input), read as
// they are needed so that a list of any length is never held whole.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel::olvtool {

class PathSource {
public:
    // `terminator` ends each record of the --from files: '\n' or '\0'. Once `wakeDescriptor`
    // (-1: none) turns readable, a wait for input ends and no further path comes.
    PathSource(std::vector<std::string> operands, std::vector<std::string> fromFiles, char terminator,
               int wakeDescriptor);
    ~PathSource();

    PathSource(const PathSource&) = delete;
    PathSource& operator=(const PathSource&) = delete;

    enum class Got { Path, Problem, Later, End };
    // The next path (Path), or what went wrong on the way to it (Problem: a --from file that
    // cannot be opened or read, an empty record or one longer than 16 MiB, which is skipped),
    // or End. `text` holds the
    // path or the problem. With `mayWait` it waits for input on a pipe, until the wake
    // descriptor ends the wait; without, it says Later when no whole record is there yet.
    Got Next(std::string& text, bool mayWait);

private:
    bool OpenNextFile(std::string& problem);
    enum class Read { Record, TooLong, Later, End };
    // The next record of the open file; TooLong for one longer than any path (the rest of it
    // is skipped by the calls that follow); End at its end or on a read error (`problem` set).
    Read ReadRecord(std::string& record, std::string& problem, bool mayWait);
    void CloseFile();

    const std::vector<std::string> m_operands;
    const std::vector<std::string> m_fromFiles;
    // Reads into the buffer's free end: the bytes read, 0 at the end, -1 on an error (errno),
    // -2 when nothing can be read without waiting and `mayWait` is false.
    long ReadSome(bool mayWait);

    const char m_terminator;
    const int m_wakeDescriptor;
    std::size_t m_nextOperand = 0;
    std::size_t m_nextFile = 0;
    int m_file = -1;
    std::string m_fileName;
    std::size_t m_recordNumber = 0;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0, m_end = 0;
    bool m_eof = false;
    bool m_skipping = false;  // within a record too long, until its terminator
    bool m_woken = false;
};

// What a path names, following links.
enum class PathKind { Folder, File, Missing };

// The kind of `path` (of any length); for Missing, `problem` says why it cannot be reached.
PathKind Classify(const std::string& path, std::string& problem);

}  // namespace quorvel::olvtool
