// rxp-host's command line: argv to what the host is asked to do, or a usage error. The modes
// are told apart here; main() only runs the one picked.
#ifndef RXP_TOOLS_RXP_HOST_HOST_OPTIONS_H
#define RXP_TOOLS_RXP_HOST_HOST_OPTIONS_H

#include <json/json.h>

#include <string>

#include "tools/rxp-host/alarm_list.h"
#include "tools/rxp-host/bench_host.h"
#include "tools/rxp-host/plugin_output.h"

namespace rxphost {

enum class HostMode {
    kPoll,           // drive the devices on --port
    kStatus,         // --status STATE_FILE
    kListAlarms,     // --list-alarms [--format F]
    kCheckSettings,  // --check-settings FILE
    kHelp,           // --help
    kVersion,        // --version
};

struct CommandLine {
    HostMode mode = HostMode::kPoll;
    HostOptions options;  // kPoll
    PluginOutputMode plugin_output = PluginOutputMode::kTag;
    std::string status_file;  // kStatus
    double status_max_age = 0;
    std::string help;                             // kHelp: the text to print
    ListFormat list_format = ListFormat::kTable;  // kListAlarms
    std::string check_settings;                   // kCheckSettings: the settings file
};

// Parses argv into `line`. Returns -1 when it can be run; otherwise the exit code to end with,
// the usage error already written to standard error (with "Try 'rxp-host --help'.").
int ParseCommandLine(int argc, char** argv, CommandLine* line);

// A usage error on standard error, followed by "Try 'rxp-host --help'.". Under the service it
// names the instance's conffile first.
void UsageError(const std::string& what);

// The conffile the options came from when the service unit runs the host (it sets
// RXP_HOST_CONF); empty otherwise.
std::string ServiceConffile();
// The options of a run as given, for its "start" event: the ones set, by their option names.
Json::Value GivenOptions(const HostOptions& options);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_HOST_OPTIONS_H
