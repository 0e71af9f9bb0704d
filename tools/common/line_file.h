// A text file of lines that other programs read while it grows (the bench host's events and
// capture files): opened for appending, never truncated, and written one whole line at a time.
// A line that cannot be written whole is not written at all, so a reader never meets half a
// line; after a failure every later line is tried again, so writing resumes when space returns.
#ifndef RXP_TOOLS_COMMON_LINE_FILE_H
#define RXP_TOOLS_COMMON_LINE_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace rxp::tools {

class LineFile {
public:
    LineFile() = default;
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // Opens `path` for appending, creating it. Anything that is not a regular file (a FIFO, a
    // device, a directory) is refused without waiting on it. A last line left unended (a crash
    // while writing) is ended first, so that the next line starts on a line of its own. Throws
    // std::runtime_error "cannot open <what> '<path>': <reason>".
    void Open(const std::string& path, const std::string& what);
    bool is_open() const { return fd_ >= 0; }
    // True when the path no longer names the file open (renamed away, removed, replaced): log
    // rotation has happened and Open makes or opens the new one.
    bool Replaced() const;
    // True when Open found the last line unended.
    bool ended_torn_line() const { return ended_torn_line_; }
    const std::string& path() const { return path_; }

    // Appends `text`, one or more lines each ending in '\n', with one write, whole or not at
    // all. False, with the reason in `error`, when it was not written.
    bool Append(const std::string& text, std::string* error);

private:
    int fd_ = -1;
    std::string path_;
    bool ended_torn_line_ = false;
};

// After a write that put only `written` bytes of a line at offset `before`: cuts the file back
// to `before`, unless its size shows that another program changed it meanwhile (truncated or
// wrote to it), in which case it is left alone. True when the partial line is gone.
bool CutBackPartialLine(int fd, off_t before, std::size_t written);

// Takes zero bytes off the end of a text file: what truncating a file beyond its end leaves
// when another program cut it shorter just before. True when nothing is left to take off.
bool TrimZeroTail(int fd);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_LINE_FILE_H
