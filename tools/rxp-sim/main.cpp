// rxp-sim: the power system at the far end of the serial line, simulated.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "tools/common/version.h"
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
  rxp-host --port /tmp/rxp-line --cycles 6

Scenario (JSON; // comments allowed; every field has a healthy default, so {} is a quiet,
healthy system). Fields by the record's names; modules by number, 1 to 20; changes by cycle,
cycle 1 being the first the simulator answers:
  {"phase_a_status": 0, "modules": {"7": {"value2": 130}},
   "changes": [{"cycle": 2, "set": {"modules": {"7": {"status": "0x10"}}}},
               {"cycle": 4, "set": {"modules": {"7": {"status": 0}}}}]}

Exit codes: 0 stopped by SIGINT or SIGTERM; 1 a scenario, port or line that cannot be used;
2 a usage error.
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

struct Options {
    std::string scenario;
    std::string link;
    std::string port;
    unsigned baud = 9600;
    unsigned address = 1;
    bool log = false;
    rxp::sim::FaultOptions faults;
};

// Removes the --link symbolic link when it still points at our line.
void RemoveLink(const std::string& link, const std::string& target) {
    if (link.empty()) return;
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    if (n < 0) return;
    buf[n] = '\0';
    if (target == buf) unlink(link.c_str());
}

int Run(const Options& opt) {
    rxp::tools::Scenario scenario;
    if (!opt.scenario.empty()) scenario = rxp::tools::Scenario::Load(opt.scenario);

    boost::asio::io_context io;
    // Registered before the line's path is printed: a script may signal as soon as it reads it.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    std::string line_path;
    int slave_fd = -1;
    int fd;
    if (opt.port.empty()) {
        fd = rxp::sim::OpenPseudoTerminal(&line_path, &slave_fd);
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

    rxp::sim::PowerSystem power(scenario, static_cast<std::uint8_t>(opt.address), opt.faults);
    int exit_code = kExitStopped;
    std::string stopped_by;
    rxp::sim::SimLine line(io, fd, power, rxp::sim::LineModel(opt.baud),
                           opt.log ? &std::cout : nullptr, [&](const std::string& why) {
                               std::cerr << "rxp-sim: " << line_path << ": " << why << std::endl;
                               exit_code = kExitFailure;
                               io.stop();
                           });
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
              << " after " << power.replies() << " replies, " << power.completed_cycles()
              << " completed cycles" << std::endl;
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
        delay{opt.faults.delay_ms}, delay_every{opt.faults.delay_every};
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
        ("baud", po::value(&baud)->default_value(Count{9600})->value_name("N"),
         "line speed in bit/s: replies are paced at 10 bits a character and start after the "
         "command's own line time; 0 answers at once (pseudo-terminal only)")
        ("address", po::value(&address)->default_value(Count{1})->value_name("N"),
         "bus address the power system answers to, 0..255")
        ("log", po::bool_switch(&opt.log),
         "print every command and reply in hex with its meaning")
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
         "... only every Nth reply");
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
    if (vm.count("help") != 0) {
        std::cout << kUsage << "\n" << desc << std::endl;
        return kExitStopped;
    }
    if (vm.count("version") != 0) {
        std::cout << rxp::tools::VersionLine("rxp-sim") << std::endl;
        return kExitStopped;
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

    try {
        return Run(opt);
    } catch (const std::exception& e) {
        std::cerr << "rxp-sim: " << e.what() << std::endl;
        return kExitFailure;
    }
}
