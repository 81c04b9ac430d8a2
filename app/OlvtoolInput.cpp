#include "app/OlvtoolInput.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/OlvtoolOutput.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "base/WinPath.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/LongPath.h"
#endif

namespace quorvel::olvtool {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// Longer than any path a walk gives (a hundred thousand folders deep): a longer record is no
// path, and is never held whole.
constexpr std::size_t kMaxRecordBytes = 16 * 1024 * 1024;

std::string Describe(const std::string& fromFile) { return fromFile == "-" ? "standard input" : Quoted(fromFile); }

}  // namespace

PathSource::PathSource(std::vector<std::string> operands, std::vector<std::string> fromFiles, char terminator,
                       int wakeDescriptor)
    : m_operands(std::move(operands)),
      m_fromFiles(std::move(fromFiles)),
      m_terminator(terminator),
      m_wakeDescriptor(wakeDescriptor) {}

PathSource::~PathSource() { CloseFile(); }

void PathSource::CloseFile() {
    if (m_file > 0) {
#ifdef _WIN32
        _close(m_file);
#else
        close(m_file);
#endif
    }
    m_file = -1;
}

bool PathSource::OpenNextFile(std::string& problem) {
    m_fileName = m_fromFiles[m_nextFile++];
    m_recordNumber = 0;
    m_begin = m_end = 0;
    m_eof = false;
    m_skipping = false;
    if (m_buffer.size() < kReadSize) m_buffer.resize(kReadSize);
    if (m_fileName == "-") {
#ifdef _WIN32
        _setmode(0, _O_BINARY);
#endif
        m_file = 0;
        return true;
    }
    errno = ENOENT;
#ifdef _WIN32
    if (!m_fileName.empty()) m_file = _wopen(win32::ToWin32Path(m_fileName).c_str(), _O_RDONLY | _O_BINARY);
#else
    if (!m_fileName.empty()) m_file = open(m_fileName.c_str(), O_RDONLY | O_CLOEXEC);
#endif
    if (m_file < 0) {
        problem = "cannot open --from " + Describe(m_fileName) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

long PathSource::ReadSome(bool mayWait) {
#ifdef _WIN32
    (void)mayWait;
    return _read(m_file, m_buffer.data() + m_end, static_cast<unsigned>(kReadSize));
#else
    // Wait for input or for the wake-up, whichever comes first.
    pollfd fds[2] = {{m_file, POLLIN, 0}, {m_wakeDescriptor, POLLIN, 0}};
    int ready;
    while ((ready = poll(fds, m_wakeDescriptor >= 0 ? 2 : 1, mayWait ? -1 : 0)) < 0)
        if (errno != EINTR) return -1;
    if (ready == 0) return -2;
    if (m_wakeDescriptor >= 0 && fds[1].revents) {
        m_woken = true;
        return 0;
    }
    while (true) {
        const ssize_t got = read(m_file, m_buffer.data() + m_end, kReadSize);
        if (got >= 0 || errno != EINTR) return got;
    }
#endif
}

PathSource::Read PathSource::ReadRecord(std::string& record, std::string& problem, bool mayWait) {
    while (true) {
        const char* start = m_buffer.data() + m_begin;
        if (const void* end = std::memchr(start, m_terminator, m_end - m_begin)) {
            const std::size_t length = static_cast<const char*>(end) - start;
            m_begin += length + 1;
            if (std::exchange(m_skipping, false)) continue;  // the end of a record too long
            if (length > kMaxRecordBytes) return Read::TooLong;
            record.assign(start, length);
            return Read::Record;
        }
        if (m_skipping) {
            m_begin = m_end = 0;  // what is read of a record too long is dropped
            if (m_eof) m_skipping = false;
        } else if (m_end - m_begin > kMaxRecordBytes) {
            m_skipping = !m_eof;
            m_begin = m_end = 0;
            return Read::TooLong;
        }
        if (m_eof) {
            if (m_begin == m_end) return Read::End;
            record.assign(start, m_end - m_begin);  // the last record needs no terminator
            m_begin = m_end;
            return Read::Record;
        }
        // Keep the partial record at the front and read more behind it.
        std::memmove(m_buffer.data(), start, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
        if (m_buffer.size() < m_end + kReadSize) m_buffer.resize(m_end + kReadSize);
        const long got = ReadSome(mayWait);
        if (m_woken) return Read::End;
        if (got == -2) return Read::Later;
        if (got < 0) {
            problem = "cannot read --from " + Describe(m_fileName) + ": " + std::strerror(errno);
            m_begin = m_end;
            return Read::End;
        }
        m_end += static_cast<std::size_t>(got);
        if (got == 0) m_eof = true;
    }
}

PathSource::Got PathSource::Next(std::string& text, bool mayWait) {
    if (m_nextOperand < m_operands.size()) {
        text = m_operands[m_nextOperand++];
        return Got::Path;
    }
    while (!m_woken) {
        if (m_file < 0) {
            if (m_nextFile == m_fromFiles.size()) return Got::End;
            if (!OpenNextFile(text)) return Got::Problem;
        }
        std::string problem;
        const Read read = ReadRecord(text, problem, mayWait);
        if (read == Read::Later) return Got::Later;
        if (read == Read::TooLong) {
            text = "--from " + Describe(m_fileName) + ": record " + std::to_string(++m_recordNumber) +
                   " is longer than 16 MiB: skipped, no path is that long";
            return Got::Problem;
        }
        if (read == Read::End) {
            CloseFile();
            if (problem.empty()) continue;
            text = problem;
            return Got::Problem;
        }
        ++m_recordNumber;
#ifdef _WIN32
        // Lists written on Windows end their lines with CR LF; no Windows name ends with CR.
        if (m_terminator == '\n' && !text.empty() && text.back() == '\r') text.pop_back();
#endif
        if (text.empty()) {
            text = "--from " + Describe(m_fileName) + ": record " + std::to_string(m_recordNumber) +
                   " is empty: skipped, an empty path is never walked";
            return Got::Problem;
        }
        return Got::Path;
    }
    return Got::End;
}

PathKind Classify(const std::string& path, std::string& problem) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(win32::ToWin32Path(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
    const DWORD error = GetLastError();
    problem = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "no such file or folder"
                                                                             : "cannot be reached";
    return PathKind::Missing;
#else
    struct stat st;
    int result = ::stat(path.c_str(), &st);
    if (result != 0 && errno == ENAMETOOLONG) {
        // Too long for one call: look the last name up inside its folder.
        std::string leaf;
        const int folder = posix::OpenParentDirectory(path, leaf);
        if (folder >= 0) {
            result = ::fstatat(folder, leaf.c_str(), &st, 0);
            const int error = errno;
            ::close(folder);
            errno = error;
        }
    }
    if (result == 0) return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
    problem = std::strerror(errno);
    return PathKind::Missing;
#endif
}

}  // namespace quorvel::olvtool
