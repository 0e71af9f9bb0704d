// rxp-host: a bench host for the power-system driver plug-in. It loads the plug-in and drives
// one device on a serial line as the controller's host does.
#include <signal.h>

#include <boost/program_options.hpp>
#include <cmath>
#include <iostream>
#include <string>

#include "tools/common/version.h"
#include "tools/rxp-host/bench_host.h"
#include "tools/rxp-host/plugin_path.h"
#include "tools/rxp-host/status.h"

namespace po = boost::program_options;

namespace {

using rxphost::kExitDone;
using rxphost::kExitFailed;
using rxphost::kExitUsage;

const char kAbout[] =
    "rxp-host: loads the rxp517_t36b2 plug-in and drives one power system on a serial line\n"
    "as the controller's host does: it polls, publishes every record, stores it as history\n"
    "and follows the alarms the plug-in evaluates.\n"
    "\n"
    "Usage: rxp-host --port DEVICE [options]\n"
    "\n"
    "Example, against the simulator:\n"
    "  rxp-sim --link /tmp/rxp-line &\n"
    "  rxp-host --port /tmp/rxp-line --cycles 5 --settings examples/settings.json \\\n"
    "           --events events.jsonl --history history.db\n"
    "\n"
    "Standard output: the plug-in's own lines and a short summary after every cycle.\n"
    "Standard error: diagnostics, and with --trace every frame sent (->) and received (<-),\n"
    "decoded, each reply with its verdict (accepted for step N, dropped: why, late).\n"
    "--events FILE: JSON Lines appended to FILE, one object per event (\"start\", \"publish\",\n"
    "\"alarm\", \"alarm_raised\", \"alarm_cleared\", \"comm_lost\", \"comm_restored\", \"cycle\",\n"
    "\"poll_failed\", \"cache_loaded\", \"error\", \"events_lost\", \"deadline\"), each with\n"
    "\"event\" and \"time\" (ISO 8601 with the UTC offset); --events-level changes leaves out\n"
    "\"alarm\" and \"cycle\".\n"
    "--capture FILE: every chunk sent and received, one a line (seconds poll step dir hex);\n"
    "rxp-sim --replay FILE answers with it, rxp-sim --show-capture FILE prints it.\n"
    "--state FILE (JSON) and --metrics FILE (Prometheus text): the last record by field name,\n"
    "comm state, failed polls and active alarms, replaced atomically after every poll.\n"
    "Settings: the JSON object handed to the device; its member \"deviceId\" (a whole number,\n"
    "default 1) is the device id stamped into every record.\n"
    "--history FILE: one row per stored record with its time, device id and bus address;\n"
    "checked at start (SQLite's quick check, a write taken back); while another program\n"
    "locks it, records wait in memory. --history-keep DAYS deletes older rows as it goes.\n"
    "\n"
    "Faults: after a failed poll nothing is sent until the line has been quiet for --timeout\n"
    "plus 10 character times; a port that hangs up or fails is closed and opened again every\n"
    "second; the port is locked (TIOCEXCL and flock) against a second program.\n"
    "\n"
    "Exit codes (when several apply, the smallest but 0):\n"
    "  0  done: --cycles reached, or SIGINT, SIGTERM or SIGHUP, everything stored and written\n"
    "  1  could not start: plug-in, port (or port in use), settings, events or history file\n"
    "  2  usage error\n"
    "  3  records that could not be stored in the --history database (each one an \"error\"\n"
    "     event and a line on standard error)\n"
    "  4  events that could not be written to the --events file\n"
    "  5  --deadline passed before the --cycles were completed\n"
    "\n"
    "rxp-host --status STATE_FILE: key: value lines of a running host's --state file (comm,\n"
    "age of the last record, failed polls, active alarms with their texts, per device), the\n"
    "verdict first, with the exit codes of monitoring checks:\n"
    "  0  OK: every device answers, records fresh, no alarm\n"
    "  1  WARNING: an alarm raised, or no cycle completed yet\n"
    "  2  CRITICAL: communication lost, or the state or a record older than --status-max-age\n"
    "  3  UNKNOWN: the state file is missing, unreadable or not a state file\n"
    "\n"
    "Options";

void UsageError(const std::string& what) {
    std::cerr << "rxp-host: " << what << "\nTry 'rxp-host --help'." << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of the output that goes away (rxp-host ... | head) must not end the run before
    // its records are stored; the write fails and the run goes on.
    ::signal(SIGPIPE, SIG_IGN);
    rxphost::HostOptions options;
    long long baud = 9600;
    long long address = -1;
    long long cycles = 0;
    long long history_keep = 0;
    std::string events_level = "all";
    std::string status_file;
    double status_max_age = rxphost::kDefaultStatusMaxAge;

    po::options_description described(kAbout);
    // clang-format off
    described.add_options()
        ("help,h", "show this help and exit")
        ("version", "show the version and exit")
        ("plugin", po::value<std::string>(&options.plugin)->value_name("PATH"),
         "the plug-in to load (default: rxp517_t36b2.so installed with rxp-host, in "
         "../lib/smd/plugins from its folder, else the one beside it in a build tree)")
        ("port", po::value<std::string>(&options.port)->value_name("DEVICE"),
         "the serial port or pseudo-terminal of the power system; required")
        ("baud", po::value<long long>(&baud)->value_name("N")->default_value(9600),
         "line speed in bit/s, 8N1; 0 leaves the port's speed as it is")
        ("address", po::value<long long>(&address)->value_name("N"),
         "the power system's bus address, 0..255 (default: the device's own, 1)")
        ("settings", po::value<std::string>(&options.settings)->value_name("FILE"),
         "JSON settings handed to the device")
        ("cache", po::value<std::string>(&options.cache)->value_name("FILE"),
         "a stored 289-byte record handed to the device before the first poll")
        ("cycles", po::value<long long>(&cycles)->value_name("N"),
         "exit after N completed cycles (default: run until SIGINT or SIGTERM)")
        ("interval",
         po::value<double>(&options.interval)->value_name("SECONDS")->default_value(1.0),
         "from the start of one poll to the start of the next")
        ("timeout",
         po::value<double>(&options.timeout)->value_name("SECONDS")->default_value(1.0),
         "time allowed for each reply before the poll is abandoned")
        ("deadline", po::value<double>(&options.deadline)->value_name("SECONDS"),
         "with --cycles: give up (exit 5) when they are not completed by then")
        ("events", po::value<std::string>(&options.events)->value_name("FILE"),
         "append events as JSON Lines to FILE")
        ("history", po::value<std::string>(&options.history)->value_name("FILE"),
         "store every record in this SQLite database (created if missing)")
        ("history-keep", po::value<long long>(&history_keep)->value_name("DAYS"),
         "with --history: delete rows older than DAYS days (a whole number, 1 or more), in "
         "small batches beside the polls")
        ("events-level", po::value<std::string>(&events_level)->value_name("all|changes")
             ->default_value("all"),
         "all events, or only changes: publications, alarms raised and cleared, comm, errors")
        ("trace", po::bool_switch(&options.trace),
         "print every frame sent and received, decoded, each reply with its verdict")
        ("capture", po::value<std::string>(&options.capture)->value_name("FILE"),
         "write every chunk sent and received to FILE, for rxp-sim --replay")
        ("state", po::value<std::string>(&options.state)->value_name("FILE"),
         "keep the live state in FILE (JSON), replaced after every poll")
        ("metrics", po::value<std::string>(&options.metrics)->value_name("FILE"),
         "keep the live state in FILE for node exporter's textfile collector (Prometheus text)")
        ("status", po::value<std::string>(&status_file)->value_name("STATE_FILE"),
         "show the status of the host that keeps STATE_FILE (--state) and exit; see above")
        ("status-max-age",
         po::value<double>(&status_max_age)->value_name("SECONDS")
             ->default_value(rxphost::kDefaultStatusMaxAge),
         "with --status: a state file or record older than this is CRITICAL");
    // clang-format on

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(described).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        UsageError(e.what());
        return kExitUsage;
    }
    if (vm.count("help")) {
        std::cout << described << std::endl;
        return kExitDone;
    }
    if (vm.count("version")) {
        std::cout << rxp::tools::VersionLine("rxp-host") << std::endl;
        return kExitDone;
    }
    if (vm.count("status")) {
        if (!std::isfinite(status_max_age) || status_max_age <= 0) {
            UsageError("--status-max-age must be more than 0 seconds");
            return rxphost::kStatusUnknown;
        }
        return rxphost::ShowStatus(status_file, status_max_age, std::cout);
    }
    if (vm.count("plugin") && options.plugin.empty()) {
        UsageError("--plugin needs a PATH");
        return kExitUsage;
    }
    for (const char* file_option : {"history", "events", "capture", "state", "metrics"}) {
        if (vm.count(file_option) && vm[file_option].as<std::string>().empty()) {
            UsageError(std::string("--") + file_option + " needs a file name");
            return kExitUsage;
        }
    }
    if (vm.count("deadline")) {
        if (!std::isfinite(options.deadline) || options.deadline <= 0 ||
            options.deadline > 31536000) {
            UsageError("--deadline must be more than 0 seconds, at most a year");
            return kExitUsage;
        }
        if (!vm.count("cycles")) {
            UsageError("--deadline is for --cycles N: the time they must be done in");
            return kExitUsage;
        }
    }
    if (options.plugin.empty()) options.plugin = rxphost::DefaultPluginPath();
    if (options.port.empty()) {
        UsageError("--port DEVICE is required");
        return kExitUsage;
    }
    if (baud < 0 || baud > 4000000 || !rxphost::IsSupportedBaud(static_cast<unsigned>(baud))) {
        UsageError("--baud " + std::to_string(baud) + " is not a serial line speed");
        return kExitUsage;
    }
    options.baud = static_cast<unsigned>(baud);
    if (vm.count("address")) {
        if (address < 0 || address > 255) {
            UsageError("--address must be 0..255, not " + std::to_string(address));
            return kExitUsage;
        }
        options.address = static_cast<int>(address);
    }
    if (vm.count("cycles")) {
        if (cycles < 1) {
            UsageError("--cycles must be 1 or more, not " + std::to_string(cycles));
            return kExitUsage;
        }
        options.cycles = static_cast<std::uint64_t>(cycles);
    }
    if (vm.count("history-keep")) {
        if (history_keep < 1 || history_keep > 36500) {
            UsageError("--history-keep must be 1 to 36500 days, not " +
                       std::to_string(history_keep));
            return kExitUsage;
        }
        if (!vm.count("history")) {
            UsageError("--history-keep goes with --history FILE");
            return kExitUsage;
        }
        options.history_keep_days = static_cast<unsigned>(history_keep);
    }
    if (events_level != "all" && events_level != "changes") {
        UsageError("--events-level must be all or changes, not " + events_level);
        return kExitUsage;
    }
    options.events_changes = events_level == "changes";
    if (!std::isfinite(options.interval) || options.interval < 0 || options.interval > 86400) {
        UsageError("--interval must be 0 to 86400 seconds");
        return kExitUsage;
    }
    if (!std::isfinite(options.timeout) || options.timeout <= 0 || options.timeout > 86400) {
        UsageError("--timeout must be more than 0 and at most 86400 seconds");
        return kExitUsage;
    }

    try {
        rxphost::BenchHost host(options);
        host.Start();
        return host.Run();
    } catch (const rxphost::StartupError& e) {
        std::cerr << "rxp-host: " << e.what() << std::endl;
        return kExitFailed;
    } catch (const std::exception& e) {
        std::cerr << "rxp-host: stopped: " << e.what() << std::endl;
        return kExitFailed;
    }
}
