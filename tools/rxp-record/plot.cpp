#include "tools/rxp-record/plot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "tools/common/hex.h"
#include "tools/rxp-record/record_view.h"

extern char** environ;

namespace rxp::record {

namespace {

// Runs gnuplot on `script` with its standard output on `out_fd`; its messages go to standard
// error, beside ours. The script is gnuplot's file argument, not typed input: gnuplot stops at
// the first error in a file, where it would go on with the next line of typed input. Returns
// the exit status as waitpid gives it, or -1 with errno when gnuplot cannot be started.
int RunGnuplot(const std::string& script, int out_fd) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    char name[] = "gnuplot";
    char file[] = "/dev/stdin";
    char* argv[] = {name, file, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, name, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[0]);
    if (spawned != 0) {
        close(pipe_fds[1]);
        errno = spawned;
        return -1;
    }
    // A gnuplot that stops early closes the pipe: its exit status tells, not a SIGPIPE here.
    void (*previous)(int) = std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t at = 0; at < script.size();) {
        const ssize_t n = write(pipe_fds[1], script.data() + at, script.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
    close(pipe_fds[1]);
    std::signal(SIGPIPE, previous);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

void Plot::Add(tools::WallClock::time_point when, const unsigned char* record, int address) {
    // gnuplot shows times as UTC: shifted by the local offset, the axis reads local time.
    const std::time_t t = tools::WallClock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    // A blank line in gnuplot's data ends a line: nothing is drawn across the missing cycles.
    std::string& data = data_[address];
    if (gap_finder_.Next(address, when) > 0) {
        data += "\n";
        ++gaps_;
    }
    data += std::to_string(static_cast<long long>(t) + local.tm_gmtoff);
    for (const tools::RecordField* f : fields_) {
        data += " " + units_.Value(*f, tools::ReadField(record, *f));
    }
    data += "\n";
    if (points_++ == 0) first_ = tools::IsoTime(when);
    last_ = tools::IsoTime(when);
}

std::string Plot::Quoted(const std::string& text) {
    std::string q = "'";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\'') {
            q += "''";
        } else if (u < 0x20 || u == 0x7F) {
            q += "\\x" + hex::Byte(u);
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::string Plot::Script() const {
    std::string unit;  // the y axis is labelled when all fields share a unit
    bool shared = true;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const Unit* u = units_.For(*fields_[i]);
        const std::string this_unit = u == nullptr ? "" : u->unit;
        if (i == 0) unit = this_unit;
        shared = shared && this_unit == unit;
    }
    std::string names;
    for (const tools::RecordField* f : fields_) names += (names.empty() ? "" : ", ") + f->name;
    std::ostringstream script;
    script << "set terminal pngcairo noenhanced size 960,480 font 'sans,10'\n"
           << "set xdata time\nset timefmt '%s'\nset format x \"%m-%d\\n%H:%M\"\n"
           << "set xlabel " << Quoted("local time, " + first_.substr(19) + " from UTC") << "\n"
           << (shared && !unit.empty() ? "set ylabel " + Quoted(unit) + "\n" : "")
           << "set grid\nset key below\n"
           << "set title "
           << Quoted(names + ": " + first_ + " to " + last_ +
                     (gaps_ == 0 ? ""
                                 : ", " + std::to_string(gaps_) + (gaps_ == 1 ? " gap" : " gaps") +
                                       " without records"))
           << "\n";
    // One data block of one device's records; one of each address on a bus, whose lines are
    // titled with the address (rows stored before the history carried addresses have none).
    const bool several = data_.size() > 1;
    const auto block = [&](int address) {
        if (!several) return std::string("$data");
        return address < 0 ? std::string("$no_address") : "$address" + std::to_string(address);
    };
    const auto named = [&](int address) {
        if (!several) return std::string();
        return address < 0 ? std::string(", no address") : ", address " + std::to_string(address);
    };
    for (const auto& entry : data_) {
        script << block(entry.first) << " << EOD\n" << entry.second << "EOD\n";
    }
    script << "plot ";
    const char* separator = "";
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        for (const auto& entry : data_) {
            script << separator << block(entry.first) << " using 1:" << i + 2
                   << " with lines linewidth 1.5 title "
                   << Quoted(units_.Label(*fields_[i]) + named(entry.first));
            separator = ", ";
        }
    }
    script << "\n";
    return script.str();
}

bool Plot::Draw(const std::string& out) const {
    const std::string shown = Printable(out);
    const auto fail = [&](const std::string& why) {
        std::cerr << "rxp-record: " << why << "; " << shown << " not written" << std::endl;
        return false;
    };
    // A device or a FIFO (/dev/stdout, a pipe) is written into; a file is replaced only by a
    // whole plot, through a new file in the same folder (a link is followed to its file).
    std::error_code ec;
    std::string target = out;
    struct stat st {};
    const bool exists = stat(out.c_str(), &st) == 0;
    int fd;
    std::string temp;
    if (exists && !S_ISREG(st.st_mode)) {
        fd = open(out.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return fail(std::string("cannot open it: ") + std::strerror(errno));
    } else {
        if (exists) {
            const std::filesystem::path resolved = std::filesystem::canonical(out, ec);
            if (!ec) target = resolved.string();
        }
        temp = target + ".XXXXXX";
        fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) {
            return fail("cannot create a file beside it: " + std::string(std::strerror(errno)));
        }
        // mkostemp makes it for its owner only; a plot is as readable as any new file.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }
    const int status = RunGnuplot(Script(), fd);
    const int close_error = close(fd) != 0 ? errno : 0;
    const auto give_up = [&](const std::string& why) {
        if (!temp.empty()) unlink(temp.c_str());
        return fail(why);
    };
    if (status < 0) {
        return give_up(errno == ENOENT
                           ? "gnuplot failed: not installed (Debian: apt-get install gnuplot-nox)"
                           : "cannot start gnuplot: " + std::string(std::strerror(errno)));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return give_up(WIFEXITED(status)
                           ? "gnuplot failed (exit status " + std::to_string(WEXITSTATUS(status)) +
                                 ")"
                           : "gnuplot failed (signal " + std::to_string(WTERMSIG(status)) + ")");
    }
    if (close_error != 0)
        return give_up(std::string("cannot write: ") + std::strerror(close_error));
    if (!temp.empty() && rename(temp.c_str(), target.c_str()) != 0) {
        return give_up(std::string("cannot rename the new file to it: ") + std::strerror(errno));
    }
    return true;
}

}  // namespace rxp::record
