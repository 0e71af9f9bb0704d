// What rxp-host tells people, end to end against the simulator: its standard output (the
// plug-in's lines tagged, dropped or sent to the events file, the summaries, a standard output
// nobody reads), and the one-line errors that name the thing, the reason and the fix.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "tools/rxp-host/tests/host_fault_support.h"

using hosttest::milliseconds;

namespace {

class HostMessages : public hosttest::SimAndHostTest {};

TEST_F(HostMessages, MoreSummariesThanTheQueueHoldsReadPromptlyAreAllWritten) {
    StartSim(Json::Value(Json::objectValue), {});
    // About 270 bytes a cycle: 400 cycles are more than 100 KiB, the queue holds 64 KiB.
    const std::string state = dir_.File("state.json");
    ASSERT_EQ(
        RunHost({"--cycles", "400", "--baud", "0", "--events-level", "changes", "--state", state}),
        0)
        << hosttest::ReadText(err());
    const std::string out = hosttest::ReadText(this->out());
    EXPECT_GT(out.size(), 100000u);
    EXPECT_EQ(hosttest::CountLines(out, "alarms   0 changes, 0 active"), 400u);
    EXPECT_NE(out.find("cycle 400 "), std::string::npos);
    EXPECT_EQ(hosttest::ReadJson(state)["output_dropped"].asUInt(), 0u);
}

// A plug-in's console used otherwise than rxp517_t36b2 uses it (tests/plugin_console_shim.cpp):
// a last line without its end at exit, and more lines between two cycles than are held for
// the events file.
TEST_F(HostMessages, PluginLinesUnendedAtExitOrBeyondWhatIsHeldAreShownOrCounted) {
    StartSim(Json::Value(Json::objectValue), {});
    const auto preloaded = [this](const std::string& variable,
                                  const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {"/usr/bin/env", "LD_PRELOAD=" RXP_CONSOLE_SHIM_SO,
                                         "ASAN_OPTIONS=verify_asan_link_order=0", variable};
        const std::vector<std::string> host = HostArgs(extra);
        argv.insert(argv.end(), host.begin(), host.end());
        return hosttest::Run(argv, out(), err());
    };
    ASSERT_EQ(preloaded("RXP_SHIM_TAIL=last words", {"--cycles", "1"}), 0)
        << hosttest::ReadText(err());
    const std::string out = hosttest::ReadText(this->out());
    EXPECT_EQ(out.substr(out.size() - 20), "plug-in: last words\n") << out;

    ::unlink(events_path().c_str());
    ASSERT_EQ(preloaded("RXP_SHIM_LINES=1200", {"--cycles", "1", "--plugin-output", "events"}), 0)
        << hosttest::ReadText(err());
    // 1200 lines and "rvSize is 0" in one cycle: the first 1000 are events, the rest counted.
    EXPECT_EQ(hosttest::CountEvents(hosttest::ReadEvents(events_path()), "plugin_output"), 1000u);
    EXPECT_NE(hosttest::ReadText(err()).find(
                  "rxp-host: 201 lines of the plug-in could not be written as events"),
              std::string::npos)
        << hosttest::ReadText(err());
}

TEST_F(HostMessages, StandardOutputNobodyReadsNeverHoldsUpThePolls) {
    StartSim(Json::Value(Json::objectValue), {});
    // Standard output is a pipe of one page that the host itself holds open and nobody reads:
    // it is full after a dozen cycles.
    hosttest::Process host(HostArgs({"--interval", "0.1"}), out(), err(), [] {
        int ends[2];
        if (::pipe(ends) != 0) ::_exit(125);
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        ::dup2(ends[1], 1);
    });
    std::this_thread::sleep_for(std::chrono::seconds(60));
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(15000)), 0) << hosttest::ReadText(err());

    // 600 rounds start in 60 s at --interval 0.1; half of them is the margin for a busy machine.
    const std::size_t cycles = CyclesSoFar();
    EXPECT_GE(cycles, 300u);
    EXPECT_EQ(hosttest::ReadHistory(history()).size(), cycles);
    EXPECT_NE(hosttest::ReadText(err()).find("of standard output dropped"), std::string::npos)
        << hosttest::ReadText(err());
}

// A stalled journal: standard error is a full pipe nobody reads, and --trace writes a line for
// every frame. Polling goes on, and what was dropped is counted in the state.
TEST_F(HostMessages, StandardErrorNobodyReadsNeverHoldsUpThePolls) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string state = dir_.File("state.json");
    hosttest::Process host(HostArgs({"--interval", "0.1", "--trace", "--state", state}), out(),
                           err(), [] {
                               int ends[2];
                               if (::pipe(ends) != 0) ::_exit(125);
                               ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
                               ::dup2(ends[1], 2);
                           });
    // A host blocked in its write to standard error completes one cycle at most; by 30 its
    // trace lines have long overrun the pipe and the queue.
    const bool polled_on =
        hosttest::WaitUntil([this] { return CyclesSoFar() >= 30; }, milliseconds(90000));
    const Json::Value live = hosttest::ReadJson(state);
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(15000)), 0);
    EXPECT_TRUE(polled_on) << CyclesSoFar() << " cycles";
    EXPECT_GT(live["output_dropped"].asUInt64(), 0u) << hosttest::JsonText(live);
}

// Under systemd, with the journal on standard output and error (JOURNAL_STREAM names it), every
// line carries its syslog priority: failures at warning or above, the summaries at info, the
// plug-in's lines at debug.
TEST_F(HostMessages, LinesToTheJournalCarryTheirPriority) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::string journal = dir_.File("journal");
    const std::vector<std::string> args =
        HostArgs({"--cycles", "2", "--timeout", "0.5", "--events", events_path()});
    hosttest::Process host(args, journal, journal, [journal] {
        struct stat st;
        if (::stat(journal.c_str(), &st) != 0) ::_exit(125);
        const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    });
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(journal);
    const std::string text = hosttest::ReadText(journal);
    EXPECT_NE(text.find("<7>plug-in: rvSize is 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("<6>cycle 1"), std::string::npos) << text;
    EXPECT_NE(text.find("<5>rxp-host: 2 cycles completed"), std::string::npos) << text;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        const std::string line = text.substr(begin, end - begin);
        EXPECT_TRUE(line.size() >= 3 && line[0] == '<' && line[2] == '>') << line;
        if (end == std::string::npos) break;
        begin = end + 1;
    }

    // Without JOURNAL_STREAM (a terminal, a file): no prefixes.
    ASSERT_EQ(RunHost({"--cycles", "1"}), 0);
    EXPECT_EQ(hosttest::ReadText(out()).find("<6>"), std::string::npos);
}

struct OutputCase {
    std::vector<std::string> options;
    std::vector<std::string> in_out;      // on standard output
    std::vector<std::string> not_in_out;  // nowhere on standard output
    std::size_t plugin_events;            // "plugin_output" events
};

TEST_F(HostMessages, PluginLinesAreTaggedDroppedOrEventsAndSummariesFollowSummary) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::vector<OutputCase> cases = {
        {{}, {"plug-in: rvSize is 0\ncycle 1", "cycle 3"}, {"\nrvSize"}, 0},
        {{"--plugin-output", "drop", "--summary", "changes"},
         {"cycle 1", "cycles completed in"},
         {"rvSize", "cycle 2"},
         0},
        {{"--plugin-output", "events", "--summary", "none"},
         {"cycles completed in"},
         {"rvSize", "cycle 1"},
         3},
    };
    for (const OutputCase& c : cases) {
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--cycles", "3"});
        std::remove(events_path().c_str());
        ASSERT_EQ(RunHost(options), 0) << hosttest::ReadText(err());
        const std::string out = hosttest::ReadText(this->out());
        for (const std::string& text : c.in_out)
            EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        for (const std::string& text : c.not_in_out)
            EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
        std::size_t plugin_events = 0;
        for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
            if (e["event"] == "plugin_output") {
                EXPECT_EQ(e["text"].asString(), "rvSize is 0");
                ++plugin_events;
            }
        }
        EXPECT_EQ(plugin_events, c.plugin_events);
    }
}

// In a child run as root: file permissions apply to the program it starts as to anybody else.
void DropFilePermissionOverride() {
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    }
}

struct MessageCase {
    const char* name;
    std::function<std::vector<std::string>(const hosttest::TempDir& dir, const std::string& line)>
        options;  // also makes what the case needs
    int exit_code;
    std::vector<std::string> message;  // parts of one line on standard error or output
};

TEST_F(HostMessages, ErrorsNameTheThingTheReasonAndTheFix) {
    StartSim(Json::Value(Json::objectValue), {});
    const std::vector<MessageCase> cases = {
        {"port a regular file",
         [](const hosttest::TempDir& d, const std::string&) {
             hosttest::WriteText(d.File("port.txt"), "");
             return std::vector<std::string>{"--port", d.File("port.txt")};
         },
         1,
         {"is a regular file, not a serial port; give the serial port"}},
        {"state folder missing",
         [](const hosttest::TempDir& d, const std::string&) {
             return std::vector<std::string>{"--state", d.File("none/state.json")};
         },
         1,
         {"--state '", "': folder '", "/none' does not exist; create it (mkdir -p"}},
        {"metrics folder read-only",
         [](const hosttest::TempDir& d, const std::string&) {
             std::filesystem::create_directory(d.File("ro"));
             ::chmod(d.File("ro").c_str(), 0555);
             return std::vector<std::string>{"--metrics", d.File("ro/rxp.prom")};
         },
         1,
         {"--metrics '", "/ro' cannot be written (Permission denied); give the user"}},
        {"settings member misspelt",
         [](const hosttest::TempDir& d, const std::string&) {
             hosttest::WriteText(d.File("typo.json"),
                                 R"({"deviceId": 3, "thresholdSettings": {}})");
             return std::vector<std::string>{"--settings", d.File("typo.json"), "--cycles", "1"};
         },
         0,
         {"warning: settings file '", "unknown member \"thresholdSettings\"",
          "did you mean \"thresholdSetting\"?"}},
        {"settings refused by the plug-in",
         [](const hosttest::TempDir& d, const std::string&) {
             hosttest::WriteText(d.File("bad.json"), R"({"appSetting": {"b_mode": [3]}})");
             return std::vector<std::string>{"--settings", d.File("bad.json")};
         },
         2,
         {"settings file '", "bad.json' was refused by the plug-in"}},
        {"communication lost",
         [](const hosttest::TempDir&, const std::string&) {
             return std::vector<std::string>{"--address", "7", "--timeout",  "0.2",
                                             "--cycles",  "1", "--deadline", "2"};
         },
         5,
         {"communication lost: 3 polls in a row failed; check the bus address (7), the wiring "
          "and that --baud is the power system's line speed"}},
        // Last: the simulator's line stays closed to the host.
        {"port the user may not open",
         [](const hosttest::TempDir&, const std::string& line) {
             const std::string pts = std::filesystem::canonical(line).string();
             const struct group* dialout = ::getgrnam("dialout");
             // Another user's, for dialout to read and write: root (without its override)
             // is in neither.
             if (::chown(pts.c_str(), 1, dialout != nullptr ? dialout->gr_gid : 20) != 0 ||
                 ::chmod(pts.c_str(), 0660) != 0) {
                 ADD_FAILURE() << "cannot take " << pts << " from its user";
             }
             return std::vector<std::string>{};
         },
         1,
         {"': permission denied; add the user '", "' to the dialout group (usermod -aG dialout"}},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const hosttest::TempDir scratch;
        const std::vector<std::string> argv = HostArgs(c.options(scratch, line()));
        std::remove(events_path().c_str());
        hosttest::Process host(argv, out(), err(), DropFilePermissionOverride);
        EXPECT_EQ(host.Wait(milliseconds(20000)), c.exit_code);
        const std::string said = hosttest::ReadText(err()) + hosttest::ReadText(out());
        std::size_t at = said.find(c.message.front());
        ASSERT_NE(at, std::string::npos) << said;
        const std::string line =
            said.substr(said.rfind('\n', at) + 1, said.find('\n', at) - said.rfind('\n', at) - 1);
        for (const std::string& part : c.message) {
            EXPECT_NE(line.find(part), std::string::npos)
                << "missing \"" << part << "\" in: " << said;
        }
        if (c.exit_code == 1) {
            EXPECT_EQ(CyclesSoFar(), 0u) << "polled before the check";
        }
    }
}

// A service's user (not root, in the dialout group) against the simulator: the line handed to
// dialout with 0660 is opened and polled; handed with 0640 it may not be, and the hint says who
// owns it and how instead of telling a member of dialout to join it.
TEST_F(HostMessages, AServiceUserOpensTheSimulatorsLineOnceItIsHandedToItsGroup) {
    const struct group* dialout = ::getgrnam("dialout");
    if (::geteuid() != 0 || dialout == nullptr) GTEST_SKIP() << "needs root and a dialout group";
    const gid_t dialout_id = dialout->gr_gid;
    const uid_t user = 64999;  // no one's: named by its number
    ASSERT_EQ(::getpwuid(user), nullptr);
    ASSERT_EQ(::getgrgid(user), nullptr);
    ASSERT_EQ(::chmod(dir_.File("").c_str(), 0755), 0);  // the settings and the line's link
    const auto as_user = [dialout_id, user] {
        if (::setgroups(1, &dialout_id) != 0 || ::setresgid(user, user, user) != 0 ||
            ::setresuid(user, user, user) != 0) {
            ::_exit(125);
        }
    };
    const std::vector<std::string> argv =
        HostArgs({"--events", "", "--history", "", "--cycles", "1"});

    StartSim(Json::Value(Json::objectValue), {"--group", "dialout", "--mode", "0660"});
    hosttest::Process polls(argv, out(), err(), as_user);
    EXPECT_EQ(polls.Wait(milliseconds(20000)), 0) << hosttest::ReadText(err());

    StartSim(Json::Value(Json::objectValue), {"--group", "dialout", "--mode", "0640"});
    hosttest::Process refused(argv, out(), err(), as_user);
    EXPECT_EQ(refused.Wait(milliseconds(20000)), 1);
    EXPECT_NE(hosttest::ReadText(err()).find(
                  "cannot open port '" + line() + "': permission denied; the port is owned by " +
                  "root:dialout with mode 0640; the user '64999' (groups 64999, dialout) may not "
                  "read and write it"),
              std::string::npos)
        << hosttest::ReadText(err());
}

}  // namespace
