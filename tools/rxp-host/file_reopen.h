// Reopening files at their paths on SIGHUP, logrotate's convention: the rotation renames a
// file the host appends to, then sends SIGHUP; the host opens a new file at the old path and
// writes on there. The writers (events, capture) keep their descriptor; what it refers to is
// replaced underneath them, so no line is lost or written twice across the rotation.
#ifndef RXP_TOOLS_RXP_HOST_FILE_REOPEN_H
#define RXP_TOOLS_RXP_HOST_FILE_REOPEN_H

#include <string>

namespace rxphost {

// Notes the file now at `path`, which this process holds open for writing.
void RememberForReopen(const std::string& path);
// Every remembered file that no longer stands at its path (renamed or removed) is opened anew
// there (created, appended to) in place of every descriptor held on the old one. False, with
// the reason, for a file that could not be opened; its writer keeps the old file then.
bool ReopenRemembered(std::string* error);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_FILE_REOPEN_H
