// The built programs end to end: rxp-sim on a real pseudo-terminal driven by the plug-in's
// device, its signals and exit codes, and rxp-record's inputs and exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "tests/tools/sim_wire.h"
#include "tools/common/history_db.h"

using rxptest::Bytes;

namespace {

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "/" + name + "-" + std::to_string(getpid());
}

// A child process with its standard output and error on pipes.
class Child {
public:
    explicit Child(std::vector<std::string> args, const std::string& input = "") {
        int out[2], err[2], in[2];
        EXPECT_EQ(pipe(out), 0);
        EXPECT_EQ(pipe(err), 0);
        EXPECT_EQ(pipe(in), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) close(fd);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        close(in[0]);
        if (!input.empty()) {
            EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        }
        close(in[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // One line of standard output, without its newline; empty after `timeout_ms`.
    std::string ReadLine(int timeout_ms) {
        std::string line;
        char c;
        pollfd p{out_, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) > 0 && read(out_, &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }
    // Waits for the exit; returns the exit code, or 128 + signal.
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        stdout_ += Drain(out_);
        stderr_ = Drain(err_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

private:
    static std::string Drain(int fd) {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0) all.append(buf, static_cast<std::size_t>(n));
        return all;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    std::string stdout_;
    std::string stderr_;
};

// The plug-in's device on the simulator's pseudo-terminal: every command written to the line,
// every chunk read from it handed to process.
class LineDriver {
public:
    explicit LineDriver(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0) << path;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        device_.data_id = 77;
        device_.InitSetting(Json::Value(Json::objectValue));
    }
    ~LineDriver() { close(fd_); }

    // Runs one poll; true when it completed within the time limit.
    bool Poll(int timeout_ms) {
        const std::size_t published = host_.published.size();
        device_.RefreshStatus();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (host_.published.size() == published) {
            while (written_ < host_.sent.size()) {
                const Bytes& cmd = host_.sent[written_++];
                if (write(fd_, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size())) {
                    return false;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            unsigned char buf[256];
            const ssize_t n = read(fd_, buf, sizeof(buf));
            if (n <= 0) return false;
            ++chunks_;
            device_.process(buf, static_cast<unsigned int>(n));
        }
        return true;
    }

    rxptest::RecordingHost host_;
    rxptest::WiredDevice device_;
    std::size_t chunks_ = 0;

private:
    int fd_ = -1;
    std::size_t written_ = 0;
    rxptest::ObserverGuard guard_{device_, host_};
};

TEST(SimProgram, PlugInPollsTheSimulatorOverAPseudoTerminalAndSigtermEndsIt) {
    const std::string link = TempPath("rxp-line");
    Child sim({RXP_SIM_PATH, "--baud", "0", "--link", link, "--scenario",
               RXP_SOURCE_DIR "/examples/scenario-demo.json", "--split", "6", "--noise", "9",
               "--seed", "5", "--log"});
    const std::string pty = sim.ReadLine(5000);
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << "first line: " << pty;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(pty, target);

    {
        LineDriver line(link);
        for (int cycle = 1; cycle <= 2; ++cycle) ASSERT_TRUE(line.Poll(5000)) << "cycle " << cycle;
        ASSERT_EQ(line.host_.published.size(), 2u);
        EXPECT_EQ(line.host_.published[0].record[90], 0x00);
        EXPECT_EQ(line.host_.published[1].record[90], 0x10);  // module 7 fan from cycle 2
        Bytes healthy(rxp::tools::Scenario::Healthy().begin(),
                      rxp::tools::Scenario::Healthy().end());
        rxp::tools::WriteField(healthy.data(), 0, 4, 77);
        healthy[22 + 60 + 2] = 118;  // the demo's module 7 current
        EXPECT_EQ(rxptest::WithoutTimestamp(line.host_.published[0].record), healthy);
        EXPECT_GT(line.chunks_, 100u) << "replies arrived in pieces";
    }

    ASSERT_EQ(kill(sim.pid(), SIGTERM), 0);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(sim.err().find("stopped by SIGTERM after 50 replies, 2 completed cycles"),
              std::string::npos)
        << sim.err();
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed on exit";
    // The log names every command and its reply.
    EXPECT_NE(sim.out().find("<- ~ 01 41 0E 01 14 "), std::string::npos) << sim.out();
    EXPECT_NE(sim.out().find("0x41/0x0E module 20"), std::string::npos);
    EXPECT_NE(sim.out().find("reply 50, cycle 2"), std::string::npos);
}

TEST(SimProgram, SigintEndsItCleanlyToo) {
    Child sim({RXP_SIM_PATH});
    ASSERT_FALSE(sim.ReadLine(5000).empty());
    kill(sim.pid(), SIGINT);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(sim.err().find("stopped by SIGINT"), std::string::npos) << sim.err();
}

// At 9600 bit/s a cycle cannot be faster than the line time of its 1236 characters; the figure
// printed shows how close to it the simulator and this test's host come.
TEST(SimProgram, ACycleAtLineSpeedTakesAtLeastItsLineTime) {
    Child sim({RXP_SIM_PATH, "--baud", "9600"});
    const std::string pty = sim.ReadLine(5000);
    ASSERT_FALSE(pty.empty());
    {
        LineDriver line(pty);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(line.Poll(10000));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("cycle at 9600 bit/s: %.4f s, line time 1.2875 s, ratio %.4f, %zu chunks\n",
                    seconds, seconds / 1.2875, line.chunks_);
        EXPECT_GE(seconds, 1.2875);
    }
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, UnusableOptionsAndScenariosGiveTheirExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* message;
    };
    const std::string bad = TempPath("bad-scenario.json");
    std::ofstream(bad) << "{\"modules\": {\"30\": {}}}";
    const std::string deep = TempPath("deep-scenario.json");
    std::ofstream(deep) << std::string(5000, '[') << std::string(5000, ']');
    const std::vector<Case> cases = {
        {{"--no-such-option"}, 2, "unrecognised option"},
        {{"--address", "300"}, 2, "a bus address is 0..255"},
        {{"--port", "/dev/null", "--baud", "0"}, 2, "--port needs a line speed"},
        {{"--scenario", bad}, 1, "modules.30: a module number is 1 to 20"},
        {{"--scenario", "/nonexistent.json"}, 1, "/nonexistent.json: cannot read"},
        {{"--port", "/nonexistent/tty"}, 1, "/nonexistent/tty: cannot open the serial port"},
        // Counts take no sign: wrapped round, -1 was gigabytes of noise, -5 a 49-day delay.
        {{"--noise", "-1"}, 2, "'--noise' is invalid: it takes a whole number, 0 or more"},
        {{"--delay=-5"}, 2, "'--delay' is invalid"},
        {{"--drop-every", "4294967296"}, 2, "'--drop-every' is invalid"},
        {{"--scenario", "/tmp"}, 1, "/tmp: is a directory, not a scenario file"},
        {{"--scenario", deep}, 1, ": not valid JSON: Exceeded stackLimit"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {RXP_SIM_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Child sim(args);
        EXPECT_EQ(sim.Wait(), c.exit_code) << c.args[0];
        EXPECT_NE(sim.err().find(c.message), std::string::npos) << sim.err();
        // A file is named in its message.
        if (c.args[0] == "--scenario") {
            EXPECT_NE(sim.err().find(c.args[1]), std::string::npos);
        }
    }
    Child help({RXP_SIM_PATH, "--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.out().find("Example:"), std::string::npos);
    EXPECT_NE(help.out().find("Exit codes:"), std::string::npos);
    unlink(bad.c_str());
    unlink(deep.c_str());
}

TEST(RecordProgram, ReadsFilesHexAndDatabaseRowsAndRefusesWrongSizes) {
    Bytes rec = rxptest::PowerModel::Distinct(2).ExpectedRecord(31);
    const std::string good = TempPath("rec289.bin");
    const std::string short_file = TempPath("rec288.bin");
    const std::string long_file = TempPath("rec290.bin");
    std::ofstream(good, std::ios::binary).write(reinterpret_cast<char*>(rec.data()), 289);
    std::ofstream(short_file, std::ios::binary).write(reinterpret_cast<char*>(rec.data()), 288);
    Bytes longer = rec;
    longer.push_back(0);
    std::ofstream(long_file, std::ios::binary).write(reinterpret_cast<char*>(longer.data()), 290);

    Child ok({RXP_RECORD_PATH, good});
    EXPECT_EQ(ok.Wait(), 0) << ok.err();
    EXPECT_NE(ok.out().find("  device_id               31\n"), std::string::npos) << ok.out();

    for (const std::string& path : {short_file, long_file}) {
        Child refused({RXP_RECORD_PATH, path});
        EXPECT_EQ(refused.Wait(), 1);
        EXPECT_TRUE(refused.out().empty());
        EXPECT_NE(refused.err().find(path + ": refused: "), std::string::npos) << refused.err();
        EXPECT_NE(refused.err().find("a record is exactly 289 bytes"), std::string::npos);
    }

    Child directory({RXP_RECORD_PATH, "/tmp"});
    EXPECT_EQ(directory.Wait(), 1);
    EXPECT_NE(directory.err().find("/tmp: is a directory, not a record"), std::string::npos)
        << directory.err();

    const std::string hex_file = TempPath("rec.hex");
    std::ofstream(hex_file) << rxptest::ToHex(rec) << "\n";
    Child as_bytes({RXP_RECORD_PATH, hex_file});
    EXPECT_EQ(as_bytes.Wait(), 1);
    EXPECT_NE(as_bytes.err().find("(hex text? add --hex)"), std::string::npos) << as_bytes.err();
    Child as_hex({RXP_RECORD_PATH, "--hex", hex_file});
    EXPECT_EQ(as_hex.Wait(), 0) << as_hex.err();
    unlink(hex_file.c_str());

    Child hex({RXP_RECORD_PATH, "--format", "json"}, rxptest::ToHex(rec) + "\n");
    EXPECT_EQ(hex.Wait(), 0) << hex.err();
    EXPECT_NE(hex.out().find("\"device_id\":31"), std::string::npos) << hex.out();

    const std::string db_path = TempPath("history.db");
    unlink(db_path.c_str());
    {
        rxp::history::HistoryDb db(db_path, rxp::history::HistoryDb::Mode::kCreate);
        for (std::uint32_t id : {41u, 42u, 43u}) {
            rxp::tools::WriteField(rec.data(), 0, 4, id);
            db.Append("2024-05-01T12:00:00", id, rec.data(), rec.size());
        }
        db.Append("2024-05-01T12:00:01", 44, rec.data(), 100);  // a damaged row
    }
    Child last({RXP_RECORD_PATH, "--db", db_path, "--last", "3", "--format", "json"});
    EXPECT_EQ(last.Wait(), 1) << "the damaged row is refused";
    EXPECT_NE(last.err().find("row 4: refused: 100 bytes"), std::string::npos) << last.err();
    EXPECT_NE(last.out().find("\"device_id\":42"), std::string::npos);
    EXPECT_NE(last.out().find("\"device_id\":43"), std::string::npos);
    EXPECT_EQ(last.out().find("\"device_id\":41"), std::string::npos);
    Child row({RXP_RECORD_PATH, "--db", db_path, "--row", "1"});
    EXPECT_EQ(row.Wait(), 0);
    EXPECT_NE(row.out().find("row 1 stored 2024-05-01T12:00:00"), std::string::npos) << row.out();
    Child missing({RXP_RECORD_PATH, "--db", db_path, "--row", "9"});
    EXPECT_EQ(missing.Wait(), 1);
    EXPECT_NE(missing.err().find("no row 9"), std::string::npos);
    Child usage({RXP_RECORD_PATH, "--row", "1"});
    EXPECT_EQ(usage.Wait(), 2);

    for (const std::string& p : {good, short_file, long_file, db_path}) unlink(p.c_str());
}

}  // namespace
