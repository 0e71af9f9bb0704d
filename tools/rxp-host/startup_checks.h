// Checks made before the host polls, each with a message of one line that names the thing, the
// reason and what to do about it.
#ifndef RXP_TOOLS_RXP_HOST_STARTUP_CHECKS_H
#define RXP_TOOLS_RXP_HOST_STARTUP_CHECKS_H

#include <json/json.h>

#include <string>
#include <vector>

namespace rxphost {

// The folder of a file the host replaces while it runs (--state, --metrics): it must exist and
// take new files. Empty when it does; else the message, naming the option, the folder and why.
std::string CheckOutputFolder(const std::string& option, const std::string& path);

// The top-level members of a settings object that neither the host ("deviceId") nor the
// plug-in ("appSetting", "thresholdSetting") reads, each with its warning.
std::vector<std::string> UnknownSettingsWarnings(const std::string& path,
                                                 const Json::Value& settings);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_STARTUP_CHECKS_H
