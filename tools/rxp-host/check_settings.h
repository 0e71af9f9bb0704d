// rxp-host --check-settings FILE: a settings file tried on the plug-in before it goes to a
// controller. The plug-in is loaded and a device made, the file is read and handed over as the
// polling host does (settings_file.h), and what the plug-in took is printed: the device id it
// stamps into its records, the mode, each threshold entry read or not, the top-level members
// nobody reads, and the plug-in's own lines. No port is opened and nothing is polled.
#ifndef RXP_TOOLS_RXP_HOST_CHECK_SETTINGS_H
#define RXP_TOOLS_RXP_HOST_CHECK_SETTINGS_H

#include <string>

namespace rxphost {

// Returns the exit code: kExitDone when the plug-in takes the file, kExitUsage when the file
// cannot be used, kExitFailed when the plug-in does not load.
int CheckSettings(const std::string& plugin_path, const std::string& settings_path);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_CHECK_SETTINGS_H
