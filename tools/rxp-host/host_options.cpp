// rxp-host's command line: the options, their help text, and every check that needs no file or
// port opened (usage errors, exit 2).
#include "tools/rxp-host/host_options.h"

#include <boost/program_options.hpp>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/rxp-host/host_output.h"
#include "tools/rxp-host/output_files.h"
#include "tools/rxp-host/plugin_path.h"
#include "tools/rxp-host/status.h"
#include "tools/rxp-host/summary.h"

namespace po = boost::program_options;

namespace rxphost {

namespace {

const char kAbout[] =
    "rxp-host: loads the rxp517_t36b2 plug-in and drives one power system on a serial line,\n"
    "or several on one RS-485 bus, as the controller's host does: it polls, publishes every\n"
    "record, stores it as history and follows the alarms the plug-in evaluates.\n"
    "\n"
    "Usage: rxp-host --port DEVICE [options]\n"
    "\n"
    "Example, against the simulator:\n"
    "  rxp-sim --link /tmp/rxp-line &\n"
    "  while [ ! -e /tmp/rxp-line ]; do sleep 0.1; done\n"
    "  rxp-host --port /tmp/rxp-line --cycles 5 --settings examples/settings.json \\\n"
    "           --events events.jsonl --history history.db\n"
    "Two power systems on one bus:\n"
    "  rxp-host --port /dev/ttyS1 --device 1=site-a.json --device 2=site-b.json\n"
    "\n"
    "A bus: one request outstanding at a time; every round polls each device once, a whole\n"
    "cycle each, in address order, and starts every --interval (at once when it took longer).\n"
    "A lost device (3 failed polls in a row) is polled once every 6 rounds while others on the\n"
    "bus answer. Every reply frame's address is read before its bytes reach a device: a frame\n"
    "from another address than the polled device's, or a second reply to one command, is not\n"
    "taken; it is counted, shown by --trace and reported once per device as a \"warning\"\n"
    "(a late reply of another device on the bus as that device's: \"late_replies\").\n"
    "\n"
    "Standard output: a short summary after every cycle (--summary), communication lost and\n"
    "restored, and the plug-in's own lines tagged \"plug-in: \" (--plugin-output).\n"
    "Standard error: diagnostics, and with --trace every frame sent (->) and received (<-),\n"
    "decoded, each reply with its verdict (accepted for step N, dropped: why, late).\n"
    "A stream nobody reads never holds up the polls: what cannot be written is dropped and\n"
    "counted (\"output_dropped\" in --state), and the number is written when writing works\n"
    "again. Under systemd (JOURNAL_STREAM) every line carries its syslog priority (\"<3>\"\n"
    "errors, \"<4>\" failed polls and warnings, \"<5>\" notices, \"<6>\" summaries, \"<7>\"\n"
    "--trace and the plug-in's lines), so journalctl -p warning shows the failures.\n"
    "--events FILE: JSON Lines appended to FILE, one object per event (\"start\", \"publish\",\n"
    "\"alarm\", \"alarm_raised\", \"alarm_cleared\", \"comm_lost\", \"comm_restored\", \"cycle\",\n"
    "\"poll_failed\", \"cache_loaded\", \"warning\", \"error\", \"events_lost\", \"deadline\",\n"
    "\"plugin_output\" with --plugin-output events: the plug-in's line in \"text\"),\n"
    "each with \"event\" and \"time\" (ISO 8601 with the UTC offset), those about a device\n"
    "with its \"address\" and \"device_id\"; --events-level changes leaves out \"alarm\" and\n"
    "\"cycle\".\n"
    "--capture FILE: every chunk sent and received, one a line (seconds poll step dir hex);\n"
    "rxp-sim --replay FILE answers with it, rxp-sim --show-capture FILE prints it.\n"
    "--state FILE (JSON) and --metrics FILE (Prometheus text): per device the last record by\n"
    "field name, comm state, polls, failed polls and active alarms, replaced atomically after\n"
    "every poll; metrics labelled port, address and device_id.\n"
    "Settings: the JSON object handed to the device; its member \"deviceId\" (a whole number,\n"
    "0 to 4294967295, default 1) is the device id stamped into every record.\n"
    "--history FILE: one row per stored record with its time, device id and bus address;\n"
    "checked at start (SQLite's quick check, a write taken back); while another program\n"
    "locks it, records wait in memory, counted as \"history_waiting\" in --state (a\n"
    "\"warning\" event after 10 s). --history-keep DAYS deletes older rows as it goes,\n"
    "never rows of the run younger than DAYS by the monotonic clock, and not while the\n"
    "clock and the stored rows disagree by more than a day (a \"warning\" says why).\n"
    "\n"
    "Faults: after a failed poll nothing is sent until the line has been quiet for --timeout\n"
    "plus 10 character times; a poll that cannot start within three such gaps (a line that\n"
    "never goes quiet) fails as \"busy\". A port that hangs up, fails, or does not take a\n"
    "command within --timeout is closed and opened again every second; the port is locked\n"
    "(TIOCEXCL and flock) against a second program.\n"
    "Files: --events and --capture are appended to, one whole line at a time, and written\n"
    "again when space returns; each run of the capture starts with \"# rxp-host capture\" and\n"
    "\"# started TIME\". No two file options may name the same file. --settings, --cache,\n"
    "--events and --capture must be regular files. --state and --metrics count what could\n"
    "not be kept: \"history_failed\", \"events_lost\", \"capture_lost\".\n"
    "Signals: SIGINT and SIGTERM end the run; SIGHUP opens the events and capture files\n"
    "again when log rotation renamed them.\n"
    "\n"
    "Exit codes (when several apply, the smallest but 0):\n"
    "  0  done: --cycles reached by every device, or SIGINT or SIGTERM, everything stored\n"
    "     and written\n"
    "  1  could not start: plug-in, port (or port in use), events, capture, history,\n"
    "     state or metrics file or folder\n"
    "  2  usage error (e.g. two options naming one file, --timeout below 5 character times),\n"
    "     or a settings file that cannot be used (unreadable, not a JSON object, refused by\n"
    "     the plug-in): a service is not restarted on it\n"
    "  3  records that could not be stored in the --history database (each one an \"error\"\n"
    "     event and a line on standard error)\n"
    "  4  events that could not be written to the --events file\n"
    "  5  --deadline passed before the --cycles were completed\n"
    "  6  capture lines that could not be written to the --capture file\n"
    "  7  --cycles not completed by every device of a bus: those lost are named\n"
    "\n"
    "rxp-host --status STATE_FILE: key: value lines of a running host's --state file (comm,\n"
    "age of the last record, failed polls, active alarms with their texts, per device; the\n"
    "storage counts above 0), the verdict first, with the exit codes of monitoring checks:\n"
    "  0  OK: every device answers, records fresh, no alarm, everything stored and written\n"
    "  1  WARNING: an alarm raised, no cycle completed yet, or storage failing (records not\n"
    "     stored or waiting for the database, events, capture or output lines lost)\n"
    "  2  CRITICAL: communication lost, the host stopped, frozen by a signal or killed (the\n"
    "     process its state names), or the state or a record older than --status-max-age\n"
    "  3  UNKNOWN: the state file missing, unreadable or not a state file (a FIFO, a device,\n"
    "     over 1 MiB), dated ahead of the clock (a clock set back), or a usage error\n"
    "\n"
    "rxp-host --list-alarms: the alarm evaluations of a cycle as the plug-in (--plugin) makes\n"
    "them, found by handing it probe records: ordinal, signal key, alarm id, name and text,\n"
    "module, the record byte and the bit or value it tests, and the English of name and text.\n"
    "rxp-host --check-settings FILE: hands FILE to the plug-in as the controller's host does\n"
    "and prints what it took (device id, mode, threshold entries read, members nobody reads)\n"
    "and what it printed; no port is opened. Exit 0 when the plug-in takes the file, 2 when\n"
    "not, 1 when the plug-in does not load.\n"
    "\n"
    "Options";

// A bus address as given on the command line: 0..255 in decimal. -1 when it is not one.
int ParseAddress(const std::string& text) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const int value = std::stoi(text);
    return value <= 255 ? value : -1;
}

// "ADDRESS=REST" or "ADDRESS": the address (-1 when it is not one) and the rest.
int SplitAddress(const std::string& text, std::string* rest, bool* has_rest) {
    const std::size_t equals = text.find('=');
    *has_rest = equals != std::string::npos;
    *rest = *has_rest ? text.substr(equals + 1) : std::string();
    return ParseAddress(text.substr(0, equals));
}

// The devices of --device and --cache, or of the one-device form. False after a usage error.
bool DevicesFromOptions(const po::variables_map& vm, long long address, std::string settings,
                        std::vector<DeviceConfig>* devices) {
    const std::vector<std::string> given = vm.count("device")
                                               ? vm["device"].as<std::vector<std::string>>()
                                               : std::vector<std::string>();
    const std::vector<std::string> caches =
        vm.count("cache") ? vm["cache"].as<std::vector<std::string>>() : std::vector<std::string>();
    if (!given.empty()) {
        for (const char* single : {"address", "settings"}) {
            if (vm.count(single)) {
                UsageError(std::string("--device and --") + single +
                           " do not go together: --device ADDRESS[=SETTINGS_FILE] names "
                           "every device on the bus");
                return false;
            }
        }
        if (given.size() > kMaxDevices) {
            UsageError("--device: at most " + std::to_string(kMaxDevices) +
                       " devices on one bus, not " + std::to_string(given.size()));
            return false;
        }
        for (const std::string& text : given) {
            std::string file;
            bool has_file = false;
            const int at = SplitAddress(text, &file, &has_file);
            if (at < 0) {
                UsageError("--device " + text + ": the address must be 0..255");
                return false;
            }
            if (has_file && file.empty()) {
                UsageError("--device " + text + ": a settings file name must follow '='");
                return false;
            }
            for (const DeviceConfig& d : *devices) {
                if (d.address != at) continue;
                if (has_file && !d.settings.empty() && d.settings != file) {
                    UsageError("--device: two settings files for address " + std::to_string(at) +
                               ", '" + d.settings + "' and '" + file + "'");
                } else {
                    UsageError("--device: address " + std::to_string(at) + " named twice");
                }
                return false;
            }
            devices->push_back(DeviceConfig{at, file, ""});
        }
    } else {
        DeviceConfig only;
        if (vm.count("address")) {
            if (address < 0 || address > 255) {
                UsageError("--address must be 0..255, not " + std::to_string(address));
                return false;
            }
            only.address = static_cast<int>(address);
        }
        only.settings = settings;
        devices->push_back(only);
    }

    // --cache FILE for one device, --cache ADDRESS=FILE for any.
    for (const std::string& text : caches) {
        std::string file;
        bool has_file = false;
        const int at = SplitAddress(text, &file, &has_file);
        DeviceConfig* target = nullptr;
        if (at >= 0 && has_file) {
            for (DeviceConfig& d : *devices) {
                if (d.address == at || (given.empty() && d.address < 0 && at == 1)) target = &d;
            }
            if (target == nullptr) {
                UsageError("--cache " + text + ": no device at address " + std::to_string(at));
                return false;
            }
        } else if (devices->size() == 1) {
            target = &devices->front();
            file = text;
        } else {
            UsageError("--cache " + text + ": with several devices, --cache ADDRESS=FILE");
            return false;
        }
        if (file.empty()) {
            UsageError("--cache needs a file name");
            return false;
        }
        if (!target->cache.empty()) {
            UsageError("--cache: two cache files for one device, '" + target->cache + "' and '" +
                       file + "'");
            return false;
        }
        target->cache = file;
    }
    return true;
}

// --status among the arguments, whatever else is wrong with them.
bool AsksForStatus(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--status" || arg.rfind("--status=", 0) == 0) return true;
    }
    return false;
}

}  // namespace

std::string ServiceConffile() {
    const char* conffile = std::getenv("RXP_HOST_CONF");
    return conffile != nullptr ? conffile : "";
}

void UsageError(const std::string& what) {
    const std::string conffile = ServiceConffile();
    Err(Priority::kError) << "rxp-host: " << (conffile.empty() ? "" : conffile + ": ") << what
                          << "\nTry 'rxp-host --help'." << std::endl;
}

int ParseCommandLine(int argc, char** argv, CommandLine* line) {
    HostOptions& options = line->options;
    long long baud = 9600;
    long long address = -1;
    std::string settings;
    long long cycles = 0;
    long long history_keep = 0;
    std::string events_level = "all";
    std::string& status_file = line->status_file;
    double& status_max_age = line->status_max_age;
    status_max_age = kDefaultStatusMaxAge;
    std::string plugin_output = "tag";
    std::string summary = "all";
    std::string list_format = "table";

    po::options_description described(kAbout);
    // clang-format off
    described.add_options()
        ("help,h", "show this help and exit")
        ("version", "show the version and exit")
        ("plugin", po::value<std::string>(&options.plugin)->value_name("PATH"),
         "the plug-in to load (default: rxp517_t36b2.so installed with rxp-host, from "
         "its folder in ../lib/MULTIARCH/rxp517-t36b2 (the package), else in "
         "../lib/smd/plugins, else the one beside it in a build tree)")
        ("port", po::value<std::string>(&options.port)->value_name("DEVICE"),
         "the serial port or pseudo-terminal of the power system; required")
        ("baud", po::value<long long>(&baud)->value_name("N")->default_value(9600),
         "line speed in bit/s, 8N1; 0 leaves the port's speed as it is")
        ("address", po::value<long long>(&address)->value_name("N"),
         "the power system's bus address, 0..255 (default: the device's own, 1)")
        ("settings", po::value<std::string>(&settings)->value_name("FILE"),
         "JSON settings handed to the device")
        ("device", po::value<std::vector<std::string>>()->value_name("ADDRESS[=FILE]"),
         "a power system on the bus at ADDRESS (0..255) with its JSON settings FILE, each "
         "with its own \"deviceId\"; once per device, 1 to 32, instead of --address and "
         "--settings")
        ("cache", po::value<std::vector<std::string>>()->value_name("[ADDRESS=]FILE"),
         "a stored 289-byte record handed to the device before the first poll; with several "
         "devices ADDRESS=FILE, once per device")
        ("no-address-check", po::bool_switch(),
         "hand every reply to the polled device whatever its address byte says (one unit that "
         "answers with a fixed address; not with several devices)")
        ("cycles", po::value<long long>(&cycles)->value_name("N"),
         "exit once every device has completed N cycles, a lost one not waited for once "
         "another has (default: run until SIGINT or SIGTERM)")
        ("interval",
         po::value<double>(&options.interval)->value_name("SECONDS")->default_value(1.0),
         "from the start of one round (every device polled once) to the start of the next")
        ("timeout",
         po::value<double>(&options.timeout)->value_name("SECONDS")->default_value(1.0),
         "time allowed for each reply (and for the port to take each command) before the "
         "poll is abandoned; at least 5 character times at --baud")
        ("deadline", po::value<double>(&options.deadline)->value_name("SECONDS"),
         "with --cycles: give up (exit 5) when they are not completed by then, by every device "
         "(a lost one is waited for)")
        ("events", po::value<std::string>(&options.events)->value_name("FILE"),
         "append events as JSON Lines to FILE")
        ("history", po::value<std::string>(&options.history)->value_name("FILE"),
         "store every record in this SQLite database (created if missing)")
        ("history-keep", po::value<long long>(&history_keep)->value_name("DAYS"),
         "with --history: delete rows older than DAYS days (a whole number, 1 to 36500), in "
         "small batches beside the polls")
        ("events-level", po::value<std::string>(&events_level)->value_name("all|changes")
             ->default_value("all"),
         "all events, or only changes: publications, alarms raised and cleared, comm, errors")
        ("plugin-output", po::value<std::string>(&plugin_output)->value_name("tag|drop|events")
             ->default_value("tag"),
         "the plug-in's own console lines: on standard output tagged \"plug-in: \", dropped, "
         "or as \"plugin_output\" events in the --events file")
        ("summary", po::value<std::string>(&summary)->value_name("all|changes|none")
             ->default_value("all"),
         "the summary on standard output after every cycle, only after cycles that changed "
         "something (an alarm raised or cleared, the first record, communication restored), "
         "or none")
        ("trace", po::bool_switch(&options.trace),
         "print every frame sent and received, decoded, each reply with its verdict")
        ("capture", po::value<std::string>(&options.capture)->value_name("FILE"),
         "append every chunk sent and received to FILE, for rxp-sim --replay")
        ("state", po::value<std::string>(&options.state)->value_name("FILE"),
         "keep the live state in FILE (JSON), replaced after every poll")
        ("metrics", po::value<std::string>(&options.metrics)->value_name("FILE"),
         "keep the live state in FILE for node exporter's textfile collector (Prometheus text)")
        ("status", po::value<std::string>(&status_file)->value_name("STATE_FILE"),
         "show the status of the host that keeps STATE_FILE (--state) and exit; see above")
        ("status-max-age",
         po::value<double>(&status_max_age)->value_name("SECONDS")
             ->default_value(kDefaultStatusMaxAge),
         "with --status: a state file or record older than this is CRITICAL")
        ("list-alarms", po::bool_switch(),
         "list the alarm evaluations of a cycle as the plug-in makes them, and exit; see above")
        ("format", po::value<std::string>(&list_format)->value_name("table|csv|json|markdown")
             ->default_value("table"),
         "with --list-alarms: aligned for people, CSV, JSON Lines, or the Markdown page "
         "docs/alarms.md")
        ("check-settings", po::value<std::string>(&line->check_settings)->value_name("FILE"),
         "hand the settings FILE to the plug-in, print what it took, and exit; no port is "
         "opened");
    // clang-format on

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(described).run(), vm);
        po::notify(vm);
    } catch (const po::multiple_occurrences& e) {
        // The unit gives these; the same option in RXP_HOST_OPTIONS comes second.
        const std::string option = e.get_option_name();
        if (!ServiceConffile().empty() &&
            (option == "--port" || option == "--state" || option == "--metrics")) {
            UsageError("the service gives " + option + " itself; remove it from RXP_HOST_OPTIONS");
        } else {
            UsageError(e.what());
        }
        return kExitUsage;
    } catch (const po::error& e) {
        UsageError(e.what());
        // A monitoring check reads 2 as CRITICAL: a check that could not run says UNKNOWN.
        return AsksForStatus(argc, argv) ? kStatusUnknown : kExitUsage;
    }
    if (vm.count("help")) {
        std::ostringstream help;
        help << described;
        line->help = help.str();
        line->mode = HostMode::kHelp;
        return -1;
    }
    if (vm.count("version")) {
        line->mode = HostMode::kVersion;
        return -1;
    }
    if (vm.count("status")) {
        if (!std::isfinite(status_max_age) || status_max_age <= 0) {
            UsageError("--status-max-age must be more than 0 seconds");
            return kStatusUnknown;
        }
        line->mode = HostMode::kStatus;
        return -1;
    }
    if (vm.count("plugin") && options.plugin.empty()) {
        UsageError("--plugin needs a PATH");
        return kExitUsage;
    }
    const bool list_alarms = vm["list-alarms"].as<bool>();
    if (list_alarms && vm.count("check-settings")) {
        UsageError("--list-alarms and --check-settings are two runs: give one");
        return kExitUsage;
    }
    if (!vm["format"].defaulted() && !list_alarms) {
        UsageError("--format goes with --list-alarms");
        return kExitUsage;
    }
    if (list_alarms) {
        if (!ParseListFormat(list_format, &line->list_format)) {
            UsageError("--format must be table, csv, json or markdown, not " + list_format);
            return kExitUsage;
        }
        if (options.plugin.empty()) options.plugin = DefaultPluginPath();
        line->mode = HostMode::kListAlarms;
        return -1;
    }
    if (vm.count("check-settings")) {
        if (line->check_settings.empty()) {
            UsageError("--check-settings needs a FILE");
            return kExitUsage;
        }
        if (options.plugin.empty()) options.plugin = DefaultPluginPath();
        line->mode = HostMode::kCheckSettings;
        return -1;
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
    if (options.plugin.empty()) options.plugin = DefaultPluginPath();
    if (options.port.empty()) {
        UsageError("--port DEVICE is required");
        return kExitUsage;
    }
    if (baud < 0 || baud > 4000000 || !IsSupportedBaud(static_cast<unsigned>(baud))) {
        UsageError("--baud " + std::to_string(baud) + " is not a serial line speed");
        return kExitUsage;
    }
    options.baud = static_cast<unsigned>(baud);
    if (!DevicesFromOptions(vm, address, settings, &options.devices)) return kExitUsage;
    options.address_check = !vm["no-address-check"].as<bool>();
    if (!options.address_check && options.devices.size() > 1) {
        // The address is the only thing that tells one cabinet's reply from another's.
        UsageError(
            "--no-address-check is for one device: on a bus of several, a reply's address tells "
            "which device sent it");
        return kExitUsage;
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
    PluginOutputMode& plugin_output_mode = line->plugin_output;
    if (!ParsePluginOutputMode(plugin_output, &plugin_output_mode)) {
        UsageError("--plugin-output must be tag, drop or events, not " + plugin_output);
        return kExitUsage;
    }
    if (plugin_output_mode == PluginOutputMode::kEvents && options.events.empty()) {
        UsageError("--plugin-output events needs --events FILE");
        return kExitUsage;
    }
    if (!ParseSummaryMode(summary, &options.summary)) {
        UsageError("--summary must be all, changes or none, not " + summary);
        return kExitUsage;
    }
    if (!std::isfinite(options.interval) || options.interval < 0 || options.interval > 86400) {
        UsageError("--interval must be 0 to 86400 seconds");
        return kExitUsage;
    }
    if (!std::isfinite(options.timeout) || options.timeout <= 0 || options.timeout > 86400) {
        UsageError("--timeout must be more than 0 and at most 86400 seconds");
        return kExitUsage;
    }
    const double floor = TimeoutFloor(options.baud);
    if (options.timeout < floor) {
        std::ostringstream text;
        text << "--timeout must be at least " << floor << " s, " << kTimeoutFloorCharacters
             << " character times at "
             << (options.baud != 0 ? std::to_string(options.baud) + " bit/s"
                                   : std::string("1 ms a character (--baud 0)"));
        UsageError(text.str());
        return kExitUsage;
    }

    // Before anything is opened for writing.
    // Devices may share a settings file (an input read twice); each path is named once.
    std::vector<NamedFile> files = {{"--history", options.history},
                                    {"--events", options.events},
                                    {"--capture", options.capture},
                                    {"--state", options.state},
                                    {"--metrics", options.metrics}};
    const auto add_input = [&files](const std::string& option, const std::string& path) {
        for (const NamedFile& f : files) {
            if (f.option == option && f.path == path) return;
        }
        files.push_back({option, path});
    };
    for (const DeviceConfig& device : options.devices) {
        add_input("--cache", device.cache);
        add_input(vm.count("device") ? "--device" : "--settings", device.settings);
    }
    const std::string twice = SameFileNamedTwice(files);
    if (!twice.empty()) {
        UsageError(twice);
        return kExitUsage;
    }

    return -1;
}

Json::Value GivenOptions(const HostOptions& options) {
    Json::Value given(Json::objectValue);
    given["plugin"] = options.plugin;
    given["port"] = options.port;
    given["baud"] = options.baud;
    if (options.devices.size() == 1) {
        const DeviceConfig& only = options.devices.front();
        if (only.address >= 0) given["address"] = only.address;
        if (!only.settings.empty()) given["settings"] = only.settings;
        if (!only.cache.empty()) given["cache"] = only.cache;
    } else {
        Json::Value devices(Json::arrayValue);
        for (const DeviceConfig& config : options.devices) {
            Json::Value device(Json::objectValue);
            device["address"] = config.address;
            if (!config.settings.empty()) device["settings"] = config.settings;
            if (!config.cache.empty()) device["cache"] = config.cache;
            devices.append(device);
        }
        given["devices"] = devices;
    }
    if (!options.address_check) given["address_check"] = false;
    if (options.cycles != 0) given["cycles"] = Json::UInt64(options.cycles);
    given["interval"] = options.interval;
    given["timeout"] = options.timeout;
    if (options.deadline > 0) given["deadline"] = options.deadline;
    given["events"] = options.events;
    if (!options.history.empty()) given["history"] = options.history;
    if (options.history_keep_days > 0) given["history_keep"] = options.history_keep_days;
    given["trace"] = options.trace;
    if (!options.capture.empty()) given["capture"] = options.capture;
    if (!options.state.empty()) given["state"] = options.state;
    if (!options.metrics.empty()) given["metrics"] = options.metrics;
    given["events_level"] = options.events_changes ? "changes" : "all";
    switch (options.summary) {
        case SummaryMode::kAll:
            given["summary"] = "all";
            break;
        case SummaryMode::kChanges:
            given["summary"] = "changes";
            break;
        case SummaryMode::kNone:
            given["summary"] = "none";
            break;
    }
    return given;
}

}  // namespace rxphost
