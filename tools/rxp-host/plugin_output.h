// The plug-in's own console lines ("rvSize is 0", "here 1", ...). The plug-in writes them to
// file descriptor 1 with std::cout; the host moves descriptor 1 onto a pipe that a thread of its
// own always drains, keeps the real standard output for its own lines (host_output.h), and does
// with each plug-in line what --plugin-output says: tags it ("plug-in: rvSize is 0"), drops it,
// or turns it into a "plugin_output" event.
#ifndef RXP_TOOLS_RXP_HOST_PLUGIN_OUTPUT_H
#define RXP_TOOLS_RXP_HOST_PLUGIN_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/rxp-host/event_log.h"

namespace rxphost {

enum class PluginOutputMode { kTag, kDrop, kEvents };

// The prefix of a plug-in line on the host's standard output.
constexpr const char* kPluginTag = "plug-in: ";
// Plug-in lines held for the events file at most; more are counted and dropped.
constexpr std::size_t kPluginLinesHeld = 1000;

// Parses "tag", "drop" or "events"; false for anything else.
bool ParsePluginOutputMode(const std::string& text, PluginOutputMode* mode);

// Moves descriptor 1 onto the pipe and starts the host's output writer on the real standard
// output. Call once, before the plug-in is loaded and before anything is written to standard
// output. Throws std::runtime_error when the pipe cannot be made.
void CapturePluginOutput(PluginOutputMode mode);
// In events mode: writes the plug-in lines that arrived so far as "plugin_output" events.
// Call from the poll loop's thread only; does nothing in the other modes or before capture.
void PluginLinesToEvents(EventLog& events);
// Takes the last lines from the pipe and stops its reader. Returns the plug-in lines that were
// dropped (drop mode, or events that could not be held).
std::uint64_t EndPluginOutput();

// For the modes that run the plug-in once and print a result (--list-alarms,
// --check-settings): while the object lives, descriptor 1 is a file in memory that takes the
// plug-in's lines, so that standard output carries the result alone. Not with
// CapturePluginOutput; the host's own lines wait until it is gone.
class HeldPluginLines {
public:
    // Throws std::runtime_error when descriptor 1 cannot be moved.
    HeldPluginLines();
    ~HeldPluginLines();
    HeldPluginLines(const HeldPluginLines&) = delete;
    HeldPluginLines& operator=(const HeldPluginLines&) = delete;

    // The lines written since the last call, without their line ends.
    std::vector<std::string> Take();

private:
    int saved_ = -1;  // the real standard output
    int held_ = -1;   // the file in memory, also descriptor 1
    std::size_t taken_ = 0;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_PLUGIN_OUTPUT_H
