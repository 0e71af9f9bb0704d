// rxp-host against a line whose far end the test plays: start-up failures that must stop the
// host before it polls, a line that goes silent and comes back, and replies nobody asked for.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <memory>
#include <sstream>

#include "tests/support/power_model.h"
#include "tools/common/hex.h"
#include "tools/rxp-host/tests/host_test_support.h"

using hosttest::Bytes;
using hosttest::milliseconds;
using rxptest::PowerModel;

namespace {

class HostOnTestLine : public ::testing::Test {
protected:
    std::vector<std::string> HostArgs(std::vector<std::string> extra) {
        std::vector<std::string> argv = {RXP_HOST_BIN, "--plugin",  RXP_PLUGIN_SO, "--port",
                                         line_.path(), "--events",  events_path(), "--interval",
                                         "0",          "--timeout", "0.5"};
        return hosttest::WithOptions(argv, extra);
    }
    int RunHost(std::vector<std::string> argv) {
        return hosttest::Run(argv, out(), err(), milliseconds(30000));
    }
    std::string events_path() const { return dir_.File("events.jsonl"); }
    std::string out() const { return dir_.File("host.out"); }
    std::string err() const { return dir_.File("host.err"); }

    hosttest::TempDir dir_;
    hosttest::PowerLine line_;
};

struct StartupCase {
    const char* name;
    const char* settings;              // null: no --settings
    std::vector<std::string> options;  // set on the command line; an empty value removes one
    int exit_code;
    std::vector<std::string> message;  // parts the message must hold; "@" is the file
};

// Test listings show the case by name.
void PrintTo(const StartupCase& c, std::ostream* os) {
    *os << c.name;
}

// Deeper than the JSON reader's nesting limit.
const std::string kDeepJsonText = std::string(2000, '[') + std::string(2000, ']');
const char* const kDeepJson = kDeepJsonText.c_str();

class HostStartup : public HostOnTestLine, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(HostStartup, FailsWithAMessageNamingTheProblemBeforeAnythingIsPolled) {
    const StartupCase& c = GetParam();
    const std::string settings = dir_.File("settings.json");
    std::vector<std::string> argv = {
        RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--port", line_.path(), "--cycles", "1"};
    if (c.settings != nullptr) {
        hosttest::WriteText(settings, c.settings);
        argv.insert(argv.end(), {"--settings", settings});
    }
    argv = hosttest::WithOptions(argv, c.options);

    EXPECT_EQ(RunHost(argv), c.exit_code);

    const std::string message = hosttest::ReadText(err());
    for (const std::string& part : c.message) {
        EXPECT_NE(message.find(part == "@" ? settings : part), std::string::npos)
            << "missing \"" << part << "\" in: " << message;
    }
    EXPECT_TRUE(line_.Pending().empty()) << "a command reached the line";
}

INSTANTIATE_TEST_SUITE_P(
    Refused, HostStartup,
    ::testing::Values(
        StartupCase{"SettingsNotJson", "{\"appSetting\": ", {}, 2, {"@", "not valid JSON"}},
        // The plug-in reads "b_mode" as text; an object makes the JSON library throw inside it.
        StartupCase{"SettingsRefusedInsideThePlugin",
                    "{\"appSetting\": {\"b_mode\": {\"mode\": 3}}}",
                    {},
                    2,
                    {"@", "refused by the plug-in"}},
        StartupCase{"SettingsNotAnObject", "[1, 2]", {}, 2, {"@", "must hold a JSON object"}},
        // Parsed strictly, as the simulator's scenario.
        StartupCase{"SettingsWithTrailingGarbage",
                    "{\"deviceId\": 1} }",
                    {},
                    2,
                    {"@", "not valid JSON", "Extra non-whitespace"}},
        StartupCase{"SettingsWithADuplicateKey",
                    "{\"deviceId\": 1, \"deviceId\": 2}",
                    {},
                    2,
                    {"@", "Duplicate key: 'deviceId'"}},
        StartupCase{"SettingsNestedTooDeep", kDeepJson, {}, 2, {"@", "not valid JSON"}},
        StartupCase{"SettingsIsADirectory",
                    nullptr,
                    {"--settings", "/tmp"},
                    2,
                    {"settings file '/tmp'", "directory"}},
        StartupCase{"DeadlineWithoutCycles",
                    nullptr,
                    {"--cycles", "", "--deadline", "5"},
                    2,
                    {"--deadline"}},
        StartupCase{"SettingsFileMissing",
                    nullptr,
                    {"--settings", "/nonexistent/s.json"},
                    2,
                    {"/nonexistent/s.json"}},
        StartupCase{"DeviceIdNotANumber", "{\"deviceId\": \"7\"}", {}, 2, {"@", "deviceId"}},
        // The record holds 32 bits, shown unsigned everywhere: nothing else is an id.
        StartupCase{"DeviceIdNegative",
                    "{\"deviceId\": -5}",
                    {},
                    2,
                    {"@", "\"deviceId\" must be a whole number from 0 to 4294967295, not -5"}},
        StartupCase{
            "DeviceIdAbove32Bits", "{\"deviceId\": 4294967296}", {}, 2, {"@", "not 4294967296"}},
        StartupCase{"DeviceIdNotWhole", "{\"deviceId\": 1.5}", {}, 2, {"@", "not 1.5"}},
        StartupCase{"PluginMissing",
                    nullptr,
                    {"--plugin", "/nonexistent/rxp517_t36b2.so"},
                    1,
                    {"cannot load plug-in '/nonexistent/rxp517_t36b2.so'"}},
        StartupCase{"PluginWithoutEntry",
                    nullptr,
                    {"--plugin", RXP_SMDHOST_SO},
                    1,
                    {RXP_SMDHOST_SO, "get_providers"}},
        StartupCase{"PortMissing",
                    nullptr,
                    {"--port", "/dev/nonexistent-port"},
                    1,
                    {"cannot open port '/dev/nonexistent-port'"}},
        StartupCase{"UnknownBaud", nullptr, {"--baud", "1234"}, 2, {"--baud 1234"}},
        StartupCase{"AddressTooLarge", nullptr, {"--address", "256"}, 2, {"--address"}},
        StartupCase{"NoTimeout", nullptr, {"--timeout", "0"}, 2, {"--timeout"}},
        StartupCase{"TimeoutShorterThanAFewCharacters",
                    nullptr,
                    {"--timeout", "1e-9"},
                    2,
                    {"--timeout must be at least 0.00520833 s, 5 character times at 9600 bit/s"}},
        // Text from the file in a message: its control characters are shown, not sent.
        StartupCase{"SettingsWithControlCharacters",
                    "{\"\\u001b[2J\": 1, \"\\u001b[2J\": 2}",
                    {},
                    2,
                    {"@", "Duplicate key: '\\x1b[2J'"}},
        StartupCase{"CaptureInAMissingFolder",
                    nullptr,
                    {"--capture", "/nonexistent/site.capture"},
                    1,
                    {"cannot open capture file '/nonexistent/site.capture'"}},
        StartupCase{"StateInAMissingFolder",
                    nullptr,
                    {"--state", "/nonexistent/state.json"},
                    1,
                    {"folder '/nonexistent' does not exist", "mkdir -p"}},
        StartupCase{"EventsLevelUnknown",
                    nullptr,
                    {"--events-level", "some"},
                    2,
                    {"--events-level must be all or changes"}}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return info.param.name; });

TEST_F(HostOnTestLine, TwoOptionsNamingOneFileAreAUsageErrorAndNothingIsWritten) {
    const std::string db = dir_.File("h.db");
    const std::string linked = dir_.File("linked");
    ::mkdir(dir_.File("sub").c_str(), 0755);
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {{"--capture", db, "--history", db}, "--history and --capture name the same file"},
        {{"--history", db, "--state", db}, "--history and --state name the same file"},
        {{"--events", dir_.File("x"), "--metrics", dir_.File("x")},
         "--events and --metrics name the same file"},
        // Not there yet: the same path once normalized.
        {{"--events", dir_.File("e"), "--capture", dir_.File("sub/../e")},
         "--events and --capture name the same file"},
        // Two names of one file.
        {{"--settings", db, "--cache", linked}, "--cache and --settings name the same file"},
        {{"--events", linked, "--history", db}, "--history and --events name the same file"},
        // A link to a file yet to be made is that file.
        {{"--events", dir_.File("e"), "--capture", dir_.File("e.link")},
         "--events and --capture name the same file"},
    };
    ASSERT_EQ(::symlink("e", dir_.File("e.link").c_str()), 0);
    for (const Case& c : cases) {
        hosttest::WriteText(db, "a history");
        ::unlink(linked.c_str());
        ASSERT_EQ(::link(db.c_str(), linked.c_str()), 0);
        EXPECT_EQ(RunHost(HostArgs(c.options)), 2) << c.message;
        const std::string err = hosttest::ReadText(this->err());
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(hosttest::ReadText(db), "a history") << c.message;
        for (const char* name : {"x", "e", "events.jsonl"}) {
            EXPECT_FALSE(std::filesystem::exists(dir_.File(name))) << c.message << ": " << name;
        }
    }
    EXPECT_EQ(line_.commands(), 0);
}

// Answers every command with the model's reply, after `silent` commands left unanswered.
hosttest::PowerLine::Responder AnswerAfter(int silent, const PowerModel& model) {
    return [silent, model](const Bytes& command, int number) {
        const int index = hosttest::CommandIndex(command);
        if (number < silent || index < 0) return Bytes();
        return model.Reply(index);
    };
}

TEST_F(HostOnTestLine, SilentLineIsReportedLostOnceAndRestoredAtTheNextCycle) {
    // The line stays silent until the live state has been seen to say "lost", and the host
    // polls on until it has been seen to say "up": neither is a moment to catch in passing.
    const PowerModel model = PowerModel::Distinct(3);
    const auto lost_seen = std::make_shared<std::atomic<bool>>(false);
    line_.Answer([lost_seen, model](const Bytes& command, int) {
        const int index = hosttest::CommandIndex(command);
        if (!*lost_seen || index < 0) return Bytes();
        return model.Reply(index);
    });

    const std::string state = dir_.File("state.json");
    hosttest::Process host(HostArgs({"--timeout", "0.4", "--state", state}), out(), err());
    auto comm_is = [&state](const std::string& comm) {
        return hosttest::ReadText(state).find("\"comm\":\"" + comm + "\"") != std::string::npos;
    };
    EXPECT_TRUE(hosttest::WaitUntil([&] { return comm_is("lost"); }, milliseconds(20000)));
    Json::Value lost;
    std::istringstream(hosttest::ReadText(state)) >> lost;  // whole: it is replaced, not rewritten
    EXPECT_GE(lost["failed_polls_in_row"].asUInt(), 3u);
    *lost_seen = true;
    EXPECT_TRUE(hosttest::WaitUntil([&] { return comm_is("up"); }, milliseconds(20000)));
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());

    // Three failed polls make the line lost; the first cycle after it restores it.
    std::vector<std::string> sequence;
    unsigned failed = 0;
    for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
        const std::string name = e["event"].asString();
        if (name == "poll_failed") ++failed;
        // How many polls fail after the loss, and how many cycles follow the restore, is the
        // test's timing, not the host's.
        if ((name == "poll_failed" && sequence.size() >= 4) ||
            (name == "cycle" && !sequence.empty() &&
             (sequence.back() == name || sequence.back() == "comm_restored"))) {
            continue;
        }
        if (name == "poll_failed" || name == "comm_lost" || name == "comm_restored" ||
            name == "cycle") {
            sequence.push_back(name);
        }
    }
    const std::vector<std::string> expected = {"poll_failed", "poll_failed", "poll_failed",
                                               "comm_lost",   "cycle",       "comm_restored"};
    EXPECT_EQ(sequence, expected);
    EXPECT_NE(
        hosttest::ReadText(state).find("\"failed_polls_total\":" + std::to_string(failed) + ","),
        std::string::npos)
        << hosttest::ReadText(state);

    // While the line is down the host polls on without a line per failure.
    const std::string err = hosttest::ReadText(this->err());
    EXPECT_EQ(hosttest::CountLines(err, "failed at 0x40/0x01 AC phases: no reply within 0.4 s"), 3u)
        << err;
    const std::string out = hosttest::ReadText(this->out());
    EXPECT_EQ(hosttest::CountLines(out, "communication lost"), 1u);
    EXPECT_EQ(hosttest::CountLines(out, "communication restored"), 1u);
}

TEST_F(HostOnTestLine, LineThatNeverGoesQuietCostsFailedPollsAndIsReportedLost) {
    // The first command gets no reply; from then on something else talks on the line.
    line_.Answer(AnswerAfter(1, PowerModel::Distinct(4)));
    line_.Chatter(milliseconds(50));
    const std::string state = dir_.File("state.json");
    hosttest::Process host(HostArgs({"--cycles", "1", "--timeout", "0.3", "--state", state}), out(),
                           err());
    EXPECT_TRUE(hosttest::WaitUntil(
        [&] { return hosttest::ReadText(state).find("\"comm\":\"lost\"") != std::string::npos; },
        milliseconds(15000)))
        << hosttest::ReadText(err());
    line_.Chatter(milliseconds(0));
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());

    std::vector<std::string> sequence;
    for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
        const std::string name = e["event"].asString();
        if (name == "poll_failed") sequence.push_back(e["reason"].asString());
        if (name == "comm_lost" || name == "cycle") sequence.push_back(name);
    }
    ASSERT_GE(sequence.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(sequence.begin(), sequence.begin() + 4),
              (std::vector<std::string>{"timeout", "busy", "busy", "comm_lost"}));
    EXPECT_EQ(sequence.back(), "cycle");
    EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(err()), ": line busy: not quiet for 0.31 s"),
              2u)
        << hosttest::ReadText(err());
}

TEST_F(HostOnTestLine, PortThatTakesNoDataIsGivenUpAtTheReplyTimeoutAndTheStateGoesOn) {
    const PowerModel model = PowerModel::Distinct(6);
    line_.Answer(AnswerAfter(0, model));
    const std::string state = dir_.File("state.json");
    hosttest::Process host(HostArgs({"--cycles", "3", "--interval", "0.2", "--state", state}),
                           out(), err());
    ASSERT_TRUE(hosttest::WaitUntil(
        [this] { return hosttest::CountEvents(hosttest::ReadEvents(events_path()), "cycle") >= 1; },
        milliseconds(15000)));
    // The peer stops reading: the host's next command finds the line full.
    line_.StopAnswering();
    line_.FillTowardsTest();
    EXPECT_TRUE(hosttest::WaitUntil(
        [&] { return hosttest::ReadText(state).find("\"comm\":\"lost\"") != std::string::npos; },
        milliseconds(15000)))
        << hosttest::ReadText(err());
    line_.Pending();
    line_.Answer(AnswerAfter(0, model));
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "cycle"), 3u);
    std::string reason;
    for (const Json::Value& e : events) {
        if (e["event"].asString() == "comm_lost" && reason.empty()) reason = e["reason"].asString();
    }
    EXPECT_EQ(reason, "writing blocked: the command was not taken within 0.5 s")
        << hosttest::ReadText(err());
    EXPECT_NE(hosttest::ReadText(err()).find("' open again"), std::string::npos);
}

TEST_F(HostOnTestLine, LineHungUpInTheMiddleOfAReplyCompletesTheFirstPollAfterItIsBack) {
    const PowerModel model = PowerModel::Distinct(8);
    hosttest::PowerLine line(dir_.File("line"));
    std::atomic<bool> half_sent{false};
    // The third reply of the first poll stops half way: the device holds half a frame.
    line.Answer([&model, &half_sent](const Bytes& command, int number) {
        const int index = hosttest::CommandIndex(command);
        if (index < 0) return Bytes();
        Bytes reply = model.Reply(index);
        if (number == 2) {
            reply.resize(reply.size() / 2);
            half_sent = true;
        }
        return reply;
    });
    hosttest::Process host(
        HostArgs({"--port", line.path(), "--cycles", "1", "--timeout", "3", "--interval", "0.2"}),
        out(), err());
    ASSERT_TRUE(hosttest::WaitUntil([&] { return half_sent.load(); }, milliseconds(10000)));
    std::this_thread::sleep_for(milliseconds(300));  // the half reply reaches the host
    line.HangUpAndServeAgain();
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());

    std::vector<std::string> sequence;
    for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
        const std::string name = e["event"].asString();
        if (name == "poll_failed") sequence.push_back(e["reason"].asString());
        if (name == "comm_lost" || name == "cycle" || name == "comm_restored") {
            sequence.push_back(name);
        }
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{"line", "comm_lost", "cycle", "comm_restored"}))
        << hosttest::ReadText(err());
}

TEST_F(HostOnTestLine, DeviceAlreadyLostWhoseLineThenHangsUpIsLostOnce) {
    const PowerModel model = PowerModel::Distinct(9);
    hosttest::PowerLine line(dir_.File("line"));
    std::atomic<bool> answering{false};
    line.Answer([&model, &answering](const Bytes& command, int) {
        const int index = hosttest::CommandIndex(command);
        return index < 0 || !answering ? Bytes() : model.Reply(index);
    });
    hosttest::Process host(HostArgs({"--port", line.path(), "--cycles", "1", "--timeout", "0.2"}),
                           out(), err());
    ASSERT_TRUE(hosttest::WaitUntil(
        [this] { return hosttest::ReadText(events_path()).find("comm_lost") != std::string::npos; },
        milliseconds(10000)));
    line.HangUpAndServeAgain();
    std::this_thread::sleep_for(milliseconds(300));
    answering = true;
    ASSERT_EQ(host.Wait(milliseconds(30000)), 0) << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "comm_lost"), 1u);
    EXPECT_EQ(hosttest::CountEvents(events, "comm_restored"), 1u);
    EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(out()), "communication lost"), 1u);
}

TEST_F(HostOnTestLine, ReplyArrivingBetweenPollsIsNotTakenForAnotherCycle) {
    const PowerModel model = PowerModel::Distinct(5);
    // The last reply of a cycle comes twice; the second answers nothing that was asked.
    line_.Answer([model](const Bytes& command, int) {
        const int index = hosttest::CommandIndex(command);
        if (index < 0) return Bytes();
        Bytes reply = model.Reply(index);
        if (index == 24) {
            const Bytes again = model.Reply(24);
            reply.insert(reply.end(), again.begin(), again.end());
        }
        return reply;
    });

    ASSERT_EQ(RunHost(HostArgs({"--cycles", "2", "--interval", "0.2"})), 0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 2u);
    EXPECT_EQ(hosttest::CountEvents(events, "poll_failed"), 0u);
    EXPECT_EQ(hosttest::CountLines(hosttest::ReadText(out()), "rvSize is "), 2u);
}

TEST_F(HostOnTestLine, TwoWholeRepliesInOneWriteAreOneReplyAndAnotherNotTaken) {
    const PowerModel model = PowerModel::Distinct(6);
    // Two units set to one address whose replies reach the port together.
    line_.Answer([model](const Bytes& command, int) {
        const int index = hosttest::CommandIndex(command);
        if (index < 0) return Bytes();
        Bytes twice = model.Reply(index);
        const Bytes again = model.Reply(index);
        twice.insert(twice.end(), again.begin(), again.end());
        return twice;
    });
    const std::string state = dir_.File("state.json");
    ASSERT_EQ(RunHost(HostArgs({"--cycles", "2", "--interval", "0.2", "--state", state})), 0)
        << hosttest::ReadText(err());

    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    ASSERT_EQ(hosttest::CountEvents(events, "publish"), 2u);
    for (const Json::Value& e : events) {
        if (e["event"].asString() != "publish") continue;
        EXPECT_EQ(hosttest::WithoutTimestamp(rxp::hex::Parse(e["record"].asString())),
                  model.ExpectedRecord(1));
    }
    EXPECT_EQ(hosttest::CountEvents(events, "poll_failed"), 0u);
    EXPECT_EQ(hosttest::CountEvents(events, "warning"), 1u);
    EXPECT_GE(hosttest::ReadJson(state)["second_replies"].asUInt(), 2u * 24u);
}

TEST_F(HostOnTestLine, PseudoTerminalThatAnswersAtLineSpeedFirstAndThenAtOnceLosesNoPoll) {
    const PowerModel model = PowerModel::Distinct(7);
    // The first reply after the time command and reply take at 9600 bit/s, every later one at
    // once, as a replayed capture answers after a slow start.
    line_.Answer([model](const Bytes& command, int number) {
        const int index = hosttest::CommandIndex(command);
        if (index < 0) return Bytes();
        if (number == 0) std::this_thread::sleep_for(milliseconds(60));
        return model.Reply(index);
    });
    ASSERT_EQ(RunHost(HostArgs({"--cycles", "3", "--deadline", "20"})), 0)
        << hosttest::ReadText(err());
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    EXPECT_EQ(hosttest::CountEvents(events, "publish"), 3u);
    EXPECT_EQ(hosttest::CountEvents(events, "poll_failed"), 0u) << hosttest::ReadText(err());
    EXPECT_EQ(hosttest::CountEvents(events, "warning"), 0u);
}

TEST_F(HostOnTestLine, HighestDeviceIdIsTheSameNumberInEveryOutput) {
    const std::string settings = dir_.File("settings.json");
    hosttest::WriteText(settings, "{\"deviceId\": 4294967295}");
    line_.Answer(AnswerAfter(0, PowerModel::Distinct(2)));
    const std::string db = dir_.File("history.db");
    const std::string state = dir_.File("state.json");
    const std::string metrics = dir_.File("metrics.prom");
    ASSERT_EQ(RunHost(HostArgs({"--cycles", "1", "--settings", settings, "--history", db, "--state",
                                state, "--metrics", metrics})),
              0)
        << hosttest::ReadText(err());

    for (const Json::Value& e : hosttest::ReadEvents(events_path())) {
        if (!e.isMember("device_id")) continue;
        EXPECT_EQ(e["device_id"].asString(), "4294967295");
    }
    const std::vector<hosttest::HistoryRow> rows = hosttest::ReadHistory(db);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].device_id, 4294967295LL);
    EXPECT_EQ(Bytes(rows[0].record.begin(), rows[0].record.begin() + 4),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    const Json::Value s = hosttest::ReadJson(state);
    EXPECT_EQ(s["device_id"].asString(), "4294967295");
    EXPECT_EQ(s["record"]["fields"]["device_id"].asString(), "4294967295");
    EXPECT_NE(hosttest::ReadText(metrics).find("device_id=\"4294967295\"} 1"), std::string::npos);
}

TEST_F(HostOnTestLine, SettingsLinesOfThePluginShowBeforeTheFirstPoll) {
    const std::string settings = dir_.File("settings.json");
    hosttest::WriteText(settings, R"({"deviceId": 9, "appSetting": {"b_mode": "3"},
        "thresholdSetting": {"alert_a_7": {"NMAlarmID": "06016", "ID": "1",
                                           "SignalNumber": "2"}}})");
    line_.Answer(AnswerAfter(0, PowerModel::Distinct(2)));

    ASSERT_EQ(RunHost(HostArgs({"--cycles", "1", "--settings", settings})), 0)
        << hosttest::ReadText(err());

    const std::string out = hosttest::ReadText(this->out());
    const std::size_t init = out.find(
        "plug-in: InitSetting 9 b_mode_:3\nplug-in: here 1\nplug-in: here 2\n"
        "plug-in: here alert_a_7\nplug-in: mobile:alert_a_7:06016;1;2; level:0 value:0\n");
    const std::size_t cycle = out.find("cycle 1");
    ASSERT_NE(init, std::string::npos) << out;
    ASSERT_NE(cycle, std::string::npos) << out;
    EXPECT_LT(init, cycle);
}

TEST_F(HostOnTestLine, DeadlineEndsARunOnADeadLineWithItsOwnExitCode) {
    // Nothing answers: --cycles 2 can never be done.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunHost(HostArgs({"--cycles", "2", "--timeout", "0.2", "--deadline", "1.5"})), 5);
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(6000));

    const std::string err = hosttest::ReadText(this->err());
    EXPECT_NE(err.find("deadline of 1.5 s passed with 0 of 2 cycles completed"), std::string::npos)
        << err;
    const std::vector<Json::Value> events = hosttest::ReadEvents(events_path());
    ASSERT_EQ(hosttest::CountEvents(events, "deadline"), 1u);
    EXPECT_EQ(events.back()["event"].asString(), "deadline");
    EXPECT_EQ(events.back()["requested"].asInt(), 2);
}

TEST_F(HostOnTestLine, HistoryDatabaseOfAnotherSchemaIsRefusedBeforeAnythingIsPolled) {
    const std::string db_path = dir_.File("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE history (id INTEGER PRIMARY KEY, payload BLOB)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    hosttest::WriteText(dir_.File("not-a-db"), "plain text, not a database\n");
    line_.Answer(AnswerAfter(0, PowerModel::Distinct(2)));

    struct Case {
        std::string file;
        std::string reason;
    };
    for (const Case& c : {Case{db_path, "table history has the columns (id INTEGER, payload BLOB)"},
                          Case{dir_.File("not-a-db"), "not a database"},
                          Case{"/tmp", "cannot open history database"}}) {
        EXPECT_EQ(RunHost(HostArgs({"--cycles", "1", "--history", c.file})), 1) << c.file;
        const std::string err = hosttest::ReadText(this->err());
        EXPECT_NE(err.find(c.file), std::string::npos) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(line_.commands(), 0) << "polled with an unusable history: " << c.file;
    }
    // An empty name is a mistake, not "no history".
    EXPECT_EQ(RunHost(HostArgs({"--cycles", "1", "--history", dir_.File("good.db")})), 0);
    std::vector<std::string> argv = HostArgs({"--cycles", "1"});
    argv.insert(argv.end(), {"--history", ""});
    EXPECT_EQ(RunHost(argv), 2);
    EXPECT_NE(hosttest::ReadText(err()).find("--history needs a file name"), std::string::npos);
}

}  // namespace
