// rxp-host: a bench host for the power-system driver plug-in. It loads the plug-in and drives
// one device, or several on one RS-485 bus, on a serial line as the controller's host does.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <utility>

#include "tools/common/version.h"
#include "tools/rxp-host/alarm_list.h"
#include "tools/rxp-host/bench_host.h"
#include "tools/rxp-host/check_settings.h"
#include "tools/rxp-host/host_options.h"
#include "tools/rxp-host/host_output.h"
#include "tools/rxp-host/plugin_output.h"
#include "tools/rxp-host/startup_checks.h"
#include "tools/rxp-host/status.h"

namespace {

using rxphost::kExitDone;
using rxphost::kExitFailed;
using rxphost::kExitUsage;

// Polls until the cycles are done or a signal ends the run; returns the exit code.
int Poll(const rxphost::CommandLine& line) {
    const rxphost::HostOptions& options = line.options;
    // The live files are replaced after every poll: a folder that cannot take them is found
    // now, not after the first cycle.
    for (const auto& live :
         {std::make_pair("state", &options.state), std::make_pair("metrics", &options.metrics)}) {
        if (live.second->empty()) continue;
        const std::string problem = rxphost::CheckOutputFolder(live.first, *live.second);
        if (!problem.empty()) {
            rxphost::Err(rxphost::Priority::kError) << "rxp-host: " << problem << std::endl;
            return kExitFailed;
        }
    }

    try {
        rxphost::CapturePluginOutput(line.plugin_output);
    } catch (const std::exception& e) {
        rxphost::Err(rxphost::Priority::kError) << "rxp-host: " << e.what() << std::endl;
        return kExitFailed;
    }
    int code = kExitFailed;
    try {
        rxphost::BenchHost host(options);
        host.Start();
        code = host.Run();
    } catch (const rxphost::ConfigError& e) {
        const std::string conffile = rxphost::ServiceConffile();
        rxphost::Err(rxphost::Priority::kError)
            << "rxp-host: " << (conffile.empty() ? "" : conffile + ": ") << e.what() << std::endl;
        code = kExitUsage;
    } catch (const rxphost::StartupError& e) {
        rxphost::Err(rxphost::Priority::kError) << "rxp-host: " << e.what() << std::endl;
    } catch (const std::exception& e) {
        rxphost::Err(rxphost::Priority::kError) << "rxp-host: stopped: " << e.what() << std::endl;
    }
    const std::uint64_t plugin_lines_lost = rxphost::EndPluginOutput();
    if (line.plugin_output == rxphost::PluginOutputMode::kEvents && plugin_lines_lost > 0) {
        rxphost::Err(rxphost::Priority::kError)
            << "rxp-host: " << plugin_lines_lost
            << " lines of the plug-in could not be written as events" << std::endl;
    }
    // A standard output that takes nothing more does not keep the host from ending.
    rxphost::FinishOutput(std::chrono::milliseconds(2000));
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of the output that goes away (rxp-host ... | head) must not end the run before
    // its records are stored; the write fails and the run goes on.
    ::signal(SIGPIPE, SIG_IGN);
    rxphost::CommandLine line;
    const int usage = rxphost::ParseCommandLine(argc, argv, &line);
    if (usage >= 0) return usage;
    switch (line.mode) {
        case rxphost::HostMode::kHelp:
            std::cout << line.help << std::endl;
            return kExitDone;
        case rxphost::HostMode::kVersion:
            std::cout << rxp::tools::VersionLine("rxp-host") << std::endl;
            return kExitDone;
        case rxphost::HostMode::kStatus:
            return rxphost::ShowStatus(line.status_file, line.status_max_age, std::cout);
        case rxphost::HostMode::kListAlarms:
            return rxphost::ListAlarms(line.options.plugin, line.list_format);
        case rxphost::HostMode::kCheckSettings:
            return rxphost::CheckSettings(line.options.plugin, line.check_settings);
        case rxphost::HostMode::kPoll:
            break;
    }
    return Poll(line);
}
