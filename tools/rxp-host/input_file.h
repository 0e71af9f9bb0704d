// Files rxp-host reads at start (--settings, --cache): regular files only, read to a bound. A
// FIFO would hold up the start until something writes to it, and a device such as /dev/zero
// never ends. And their text in messages, made harmless.
#ifndef RXP_TOOLS_RXP_HOST_INPUT_FILE_H
#define RXP_TOOLS_RXP_HOST_INPUT_FILE_H

#include <cstddef>
#include <string>

namespace rxphost {

// At most `limit` bytes of the regular file `path` into `content`: a longer file yields its
// first `limit` bytes, so a caller that wants to know asks for one byte more than it takes.
// False, with the reason in `why`, when it is not a regular file or cannot be read; never
// waits on a FIFO.
bool ReadRegularFile(const std::string& path, std::size_t limit, std::string* content,
                     std::string* why);

// Text from a file, for a message on a terminal: control characters (a newline, an escape
// sequence) shown as \xNN, so that a file cannot rewrite the screen or forge lines of output.
// Other bytes, UTF-8 included, are kept.
std::string PrintableText(const std::string& text);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_INPUT_FILE_H
