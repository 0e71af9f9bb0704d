// The built programs end to end: rxp-sim on a real pseudo-terminal driven by the plug-in's
// device, its signals and exit codes, and rxp-record's inputs and exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/tools/sim_wire.h"
#include "tools/common/hex.h"
#include "tools/common/history_db.h"
#include "tools/common/record_fields.h"
#include "tools/common/time_text.h"

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
    // Waits for the exit, reading both pipes meanwhile so that a long output cannot block the
    // child; a child still running after a minute is killed. Returns the exit code, or 128 +
    // signal.
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        std::string* text[2] = {&stdout_, &stderr_};
        while (p[0].fd >= 0 || p[1].fd >= 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "child still running after a minute";
                kill(pid_, SIGKILL);
                break;
            }
            if (poll(p, 2, 1000) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (p[i].fd < 0 || p[i].revents == 0) continue;
                char buf[4096];
                const ssize_t n = read(p[i].fd, buf, sizeof(buf));
                if (n > 0) {
                    text[i]->append(buf, static_cast<std::size_t>(n));
                } else {
                    p[i].fd = -1;  // end of output
                }
            }
        }
        int status = 0;
        wait4(pid_, &status, 0, &usage_);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }
    long peak_rss_kb() const { return usage_.ru_maxrss; }  // after Wait

private:
    rusage usage_{};
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
    // The log names every command and its reply, decoded, and the noise before replies.
    EXPECT_NE(sim.out().find(" -> ~ addr 01 codes 41/0E len 1 data 14 sum "), std::string::npos)
        << sim.out();
    EXPECT_NE(sim.out().find("  0x41/0x0E module 20\n"), std::string::npos);
    EXPECT_NE(sim.out().find(" <- noise "), std::string::npos);
    EXPECT_NE(sim.out().find(" CR  reply 50, cycle 2, in "), std::string::npos);
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

// The simulator's line read as a host reads it: commands written, reply frames cut at their end
// character.
class RawLine {
public:
    explicit RawLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        EXPECT_GE(fd_, 0) << path;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawLine() { close(fd_); }
    void Send(const Bytes& command) {
        EXPECT_EQ(write(fd_, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    }
    // The next frame's bytes (start to end character), empty when none completes in time.
    Bytes Frame(int timeout_ms) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto end = std::find(pending_.begin(), pending_.end(), 0x0D);
            if (end != pending_.end()) {
                const auto start = std::find(pending_.begin(), end, 0x7E);
                Bytes frame(start, end + 1);
                pending_.erase(pending_.begin(), end + 1);
                return frame;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            unsigned char buf[256];
            const ssize_t n = read(fd_, buf, sizeof(buf));
            if (n <= 0) return {};
            pending_.insert(pending_.end(), buf, buf + n);
        }
    }

private:
    int fd_;
    Bytes pending_;
};

// A reply frame's address byte and its first two payload bytes as a number (the AC value).
std::pair<int, int> AddressAndValue(const Bytes& frame) {
    Bytes raw;
    for (std::size_t i = 1; i + 2 < frame.size(); i += 2) {
        raw.push_back(static_cast<unsigned char>((frame[i] - 0x30) * 16 + (frame[i + 1] - 0x30)));
    }
    if (raw.size() < 7) return {-1, -1};
    return {raw[0], raw[4] * 256 + raw[5]};
}

Bytes AcValueCommand(unsigned char address) {
    return rxptest::EncodeFrame({address, 0x40, 0x02, 0x00});
}

// Power systems on one line, each with its own values; faults aimed at one; a delayed reply of
// one that comes while the other is being polled, whose replies are not held up; and two
// cabinets at one address that both reply.
TEST(SimProgram, ABusAnswersEachAddressItselfAndADelayedReplyComesAmidTheOthers) {
    const std::string one = TempPath("bus-one.json"), two = TempPath("bus-two.json");
    std::ofstream(one) << R"({"ac_value": 111})";
    std::ofstream(two) << R"({"ac_value": 222})";
    Child sim({RXP_SIM_PATH, "--baud", "0", "--device", "1=" + one, "--device", "2=" + two,
               "--fault-address", "2", "--delay", "1500", "--delay-every", "2", "--shared-address",
               "--device", "5=" + one, "--device", "5=" + two});
    const std::string pty = sim.ReadLine(5000);
    ASSERT_FALSE(pty.empty());
    {
        RawLine line(pty);
        line.Send(AcValueCommand(2));
        EXPECT_EQ(AddressAndValue(line.Frame(5000)), std::make_pair(2, 222));
        line.Send(AcValueCommand(3));  // nobody at address 3
        line.Send(AcValueCommand(5));
        EXPECT_EQ(AddressAndValue(line.Frame(5000)), std::make_pair(5, 111));
        EXPECT_EQ(AddressAndValue(line.Frame(5000)), std::make_pair(5, 222));
        line.Send(AcValueCommand(1));
        EXPECT_EQ(AddressAndValue(line.Frame(5000)), std::make_pair(1, 111));
        // The second reply of address 2 comes 1.5 s late; address 1 is polled meanwhile.
        line.Send(AcValueCommand(2));
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::pair<int, int>> seen;
        std::vector<double> at;
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(3000)) {
            line.Send(AcValueCommand(1));
            for (Bytes f = line.Frame(1000); !f.empty(); f = line.Frame(1000)) {
                seen.push_back(AddressAndValue(f));
                at.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                                 .count());
                if (seen.back().first != 2) break;  // the late reply came first: 1's follows
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const auto late = std::find(seen.begin(), seen.end(), std::make_pair(2, 222));
        ASSERT_NE(late, seen.end()) << "the delayed reply came";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), std::make_pair(2, 222)), 1);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), std::make_pair(1, 111)),
                  static_cast<long>(seen.size()) - 1)
            << "every other frame is an intact reply of address 1";
        EXPECT_GT(late - seen.begin(), 5) << "address 1 answered while the reply of 2 was held";
        EXPECT_GT(at[late - seen.begin()], 1.2);
        EXPECT_LT(at.front(), 1.0);
    }
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(sim.err().find("address 1: "), std::string::npos) << sim.err();
    unlink(one.c_str());
    unlink(two.c_str());
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A capture of two runs, the second torn by a crash: shown run by run, replayed run after run
// until it is played out, which rxp-sim says once; then it answers no more, or starts over.
TEST(SimProgram, AReplayThatRunsOutSaysSoOnceAndStopsOrStartsOver) {
    const std::string path = TempPath("two-runs.capture");
    unlink(path.c_str());
    const Bytes c0 = rxptest::CommandTo(1, 0);
    rxp::sim::PowerSystem power(rxp::tools::Scenario{}, 1, {});
    const Bytes r0 = power.OnFrame({c0, rxp::sim::Clock::now()}).reply;
    rxptest::AppendCaptureRun(path, {{c0, r0}});
    rxptest::AppendCaptureRun(path, {{c0, r0}});
    std::ofstream(path, std::ios::app) << "0.1";
    const std::string torn = "rxp-sim: warning: " + path + ": line ";

    Child show({RXP_SIM_PATH, "--show-capture", path});
    EXPECT_EQ(show.Wait(), 0) << show.err();
    EXPECT_EQ(Count(show.out(), "0x40/0x01 AC phases, poll 1 step 1"), 2u) << show.out();
    EXPECT_EQ(Count(show.out(), "== run "), 2u) << show.out();
    EXPECT_NE(show.err().find(torn), std::string::npos) << show.err();
    Child second({RXP_SIM_PATH, "--show-capture", path, "--run", "2"});
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(Count(second.out(), "0x40/0x01 AC phases"), 1u) << second.out();
    Child third({RXP_SIM_PATH, "--show-capture", path, "--run", "3"});
    EXPECT_EQ(third.Wait(), 2);
    EXPECT_NE(third.err().find("--run 3: " + path + " holds 2 runs"), std::string::npos);

    for (bool loop : {false, true}) {
        std::vector<std::string> args = {RXP_SIM_PATH, "--baud", "0", "--replay", path};
        if (loop) args.push_back("--loop");
        Child sim(args);
        const std::string pty = sim.ReadLine(5000);
        ASSERT_FALSE(pty.empty());
        std::size_t answered = 0;
        {
            RawLine line(pty);
            for (int i = 0; i < 5; ++i) {
                line.Send(c0);
                const Bytes reply = line.Frame(loop ? 5000 : 500);
                if (reply.empty()) continue;
                EXPECT_EQ(reply, r0);
                ++answered;
            }
        }
        kill(sim.pid(), SIGTERM);
        EXPECT_EQ(sim.Wait(), 0);
        EXPECT_EQ(answered, loop ? 5u : 2u) << loop;
        EXPECT_EQ(Count(sim.err(), loop ? "rxp-sim: the capture is played out for address 1; it "
                                          "starts over (--loop)"
                                        : "rxp-sim: the capture is played out for address 1 (no "
                                          "0x40/0x01 AC phases after its command 2 of 2); "
                                          "address 1 is not answered any more"),
                  1u)
            << sim.err();
        EXPECT_EQ(Count(sim.err(), torn), 1u) << sim.err();
    }
    unlink(path.c_str());
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
    const std::string not_capture = TempPath("not-a-capture");
    std::ofstream(not_capture) << "{}\n0.1 1 1 -> 7E0D\n";
    std::vector<Case> cases = {
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
        {{"--replay", "/nonexistent.capture"},
         1,
         "cannot read capture file '/nonexistent.capture'"},
        {{"--show-capture", not_capture}, 1, ": line 1: expected: seconds poll step dir bytes"},
        {{"--replay", bad, "--scenario", bad}, 2, "--replay answers from a capture"},
        {{"--replay", bad, "--drop-every", "3"}, 2, "it takes no fault options"},
        {{"--as-captured"}, 2, "--as-captured goes with --replay FILE"},
        {{"--device", "1", "--device", "1"}, 2, "--device: address 1 given twice"},
        {{"--device", "256"}, 2, "--device 256: a bus address is 0..255"},
        {{"--device", "x=a.json"}, 2, "--device x=a.json: expected ADDRESS or ADDRESS=SCENARIO"},
        {{"--device", "1", "--address", "2"}, 2, "--device and --address do not mix"},
        {{"--device", "1", "--fault-address", "2"}, 2, "--fault-address 2: no power system"},
        {{"--shared-address"}, 2, "--shared-address goes with --device"},
        {{"--loop"}, 2, "--loop goes with --replay FILE"},
        {{"--run", "1"}, 2, "--run goes with --replay FILE or --show-capture FILE"},
        {{"--show-capture", not_capture, "--run", "0"}, 2, "--run counts from 1"},
        {{"--device", "1=" + bad}, 1, "modules.30: a module number is 1 to 20"},
        {{"--group", "no-such-group"}, 2, "--group no-such-group: no such group"},
        {{"--mode", "0860"}, 2, "--mode 0860: permission bits in octal, 0000 to 0777"},
        {{"--mode", "1777"}, 2, "--mode 1777: permission bits in octal, 0000 to 0777"},
        {{"--port", "/dev/null", "--mode", "0660"}, 2, "--group and --mode are for the pseudo"},
    };
    std::vector<std::string> many;
    for (int a = 1; a <= 33; ++a) many.insert(many.end(), {"--device", std::to_string(a)});
    cases.push_back({many, 2, "--device: at most 32 power systems on one line, 33 given"});
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
    unlink(not_capture.c_str());
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

// Two hours of one-second history in a zone two hours east of UTC, read back as CSV over a
// range given in another zone, with the site's units, as a plot, and from an events file and
// hex lines on standard input.
TEST(RecordProgram, CsvOfChosenFieldsOverATimeRangeWithUnitsAndAPlot) {
    const std::string db_path = TempPath("day.db");
    const std::string units = TempPath("units.json");
    const std::string png = TempPath("plot.png");
    unlink(db_path.c_str());
    Child fill({RXP_HISTORY_FILL_PATH, db_path, "7200", "2026-06-01T00:00:00+02:00"});
    ASSERT_EQ(fill.Wait(), 0) << fill.err();

    // 00:30 to 01:00 at +02:00 is 22:30 to 23:00 UTC the day before: rows 1801 to 3600.
    Child csv({RXP_RECORD_PATH, "--db", db_path, "--format", "csv", "--fields",
               "dc_value1,phase_a_value1", "--since", "2026-06-01T00:30:00+02:00", "--until",
               "2026-05-31T23:00:00Z"});
    ASSERT_EQ(csv.Wait(), 0) << csv.err();
    std::istringstream lines(csv.out());
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 1801u);
    EXPECT_EQ(rows[0], "time,row,dc_value1,phase_a_value1");
    // The same row through the JSON reader: the CSV carries its stored values.
    Child json({RXP_RECORD_PATH, "--db", db_path, "--row", "1801", "--format", "json"});
    ASSERT_EQ(json.Wait(), 0);
    Json::Value j;
    std::istringstream(json.out()) >> j;
    const std::string stored = j["stored"].asString();
    EXPECT_EQ(rows[1], stored + ",1801," + j["fields"]["dc_value1"].asString() + "," +
                           j["fields"]["phase_a_value1"].asString());
    EXPECT_EQ(rxp::tools::ParseIsoTime(stored), rxp::tools::ParseIsoTime("2026-05-31T22:30:00Z"));
    EXPECT_EQ(rows.back().substr(rows.back().find(',') + 1, 5), "3600,");

    std::ofstream(units) << R"({"phase_a_value1": {"scale": 0.1, "unit": "V"}})";
    Child scaled({RXP_RECORD_PATH, "--db", db_path, "--format", "csv", "--fields", "phase_a_value1",
                  "--units", units, "--since", "2026-05-31T22:30:00Z", "--until",
                  "2026-05-31T22:30:01Z"});
    ASSERT_EQ(scaled.Wait(), 0) << scaled.err();
    const double stored_value = j["fields"]["phase_a_value1"].asDouble();
    char expected[64];
    std::snprintf(expected, sizeof(expected), ",1801,%.10g\n", stored_value * 0.1);
    EXPECT_NE(scaled.out().find("time,row,phase_a_value1 (V)\n"), std::string::npos);
    EXPECT_NE(scaled.out().find(expected), std::string::npos) << scaled.out();

    Child plot({RXP_RECORD_PATH, "--db", db_path, "--plot", "phase_a_value1,dc_value1", "--units",
                units, "--out", png});
    ASSERT_EQ(plot.Wait(), 0) << plot.err();
    std::ifstream in(png, std::ios::binary);
    Bytes head(24);
    in.read(reinterpret_cast<char*>(head.data()), 24);
    EXPECT_EQ(Bytes(head.begin(), head.begin() + 8),
              (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    EXPECT_EQ((head[16] << 24) | (head[17] << 16) | (head[18] << 8) | head[19], 960)
        << "image width";

    // Without gnuplot on the PATH: named, exit 1, no file.
    const std::string none = TempPath("none.png");
    Child no_gnuplot({"/usr/bin/env", "PATH=/nonexistent", RXP_RECORD_PATH, "--db", db_path,
                      "--plot", "dc_value1", "--out", none});
    EXPECT_EQ(no_gnuplot.Wait(), 1);
    EXPECT_NE(no_gnuplot.err().find("gnuplot failed: not installed"), std::string::npos)
        << no_gnuplot.err();
    EXPECT_NE(access(none.c_str(), F_OK), 0);

    Child empty({RXP_RECORD_PATH, "--db", db_path, "--format", "csv", "--since", "2030-01-01"});
    EXPECT_EQ(empty.Wait(), 1);
    EXPECT_NE(empty.err().find("no record in the range"), std::string::npos) << empty.err();
    Child bad_time({RXP_RECORD_PATH, "--db", db_path, "--since", "yesterday"});
    EXPECT_EQ(bad_time.Wait(), 2);
    Child bad_field({RXP_RECORD_PATH, "--db", db_path, "--format", "csv", "--fields", "volts"});
    EXPECT_EQ(bad_field.Wait(), 1);
    EXPECT_NE(bad_field.err().find("'volts' is not a field"), std::string::npos);

    // Standard input: the publications of an events file, other events passed over, each at
    // its event's time; and hex lines, one record each, at their own time stamps.
    Bytes a = rxptest::PowerModel::Distinct(7).ExpectedRecord(51);
    Bytes b = rxptest::PowerModel::Distinct(8).ExpectedRecord(52);
    const std::string events = R"({"event":"cycle","cycle":1,"time":"2024-05-01T12:00:01+02:00"})"
                               "\n"
                               R"({"data_id":5112,"event":"publish","record":")" +
                               rxp::hex::Lower(a.data(), a.size()) +
                               R"(","time":"2024-05-01T12:00:02+02:00"})"
                               "\n"
                               R"({"data_id":5112,"event":"publish","record":")" +
                               rxp::hex::Lower(b.data(), b.size()) +
                               R"(","time":"2024-05-01T12:00:03+02:00"})" + "\n";
    Child from_events({RXP_RECORD_PATH, "--format", "csv", "--fields", "device_id", "--until",
                       "2024-05-01T10:00:03Z"},
                      events);
    ASSERT_EQ(from_events.Wait(), 0) << from_events.err();
    EXPECT_EQ(from_events.out(), "time,row,device_id\n2024-05-01T12:00:02+02:00,,51\n");
    b[282] = 0xE8, b[283] = 0x07, b[284] = 5, b[285] = 1, b[286] = 12, b[287] = 0, b[288] = 3;
    Child from_hex({RXP_RECORD_PATH, "--format", "csv", "--fields", "device_id"},
                   rxptest::ToHex(a) + "\n\n" + rxp::hex::Lower(b.data(), b.size()) + "\n");
    ASSERT_EQ(from_hex.Wait(), 0) << from_hex.err();
    EXPECT_EQ(from_hex.out(), "time,row,device_id\n,,51\n2024-05-01T12:00:03,,52\n");

    for (const std::string& p : {db_path, units, png}) unlink(p.c_str());
}

// A publication event of rxp-host's events file.
std::string PublishEvent(const Bytes& record, const std::string& time) {
    return R"({"data_id":5112,"event":"publish","record":")" +
           rxp::hex::Lower(record.data(), record.size()) + R"(","time":")" + time + "\"}";
}

// Standard input as it comes from sites: an events file left by a host that crashed (a torn
// line with the next start event glued to it, a torn last line), ranges and fields, and file
// contents with control characters, which messages show escaped.
TEST(RecordProgram, StandardInputNamesBadLinesShowsTheRestAndChecksItsOptions) {
    const Bytes a = rxptest::PowerModel::Distinct(7).ExpectedRecord(51);
    const Bytes b = rxptest::PowerModel::Distinct(8).ExpectedRecord(52);
    const std::string pa = PublishEvent(a, "2024-05-01T12:00:02+02:00");
    const std::string pb = PublishEvent(b, "2024-05-01T12:00:03+02:00");
    const std::string start = R"({"event":"start","time":"2024-05-01T12:00:09+02:00"})";
    const auto value = [&](const char* name) {
        return std::to_string(rxp::tools::ReadField(a.data(), *rxp::tools::FindRecordField(name)));
    };
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        int exit_code;
        std::string out;
        std::vector<std::string> err;
    } cases[] = {
        {"three fields, in their order",
         {"--format", "csv", "--fields", "dc_value1,device_id,phase_a_value1"},
         pa + "\n",
         0,
         "time,row,dc_value1,device_id,phase_a_value1\n2024-05-01T12:00:02+02:00,," +
             value("dc_value1") + ",51," + value("phase_a_value1") + "\n",
         {}},
        {"--since at a record's time takes it",
         {"--format", "csv", "--fields", "device_id", "--since", "2024-05-01T10:00:03Z"},
         pa + "\n" + pb + "\n",
         0,
         "time,row,device_id\n2024-05-01T12:00:03+02:00,,52\n",
         {}},
        {"torn lines",
         {"--format", "csv", "--fields", "device_id"},
         pa + "\n" + pb.substr(0, 300) + start + "\n" + pb + "\n" + pa.substr(0, 40),
         1,
         "time,row,device_id\n2024-05-01T12:00:02+02:00,,51\n2024-05-01T12:00:03+02:00,,52\n",
         {"rxp-record: standard input line 2: not an event (JSON object)\n",
          "rxp-record: standard input line 4: not an event (JSON object) (the last line has no "
          "line break: cut short?)\n",
          "rxp-record: standard input: 2 lines left out, the other records shown\n"}},
        {"control characters",
         {"--format", "csv"},
         "01\x1b[2J\n",
         1,
         "",
         {"standard input line 1: not hex text: character 3 ('\\x1B') is not a hex digit"}},
        {"impossible date", {"--since", "2026-02-30"}, pa, 2, "", {"2026-02 has 28 days"}},
        {"empty --since", {"--since", ""}, pa, 2, "", {"--since needs a value, got an empty one"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {RXP_RECORD_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Child record(args, c.input);
        EXPECT_EQ(record.Wait(), c.exit_code) << c.what << "\n" << record.err();
        EXPECT_EQ(record.out(), c.out) << c.what;
        for (const std::string& e : c.err) {
            EXPECT_NE(record.err().find(e), std::string::npos) << c.what << "\n" << record.err();
        }
        EXPECT_EQ(record.err().find('\x1b'), std::string::npos) << c.what;
    }
}

// Standard input is read a line at a time: 48 MB of events take no more memory than 1 MB does.
TEST(RecordProgram, AnEventsFileOfAnySizeIsReadInBoundedMemory) {
    const std::string line = PublishEvent(rxptest::PowerModel::Distinct(3).ExpectedRecord(53),
                                          "2024-05-01T12:00:00+02:00") +
                             "\n";
    long peak_kb[2] = {};
    const std::size_t megabytes[2] = {1, 48};
    for (int i = 0; i < 2; ++i) {
        const std::string events = TempPath("events.jsonl");
        {
            std::ofstream out(events);
            for (std::size_t size = 0; size < (megabytes[i] << 20); size += line.size())
                out << line;
        }
        // The sanitizers' quarantine holds freed memory back; kept small, it does not count.
        Child record(
            {"/bin/sh", "-c",
             "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=4 exec \"$0\" "
             "--format csv --fields device_id --since 2030-01-01 < \"$1\"",
             RXP_RECORD_PATH, events});
        EXPECT_EQ(record.Wait(), 1);
        EXPECT_NE(record.err().find("no record in the range"), std::string::npos) << record.err();
        peak_kb[i] = record.peak_rss_kb();
        std::printf("rxp-record over %zu MB of events: peak RSS %ld kB\n", megabytes[i],
                    peak_kb[i]);
        unlink(events.c_str());
    }
    EXPECT_LT(peak_kb[1], peak_kb[0] + 8 * 1024);
}

// Texts of a hostile units file reach gnuplot only as texts: no command in them runs, and the
// plot is drawn.
TEST(RecordProgram, UnitsNeverReachGnuplotAsCommands) {
    const std::string marker = TempPath("gnuplot-ran");
    const std::string units = TempPath("hostile-units.json");
    const std::string png = TempPath("hostile.png");
    unlink(marker.c_str());
    std::ofstream(units) << R"({"dc_value1": {"unit": "V\nsystem(\"touch )" << marker
                         << R"(\")\n"}, "phase_a_value1": {"unit": "V'`touch )" << marker
                         << R"(`'\r!touch )" << marker << R"("}})";
    const Bytes a = rxptest::PowerModel::Distinct(7).ExpectedRecord(51);
    const std::string input = PublishEvent(a, "2024-05-01T12:00:02+02:00") + "\n" +
                              PublishEvent(a, "2024-05-01T12:00:03+02:00") + "\n";
    for (const char* fields : {"dc_value1", "dc_value1,phase_a_value1"}) {
        Child plot({RXP_RECORD_PATH, "--plot", fields, "--units", units, "--out", png}, input);
        EXPECT_EQ(plot.Wait(), 0) << fields << "\n" << plot.err();
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a command in a unit ran";
        std::ifstream in(png, std::ios::binary);
        char head[8] = {};
        in.read(head, 8);
        EXPECT_EQ(std::string(head, 8), "\x89PNG\r\n\x1a\n") << fields;
    }
    for (const std::string& p : {marker, units, png}) unlink(p.c_str());
}

// A plot that gnuplot does not finish leaves --out as it was, and says so.
TEST(RecordProgram, AFailedPlotLeavesTheOutputFileAsItWas) {
    // A gnuplot that writes part of an image where it is told to, then fails.
    const std::string bin = TempPath("failing-gnuplot");
    mkdir(bin.c_str(), 0755);
    const std::string fake = bin + "/gnuplot";
    std::ofstream(fake)
        << "#!/bin/sh\n"
           "script=$(cat \"${1:--}\")\n"
           "out=$(printf '%s\\n' \"$script\" | sed -n \"s/^set output '\\(.*\\)'$/\\1/p\")\n"
           "if [ -n \"$out\" ]; then printf partial >\"$out\"; else printf partial; fi\n"
           "exit 1\n";
    chmod(fake.c_str(), 0755);
    const std::string png = bin + "/plot.png";
    std::ofstream(png) << "the plot before";
    const Bytes a = rxptest::PowerModel::Distinct(7).ExpectedRecord(51);
    Child plot({"/usr/bin/env", "PATH=" + bin + ":/usr/bin:/bin", RXP_RECORD_PATH, "--plot",
                "dc_value1", "--out", png},
               PublishEvent(a, "2024-05-01T12:00:02+02:00") + "\n");
    EXPECT_EQ(plot.Wait(), 1);
    EXPECT_NE(plot.err().find("gnuplot failed (exit status 1); " + png + " not written"),
              std::string::npos)
        << plot.err();
    std::ifstream in(png);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the plot before");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(bin))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"gnuplot", "plot.png"})) << "no file left beside it";
    std::filesystem::remove_all(bin);
}

}  // namespace

namespace {

// A gnuplot in `bin` that keeps the script it is given in `bin`/script.gp.
void KeepScriptGnuplot(const std::string& bin) {
    mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/gnuplot") << "#!/bin/sh\ncat \"$1\" >'" << bin << "/script.gp'\n";
    chmod((bin + "/gnuplot").c_str(), 0755);
}

// The lines of each data block of the script the gnuplot above kept, by the block's name.
std::map<std::string, std::vector<std::string>> DataBlocks(const std::string& bin) {
    std::ifstream in(bin + "/script.gp");
    std::map<std::string, std::vector<std::string>> blocks;
    std::vector<std::string>* inside = nullptr;
    for (std::string line; std::getline(in, line);) {
        const std::size_t head = line.find(" << EOD");
        if (line == "EOD") {
            inside = nullptr;
        } else if (inside != nullptr) {
            inside->push_back(line);
        } else if (head != std::string::npos) {
            inside = &blocks[line.substr(0, head)];
        }
    }
    return blocks;
}

// The cells of each CSV line rxp-record wrote, the head first.
std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        rows.emplace_back();
        std::istringstream cells(line + ",");
        for (std::string cell; std::getline(cells, cell, ',');) rows.back().push_back(cell);
    }
    return rows;
}

}  // namespace

// Six minutes without records in a run of one-second cycles (one failed poll, 4 s, among them):
// the plot's lines break there and only there, and --mark-gaps names the row after it.
TEST(RecordProgram, MissingCyclesBreakThePlotAndAreMarkedInTheCsv) {
    const std::string bin = TempPath("gap-gnuplot");
    KeepScriptGnuplot(bin);
    const std::string db_path = bin + "/history.db";
    Bytes rec = rxptest::PowerModel::Distinct(3).ExpectedRecord(1);
    rec.resize(289, 0);
    {
        rxp::history::HistoryDb db(db_path, rxp::history::HistoryDb::Mode::kCreate);
        int second = 0;
        for (int i = 0; i < 60; ++i) {
            second += i == 30 ? 4 : 1 + i % 3 / 2;  // 1 or 2 s a cycle; one failed poll
            if (i == 45) second += 360;
            rxp::tools::WriteField(rec.data(), 227, 2, static_cast<std::uint32_t>(i));
            db.Append(rxp::tools::IsoTime(rxp::tools::ParseIsoTime("2024-05-01T12:00:00Z") +
                                          std::chrono::seconds(second)),
                      1, rec.data(), rec.size());
        }
    }
    Child plot({"/usr/bin/env", "PATH=" + bin + ":/usr/bin:/bin", RXP_RECORD_PATH, "--db", db_path,
                "--plot", "dc_value1", "--out", bin + "/plot.png"});
    ASSERT_EQ(plot.Wait(), 0) << plot.err();
    const std::vector<std::string> data = DataBlocks(bin)["$data"];
    ASSERT_EQ(data.size(), 61u) << "60 points and the line break";
    const auto blank = std::find(data.begin(), data.end(), "");
    ASSERT_NE(blank, data.end());
    EXPECT_EQ(blank - data.begin(), 45) << "the break between the 45th and 46th record";
    EXPECT_EQ(std::count(data.begin(), data.end(), ""), 1);

    Child csv({RXP_RECORD_PATH, "--db", db_path, "--format", "csv", "--fields", "dc_value1",
               "--mark-gaps"});
    ASSERT_EQ(csv.Wait(), 0) << csv.err();
    const std::vector<std::vector<std::string>> rows = CsvRows(csv.out());
    ASSERT_EQ(rows.size(), 61u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "row", "dc_value1", "gap_seconds"}));
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].back(), i == 46 ? "361" : "") << rows[i][0];
    }
    std::filesystem::remove_all(bin);
}

// A bus of two devices polled every 10 s, address 2 a second after address 1, and address 2
// silent for 7 rounds: its own records have the one gap, 80 s; the rows of the two devices
// interleaved (1 s, then 9 s apart) make none, and address 1's line is not broken.
TEST(RecordProgram, ABusHistoryHasGapsOnlyWhereADevicesOwnCyclesAreMissing) {
    const std::string bin = TempPath("bus-gap-gnuplot");
    KeepScriptGnuplot(bin);
    const std::string db_path = bin + "/history.db";
    Bytes rec = rxptest::PowerModel::Distinct(3).ExpectedRecord(1);
    rec.resize(289, 0);
    const auto silent = [](int address, int round) {
        return address == 2 && round >= 25 && round < 32;
    };
    {
        rxp::history::HistoryDb db(db_path, rxp::history::HistoryDb::Mode::kCreate);
        for (int round = 0; round < 40; ++round) {
            for (int address : {1, 2}) {
                if (silent(address, round)) continue;
                db.Append(rxp::tools::IsoTime(rxp::tools::ParseIsoTime("2024-05-01T12:00:00Z") +
                                              std::chrono::seconds(10 * round + address - 1)),
                          10 + address, rec.data(), rec.size(), address);
            }
        }
    }
    Child csv({RXP_RECORD_PATH, "--db", db_path, "--format", "csv", "--fields", "dc_value1",
               "--mark-gaps"});
    ASSERT_EQ(csv.Wait(), 0) << csv.err();
    const std::vector<std::vector<std::string>> rows = CsvRows(csv.out());
    ASSERT_EQ(rows.size(), 1u + 40 + 33);
    ASSERT_EQ(rows[0],
              (std::vector<std::string>{"time", "row", "address", "dc_value1", "gap_seconds"}));
    std::vector<std::string> gaps;  // "address row seconds" of each marked row
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (!rows[i].back().empty())
            gaps.push_back(rows[i][2] + " " + rows[i][1] + " " + rows[i].back());
    }
    // Rows 1-50 the first 25 rounds, 51-57 address 1 alone, 58 and 59 the round after.
    EXPECT_EQ(gaps, (std::vector<std::string>{"2 59 80"}));

    Child plot({"/usr/bin/env", "PATH=" + bin + ":/usr/bin:/bin", RXP_RECORD_PATH, "--db", db_path,
                "--plot", "dc_value1", "--out", bin + "/plot.png"});
    ASSERT_EQ(plot.Wait(), 0) << plot.err();
    std::map<std::string, std::vector<std::string>> blocks = DataBlocks(bin);
    ASSERT_EQ(blocks.size(), 2u) << "a line of each address";
    EXPECT_EQ(blocks["$address1"].size(), 40u) << "address 1's line unbroken";
    const std::vector<std::string>& second = blocks["$address2"];
    ASSERT_EQ(second.size(), 33u + 1) << "address 2's line broken once";
    EXPECT_EQ(std::find(second.begin(), second.end(), "") - second.begin(), 25);
    std::filesystem::remove_all(bin);
}
