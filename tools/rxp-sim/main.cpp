// rxp-sim: the power system at the far end of the serial line, simulated.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "tools/common/capture.h"
#include "tools/common/version.h"
#include "tools/rxp-sim/sim_bus.h"
#include "tools/rxp-sim/sim_core.h"
#include "tools/rxp-sim/sim_line.h"

namespace po = boost::program_options;

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = R"(rxp-sim: the power system at the far end of the serial line, simulated.

It answers the plug-in's 25 commands a cycle the way the real power system does, with values
from a scenario file, and can spoil its replies on purpose to show how the plug-in copes.
By default it opens a pseudo-terminal and prints the path to connect to as the first line on
standard output; it runs until SIGINT (Ctrl-C) or SIGTERM.

Usage: rxp-sim [options]

Example:
  rxp-sim --scenario examples/scenario-demo.json --link /tmp/rxp-line --log &
  while [ ! -e /tmp/rxp-line ]; do sleep 0.1; done
  rxp-host --port /tmp/rxp-line --cycles 6

Scenario (JSON; // comments allowed; every field has a healthy default, so {} is a quiet,
healthy system). Fields by the record's names; modules by number, 1 to 20; changes by cycle,
cycle 1 being the first the simulator answers:
  {"phase_a_status": 0, "modules": {"7": {"value2": 130}},
   "changes": [{"cycle": 2, "set": {"modules": {"7": {"status": "0x10"}}}},
               {"cycle": 4, "set": {"modules": {"7": {"status": 0}}}}]}

A bus (--device ADDRESS[=SCENARIO], repeatable, 1 to 32): several power systems on one line, as
cabinets share an RS-485 bus, each with its own scenario (a healthy system without one), its own
replies and its own cycle count for the scenario's changes. A command is answered only by the
power system at its address; a command for an address nobody holds gets no answer at all.
--address N stays the one-device form and does not mix with --device. The fault options hit
every power system alike, each counting its own replies, or with --fault-address N only the one
at address N. Two cabinets set to one address (a wiring mistake at a site) are simulated with
--shared-address: then --device may name an address twice, and both answer every command for
it, one reply after the other.
  rxp-sim --device 1=examples/scenario-demo.json --device 2 --fault-address 2 --delay 1500 \
          --delay-every 30 --link /tmp/rxp-line

Replay (--replay FILE): a capture written by rxp-host --capture at a site is played back:
every command is answered with the bytes captured for it, noise, faults and chunks as they
came; --as-captured also keeps the time of every chunk. A capture of a bus is played back per
address: each command is answered with the replies captured for that command of that address,
in that device's order. When the capture has no reply left for a command of an address, rxp-sim
says so once on standard error and answers that address no more; with --loop it starts that
address over from its first captured command instead. --show-capture FILE prints a capture in
the frame notation of --log and rxp-host --trace, each reply with its verdict, and exits.
A capture file holds every run of rxp-host that appended to it, each starting with its
"# rxp-host capture" head: --show-capture shows each under a heading "== run N of M ... ==",
--replay plays them one after the other; --run N takes run N only (1 = the first in the file).
A torn last line (a crash, a power loss or a full disk stopped the writer in it) is left out
with a warning naming the file and line; the rest is used.
  rxp-sim --replay site.capture --run 2 --link /tmp/rxp-line --log

The pseudo-terminal is its user's alone, as it is made. A host run as another user, such as a
service's own in the dialout group, opens it once rxp-sim hands it over as a serial port is:
  sudo rxp-sim --group dialout --mode 0660 --link /run/rxp-line

Exit codes: 0 stopped by SIGINT or SIGTERM (--show-capture: shown, also with a torn last
line left out); 1 a scenario, capture, port or line that cannot be used, or a pseudo-terminal
that cannot be given the --group or --mode; 2 a usage error (also a --run the capture file
does not hold).
)";

// An unsigned option's value. Boost's own conversion wraps "-1" round to 4294967295 (--noise -1
// would then ask for gigabytes of noise, --delay -5 for a 49-day delay); this one takes digits
// only.
struct Count {
    unsigned value = 0;
};

std::ostream& operator<<(std::ostream& out, const Count& c) {
    return out << c.value;
}

void validate(boost::any& v, const std::vector<std::string>& values, Count*, int) {
    po::validators::check_first_occurrence(v);
    const std::string& text = po::validators::get_single_string(values);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        throw po::invalid_option_value(text);
    }
    errno = 0;
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || n > UINT_MAX) {
        throw po::invalid_option_value(text);
    }
    v = Count{static_cast<unsigned>(n)};
}

// One --device: "ADDRESS" or "ADDRESS=SCENARIO".
struct DeviceOption {
    std::string text;  // as given, for messages
    unsigned address = 0;
    std::string scenario;  // empty: the healthy system
};

struct Options {
    std::vector<DeviceOption> devices;
    bool shared_address = false;
    bool fault_address_given = false;
    unsigned fault_address = 0;
    std::string scenario;
    std::string link;
    std::string port;
    unsigned baud = 9600;
    unsigned address = 1;
    bool log = false;
    std::string replay;
    bool as_captured = false;
    bool loop = false;
    unsigned run = 0;  // 0: every run of the capture
    std::string show_capture;
    rxp::sim::FaultOptions faults;
    // Who besides its owner may open the pseudo-terminal: its group and mode (-1: as made).
    std::string group;  // as given, for messages
    long long group_id = -1;
    long long mode = -1;
};

// Hands the pseudo-terminal to the group and mode asked for, so that a host run as another
// user (a service's own, in the dialout group) can open it as it opens a serial port.
void ShareLine(const Options& opt, int slave_fd, const std::string& path) {
    if (opt.group_id >= 0 &&
        fchown(slave_fd, static_cast<uid_t>(-1), static_cast<gid_t>(opt.group_id)) != 0) {
        throw std::runtime_error("cannot give the pseudo-terminal " + path + " to the group " +
                                 opt.group + ": " + std::strerror(errno) +
                                 " (root can, or a member of that group)");
    }
    if (opt.mode >= 0 && fchmod(slave_fd, static_cast<mode_t>(opt.mode)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04llo", opt.mode);
        throw std::runtime_error("cannot set mode " + std::string(mode) +
                                 " on the pseudo-terminal " + path + ": " + std::strerror(errno));
    }
}

// --group NAME or a number: the group's id, or -1 when there is no such group.
long long GroupId(const std::string& text) {
    if (const group* g = getgrnam(text.c_str())) return g->gr_gid;
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(text);
}

// --mode in octal, the permission bits only: 0660. -1 when it is not that.
long long ModeBits(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        return -1;
    const long long bits = std::stoll(text, nullptr, 8);
    return bits <= 0777 ? bits : -1;
}

// Removes the --link symbolic link when it still points at our line.
void RemoveLink(const std::string& link, const std::string& target) {
    if (link.empty()) return;
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    if (n < 0) return;
    buf[n] = '\0';
    if (target == buf) unlink(link.c_str());
}

// The power systems on the line: the --device list, or the one of --address and --scenario.
std::unique_ptr<rxp::sim::Responder> MakeBus(const Options& opt) {
    std::vector<DeviceOption> devices = opt.devices;
    if (devices.empty()) devices.push_back({"", opt.address, opt.scenario});
    std::unique_ptr<rxp::sim::Bus> bus(new rxp::sim::Bus);
    for (const DeviceOption& d : devices) {
        rxp::tools::Scenario scenario;
        if (!d.scenario.empty()) scenario = rxp::tools::Scenario::Load(d.scenario);
        rxp::sim::FaultOptions faults = opt.faults;
        if (opt.fault_address_given && d.address != opt.fault_address) {
            faults = rxp::sim::FaultOptions{};
            faults.seed = opt.faults.seed;
        }
        bus->Add(std::unique_ptr<rxp::sim::PowerSystem>(new rxp::sim::PowerSystem(
            std::move(scenario), static_cast<std::uint8_t>(d.address), faults)));
    }
    return bus;
}

// Reads "ADDRESS[=SCENARIO]"; false when the text is not of that form.
bool ParseDevice(const std::string& text, DeviceOption* out) {
    const std::size_t eq = text.find('=');
    const std::string number = text.substr(0, eq);
    if (number.empty() || number.size() > 9 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out->text = text;
    out->address = static_cast<unsigned>(std::stoul(number));
    if (eq != std::string::npos) {
        out->scenario = text.substr(eq + 1);
        if (out->scenario.empty()) return false;
    }
    return true;
}

// The usage mistakes of a bus; empty when there is none.
std::string BusMistake(const Options& opt, const po::variables_map& vm) {
    const std::size_t max = rxp::sim::Bus::kMaxDevices;
    if (opt.devices.empty()) {
        if (opt.shared_address) return "--shared-address goes with --device";
        return "";
    }
    if (!vm["address"].defaulted()) {
        return "--device and --address do not mix: give every address with --device";
    }
    if (!opt.scenario.empty()) {
        return "--device takes its scenario as --device ADDRESS=SCENARIO, not --scenario";
    }
    if (!opt.replay.empty()) return "--replay answers every address of its capture; no --device";
    if (opt.devices.size() > max) {
        return "--device: at most " + std::to_string(max) + " power systems on one line, " +
               std::to_string(opt.devices.size()) + " given";
    }
    for (std::size_t i = 0; i < opt.devices.size(); ++i) {
        const DeviceOption& d = opt.devices[i];
        if (d.address > 255) {
            return "--device " + d.text + ": a bus address is 0..255";
        }
        for (std::size_t j = 0; j < i && !opt.shared_address; ++j) {
            if (opt.devices[j].address == d.address) {
                return "--device: address " + std::to_string(d.address) +
                       " given twice; two cabinets at one address need --shared-address";
            }
        }
    }
    return "";
}

// Thrown for a --run the capture does not have: a usage error.
struct NoSuchRun : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads a capture, tells its warnings, and keeps the run --run asks for.
rxp::tools::Capture LoadCapture(const std::string& path, unsigned run) {
    rxp::tools::Capture capture = rxp::tools::ReadCapture(path);
    for (const std::string& w : capture.warnings) std::cerr << "rxp-sim: warning: " << w << "\n";
    if (run == 0) return capture;
    if (run > capture.runs.size()) {
        throw NoSuchRun("--run " + std::to_string(run) + ": " + path + " holds " +
                        std::to_string(capture.runs.size()) + " run" +
                        (capture.runs.size() == 1 ? "" : "s"));
    }
    rxp::tools::CaptureRun kept = std::move(capture.runs[run - 1]);
    capture.runs.assign(1, std::move(kept));
    return capture;
}

int Run(const Options& opt) {
    std::unique_ptr<rxp::sim::Responder> responder;
    if (opt.replay.empty()) {
        responder = MakeBus(opt);
    } else {
        responder.reset(new rxp::sim::CaptureReplay(
            rxp::tools::CapturedExchanges(LoadCapture(opt.replay, opt.run)),
            opt.as_captured ? rxp::sim::CaptureReplay::Timing::kAsCaptured
                            : rxp::sim::CaptureReplay::Timing::kAtOnce,
            opt.loop ? rxp::sim::CaptureReplay::End::kLoop : rxp::sim::CaptureReplay::End::kStop));
    }

    boost::asio::io_context io;
    // Registered before the line's path is printed: a script may signal as soon as it reads it.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    std::string line_path;
    int slave_fd = -1;
    int fd;
    if (opt.port.empty()) {
        fd = rxp::sim::OpenPseudoTerminal(&line_path, &slave_fd);
        ShareLine(opt, slave_fd, line_path);
    } else {
        fd = rxp::sim::OpenSerialPort(io, opt.port, opt.baud);
        line_path = opt.port;
    }

    if (!opt.link.empty()) {
        struct stat st {};
        if (lstat(opt.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                throw std::runtime_error(opt.link +
                                         ": exists and is not a symbolic link; "
                                         "not replacing it");
            }
            unlink(opt.link.c_str());
        }
        if (symlink(line_path.c_str(), opt.link.c_str()) != 0) {
            throw std::runtime_error(opt.link + ": cannot make the link: " + std::strerror(errno));
        }
    }

    std::cout << line_path << std::endl;  // first line: where to connect

    int exit_code = kExitStopped;
    std::string stopped_by;
    rxp::sim::SimLine line(
        io, fd, *responder, rxp::sim::LineModel(opt.baud), opt.log ? &std::cout : nullptr,
        [&](const std::string& why) {
            std::cerr << "rxp-sim: " << line_path << ": " << why << std::endl;
            exit_code = kExitFailure;
            io.stop();
        },
        [](const std::string& notice) { std::cerr << "rxp-sim: " << notice << std::endl; });
    signals.async_wait([&](boost::system::error_code ec, int signal_number) {
        if (ec) return;
        stopped_by = signal_number == SIGINT ? "SIGINT" : "SIGTERM";
        line.Stop();
        io.stop();
    });
    line.Start();
    io.run();

    RemoveLink(opt.link, line_path);
    if (slave_fd >= 0) close(slave_fd);
    std::cerr << "rxp-sim: " << (stopped_by.empty() ? "stopped" : "stopped by " + stopped_by)
              << " after " << responder->Tally() << std::endl;
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of our standard output that goes away must not end the simulation.
    signal(SIGPIPE, SIG_IGN);

    Options opt;
    Count baud{opt.baud}, address{opt.address}, seed{opt.faults.seed}, noise{opt.faults.noise_max},
        split{opt.faults.split_max}, corrupt_every{opt.faults.corrupt_every},
        drop_every{opt.faults.drop_every}, short_every{opt.faults.short_every},
        delay{opt.faults.delay_ms}, delay_every{opt.faults.delay_every}, fault_address;
    std::vector<std::string> device_texts;
    std::string group_text, mode_text;
    Count run;
    po::options_description desc("Options", 100);
    // clang-format off
    desc.add_options()
        ("help,h", "show this help")
        ("version", "show the version and exit")
        ("scenario", po::value(&opt.scenario)->value_name("FILE"),
         "values to report, JSON (default: a healthy system)")
        ("link", po::value(&opt.link)->value_name("PATH"),
         "also make a symbolic link PATH to the pseudo-terminal")
        ("port", po::value(&opt.port)->value_name("DEVICE"),
         "use a real serial device instead of a pseudo-terminal (raw, 8N1)")
        ("group", po::value(&group_text)->value_name("GROUP"),
         "give the pseudo-terminal to GROUP (a name or number), with --mode 0660 unless another "
         "is given (root, or a member of GROUP, can)")
        ("mode", po::value(&mode_text)->value_name("MODE"),
         "the pseudo-terminal's permission bits, in octal, 0000 to 0777 (default: 0620 or "
         "0600, as the system makes it)")
        ("baud", po::value(&baud)->default_value(Count{9600})->value_name("N"),
         "line speed in bit/s: replies are paced at 10 bits a character and start after the "
         "command's own line time; 0 answers at once (pseudo-terminal only)")
        ("address", po::value(&address)->default_value(Count{1})->value_name("N"),
         "bus address the power system answers to, 0..255 (one power system)")
        ("device", po::value(&device_texts)->value_name("ADDRESS[=SCENARIO]"),
         "a power system on the bus at ADDRESS (0..255), with its own scenario file; "
         "repeat for each, 1 to 32 (instead of --address and --scenario)")
        ("shared-address", po::bool_switch(&opt.shared_address),
         "with --device: an address may be given twice, and both power systems answer every "
         "command for it, one after the other (two cabinets wired to one address)")
        ("log", po::bool_switch(&opt.log),
         "print every command and reply, decoded, with its meaning")
        ("replay", po::value(&opt.replay)->value_name("FILE"),
         "answer with the replies of a capture (rxp-host --capture) instead of a scenario")
        ("as-captured", po::bool_switch(&opt.as_captured),
         "with --replay: every chunk at its captured time after the command")
        ("loop", po::bool_switch(&opt.loop),
         "with --replay: an address whose capture is played out starts over (default: it is "
         "not answered any more)")
        ("run", po::value(&run)->value_name("N"),
         "with --replay or --show-capture: only run N of the capture file (1 = the first; "
         "default: every run, in order)")
        ("show-capture", po::value(&opt.show_capture)->value_name("FILE"),
         "print a capture in the frame notation and exit")
        ("seed", po::value(&seed)->default_value(Count{1})->value_name("N"),
         "seed of the random faults (noise, chunk sizes): the same seed, the same bytes")
        ("noise", po::value(&noise)->default_value(Count{0})->value_name("N"),
         "send 1..N random bytes (never '~') before every reply")
        ("split", po::value(&split)->default_value(Count{0})->value_name("N"),
         "write every reply in random chunks of 1..N bytes")
        ("corrupt-every", po::value(&corrupt_every)->default_value(Count{0})->value_name("N"),
         "give every Nth reply a wrong checksum")
        ("drop-every", po::value(&drop_every)->default_value(Count{0})->value_name("N"),
         "do not send every Nth reply")
        ("short-every", po::value(&short_every)->default_value(Count{0})->value_name("N"),
         "send every Nth reply one payload byte short (with a right checksum)")
        ("delay", po::value(&delay)->default_value(Count{0})->value_name("MS"),
         "hold replies back MS milliseconds more")
        ("delay-every", po::value(&delay_every)->default_value(Count{1})->value_name("N"),
         "... only every Nth reply")
        ("fault-address", po::value(&fault_address)->value_name("N"),
         "the fault options hit only the power system at address N (default: every one, "
         "each counting its own replies)");
    // clang-format on

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(desc).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        const bool number = dynamic_cast<const po::invalid_option_value*>(&e) != nullptr;
        std::cerr << "rxp-sim: " << e.what()
                  << (number ? ": it takes a whole number, 0 or more" : "")
                  << "\n(rxp-sim --help shows the options)" << std::endl;
        return kExitUsage;
    }
    opt.baud = baud.value;
    opt.address = address.value;
    opt.faults.seed = seed.value;
    opt.faults.noise_max = noise.value;
    opt.faults.split_max = split.value;
    opt.faults.corrupt_every = corrupt_every.value;
    opt.faults.drop_every = drop_every.value;
    opt.faults.short_every = short_every.value;
    opt.faults.delay_ms = delay.value;
    opt.faults.delay_every = delay_every.value;
    opt.fault_address_given = vm.count("fault-address") != 0;
    opt.fault_address = fault_address.value;
    opt.run = run.value;
    if (vm.count("help") != 0) {
        std::cout << kUsage << "\n" << desc << std::endl;
        return kExitStopped;
    }
    if (vm.count("version") != 0) {
        std::cout << rxp::tools::VersionLine("rxp-sim") << std::endl;
        return kExitStopped;
    }
    for (const std::string& text : device_texts) {
        DeviceOption d;
        if (!ParseDevice(text, &d)) {
            std::cerr << "rxp-sim: --device " << text << ": expected ADDRESS or ADDRESS=SCENARIO"
                      << std::endl;
            return kExitUsage;
        }
        opt.devices.push_back(d);
    }
    if (vm.count("run") != 0 && opt.run == 0) {
        std::cerr << "rxp-sim: --run counts from 1, the first run of the file" << std::endl;
        return kExitUsage;
    }
    if (vm.count("run") != 0 && opt.replay.empty() && opt.show_capture.empty()) {
        std::cerr << "rxp-sim: --run goes with --replay FILE or --show-capture FILE" << std::endl;
        return kExitUsage;
    }
    if (opt.loop && opt.replay.empty()) {
        std::cerr << "rxp-sim: --loop goes with --replay FILE" << std::endl;
        return kExitUsage;
    }
    if (!opt.show_capture.empty()) {
        try {
            std::cout << rxp::tools::FormatCapture(LoadCapture(opt.show_capture, opt.run))
                      << std::flush;
            return kExitStopped;
        } catch (const NoSuchRun& e) {
            std::cerr << "rxp-sim: " << e.what() << std::endl;
            return kExitUsage;
        } catch (const std::exception& e) {
            std::cerr << "rxp-sim: " << e.what() << std::endl;
            return kExitFailure;
        }
    }
    if (!opt.replay.empty() && !opt.scenario.empty()) {
        std::cerr << "rxp-sim: --replay answers from a capture; it takes no --scenario"
                  << std::endl;
        return kExitUsage;
    }
    const rxp::sim::FaultOptions& f = opt.faults;
    if (!opt.replay.empty() && (f.noise_max | f.split_max | f.corrupt_every | f.drop_every |
                                f.short_every | f.delay_ms) != 0) {
        std::cerr << "rxp-sim: --replay sends the faults it captured; it takes no fault options"
                  << std::endl;
        return kExitUsage;
    }
    if (opt.as_captured && opt.replay.empty()) {
        std::cerr << "rxp-sim: --as-captured goes with --replay FILE" << std::endl;
        return kExitUsage;
    }
    const std::string bus_mistake = BusMistake(opt, vm);
    if (!bus_mistake.empty()) {
        std::cerr << "rxp-sim: " << bus_mistake << std::endl;
        return kExitUsage;
    }
    if (opt.fault_address_given) {
        bool held = false;
        for (const DeviceOption& d : opt.devices) held = held || d.address == opt.fault_address;
        if (opt.devices.empty()) held = opt.address == opt.fault_address;
        if (!opt.replay.empty()) {
            std::cerr << "rxp-sim: --fault-address aims fault options; --replay takes none"
                      << std::endl;
            return kExitUsage;
        }
        if (!held) {
            std::cerr << "rxp-sim: --fault-address " << opt.fault_address
                      << ": no power system at that address" << std::endl;
            return kExitUsage;
        }
    }
    if (opt.address > 255) {
        std::cerr << "rxp-sim: --address " << opt.address << ": a bus address is 0..255"
                  << std::endl;
        return kExitUsage;
    }
    if (!opt.port.empty() && opt.baud == 0) {
        std::cerr << "rxp-sim: --port needs a line speed; --baud 0 is for a pseudo-terminal"
                  << std::endl;
        return kExitUsage;
    }
    if (opt.faults.delay_every == 0) {
        std::cerr << "rxp-sim: --delay-every must be 1 or more" << std::endl;
        return kExitUsage;
    }
    if (vm.count("group") != 0 || vm.count("mode") != 0) {
        if (!opt.port.empty()) {
            std::cerr << "rxp-sim: --group and --mode are for the pseudo-terminal rxp-sim makes; "
                         "a --port keeps its own"
                      << std::endl;
            return kExitUsage;
        }
        opt.group = group_text;
        if (vm.count("group") != 0 && (opt.group_id = GroupId(group_text)) < 0) {
            std::cerr << "rxp-sim: --group " << group_text << ": no such group" << std::endl;
            return kExitUsage;
        }
        if (vm.count("mode") != 0 && (opt.mode = ModeBits(mode_text)) < 0) {
            std::cerr << "rxp-sim: --mode " << mode_text
                      << ": permission bits in octal, 0000 to 0777 (0660: the owner and the "
                         "group read and write)"
                      << std::endl;
            return kExitUsage;
        }
        if (opt.mode < 0) opt.mode = 0660;
    }

    try {
        return Run(opt);
    } catch (const NoSuchRun& e) {
        std::cerr << "rxp-sim: " << e.what() << std::endl;
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "rxp-sim: " << e.what() << std::endl;
        return kExitFailure;
    }
}
