// The files rxp-host is given: no two options may name one file. Two outputs on one file
// destroy each other (a capture truncating the history database, the state replacing it, events
// interleaved with metrics), and an output on an input overwrites it.
#ifndef RXP_TOOLS_RXP_HOST_OUTPUT_FILES_H
#define RXP_TOOLS_RXP_HOST_OUTPUT_FILES_H

#include <string>
#include <vector>

namespace rxphost {

struct NamedFile {
    std::string option;  // "--history"
    std::string path;    // as given; empty: the option is not used
};

// Empty when every file is another; else a sentence naming the first two options that name one
// file: the same file where it exists (device and inode, so links are seen through), the same
// path once normalized (".", "..", links in the folders, a link to a file yet to be made) where
// it does not exist yet.
std::string SameFileNamedTwice(const std::vector<NamedFile>& files);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_OUTPUT_FILES_H
