// rxp-host --list-alarms and --check-settings, run as programs against the built plug-in: the
// list says what the plug-in does, every alarm it hands over has its English, and a settings
// file is judged without a port.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>

#include "host_runtime/host_observer.h"
#include "tools/rxp-host/plugin_loader.h"
#include "tools/rxp-host/tests/host_test_support.h"

namespace {

// The list as a program reads it: one JSON object a line.
std::vector<Json::Value> ListedAlarms(const hosttest::TempDir& dir) {
    const std::string out = dir.File("list.jsonl"), err = dir.File("list.err");
    EXPECT_EQ(hosttest::Run(
                  {RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--list-alarms", "--format", "json"},
                  out, err),
              0)
        << hosttest::ReadText(err);
    return hosttest::ReadEvents(out);
}

// The states of one alarm pass, as the plug-in hands them to its host.
class StatesOfPass : public smdhost::HostObserver {
public:
    bool OnCheckThresholdBool(SMDVDevice&, int, const std::string&, const std::string&,
                              const std::string&, const std::string&, bool state,
                              unsigned short ordinal) override {
        states.emplace_back(ordinal, state);
        return false;
    }
    std::vector<std::pair<unsigned short, bool>> states;
};

// The list's word on one record: the listed byte under the listed bit or value.
bool ListedState(const Json::Value& alarm, const std::string& record) {
    const unsigned char byte = static_cast<unsigned char>(record[alarm["byte"].asUInt()]);
    if (!alarm["bit"].isNull()) return ((byte >> alarm["bit"].asUInt()) & 1U) != 0;
    return byte == alarm["value"].asUInt();
}

TEST(AlarmList, ListsEveryEvaluationWithItsRecordBitAsThePluginBehavesOnRandomRecords) {
    hosttest::TempDir dir;
    const std::vector<Json::Value> alarms = ListedAlarms(dir);
    ASSERT_EQ(alarms.size(), 139u);
    std::size_t with_test = 0;
    for (std::size_t i = 0; i < alarms.size(); ++i) {
        EXPECT_EQ(alarms[i]["ordinal"].asUInt(), i + 1);
        const bool located = alarms[i]["byte"].isUInt() &&
                             (alarms[i]["bit"].isUInt() || alarms[i]["value"].isUInt());
        with_test += located ? 1 : 0;
    }
    ASSERT_EQ(with_test, 139u) << "evaluations listed with their record byte and bit or value";
    // A few rows checked by hand against the record's layout.
    EXPECT_EQ(alarms[0]["field"].asString(), "phase_a_status");
    EXPECT_EQ(alarms[0]["bit"].asInt(), 7);
    EXPECT_EQ(alarms[51]["module"].asInt(), 7);
    EXPECT_EQ(alarms[51]["byte"].asInt(), 90);
    EXPECT_EQ(alarms[51]["text"].asString(), "模块7模块风扇故障");
    EXPECT_EQ(alarms[120]["value"].asInt(), 2);
    EXPECT_TRUE(alarms[120]["module"].isNull());

    rxphost::LoadedPlugin plugin(RXP_PLUGIN_SO);
    std::unique_ptr<SMDSPDevice> device(plugin.CreateDevice());
    StatesOfPass host;
    smdhost::SetObserver(*device, &host);
    std::ostringstream plugin_lines;  // "rvSize is 0" after every pass
    std::streambuf* console = std::cout.rdbuf(plugin_lines.rdbuf());
    std::mt19937 random(28);
    std::size_t compared = 0, differing = 0;
    for (int n = 0; n < 10000; ++n) {
        std::string record(289, '\0');
        // Half the records with sparse bits, so that single alarms stand alone too.
        for (char& b : record) {
            const unsigned v = random();
            b = static_cast<char>(n % 2 == 0 ? v : (v & (v >> 8) & (v >> 16)));
        }
        host.states.clear();
        ASSERT_TRUE(device->LoadFromCache(record));
        ASSERT_EQ(host.states.size(), alarms.size());
        for (std::size_t i = 0; i < alarms.size(); ++i) {
            ++compared;
            if (host.states[i].second != ListedState(alarms[i], record) && ++differing <= 5) {
                ADD_FAILURE() << "record " << n << ": #" << alarms[i]["ordinal"].asUInt() << " is "
                              << host.states[i].second << ", the list says otherwise";
            }
        }
    }
    std::cout.rdbuf(console);
    smdhost::SetObserver(*device, nullptr);
    EXPECT_EQ(differing, 0u) << "of " << compared << " evaluations";
}

TEST(AlarmList, EveryNameAndTextThePluginHandsOverHasItsEnglish) {
    hosttest::TempDir dir;
    std::size_t listed = 0;
    for (const Json::Value& a : ListedAlarms(dir)) {
        ++listed;
        for (const char* member : {"name_gloss", "text_gloss", "check"}) {
            EXPECT_FALSE(a[member].asString().empty())
                << "#" << a["ordinal"].asUInt() << " " << a["name"].asString() << " "
                << a["text"].asString() << ": no " << member
                << " in tools/rxp-host/alarm_glosses.json";
        }
    }
    EXPECT_EQ(listed, 139u);
    // The number of a module's text in its English, on the table's line of that text.
    const std::string table = dir.File("table.txt");
    ASSERT_EQ(hosttest::Run({RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--list-alarms"}, table,
                            dir.File("table.err")),
              0);
    const std::string text = hosttest::ReadText(table);
    const std::size_t at = text.find("模块7模块风扇故障");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(
        text.substr(at, text.find('\n', at) - at).find("rectifier module fan: module 7 fan fault"),
        std::string::npos)
        << text;
}

// --check-settings FILE: what the plug-in took, or why it refused, with no port named.
TEST(CheckSettings, SaysWhatThePluginTookOrWhyItRefusedWithoutAPort) {
    hosttest::TempDir dir;
    const struct {
        const char* what;
        std::string settings;
        int code;
        std::vector<std::string> lines;  // each somewhere in standard output
    } cases[] = {
        {"taken",
         R"({"deviceId": 17, "appSetting": {"b_mode": "3"}, "thresholdSetting": {
              "alert_a_7": {"SignalName": "AC", "NMAlarmID": "06016", "ID": "0001",
                            "SignalNumber": "1"},
              "status_1_2": {"NMAlarmID": "06029", "ID": "0002"}, "note": "x"}})",
         0,
         {"device id: 17 (stamped into every record)\nmode: 3\n",
          "threshold entries: 2 read of 3\n", "  read: alert_a_7 (alarm id text \"06016;0001;1;\")",
          "  not read: note (not a JSON object)", "  InitSetting 17 b_mode_:3\n",
          "  17 SignalNumber is missing\n", "result: taken\n"}},
        {"not mode 3, a member misspelt",
         R"({"devicId": 4, "appSetting": {"b_mode": "1"},
              "thresholdSetting": {"alert_a_7": {"ID": "1"}}})",
         0,
         {"device id: 1 ", "mode: 1\n", "threshold entries: 0 read of 1\n",
          "unknown member \"devicId\"", "did you mean \"deviceId\"?", "result: taken\n"}},
        {"refused by the plug-in",
         R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {"k": {"ID": ["1"]}}})",
         2,
         {"plug-in printed:\n  InitSetting 1 b_mode_:3\n", "result: refused: settings file '",
          "' was refused by the plug-in: "}},
        {"not JSON",
         "{\"deviceId\": 1,",
         2,
         {"result: refused: settings file '", "not valid JSON"}},
    };
    for (const auto& c : cases) {
        const std::string settings = dir.File("settings.json");
        hosttest::WriteText(settings, c.settings);
        const std::string out = dir.File("out"), err = dir.File("err");
        EXPECT_EQ(
            hosttest::Run({RXP_HOST_BIN, "--plugin", RXP_PLUGIN_SO, "--check-settings", settings},
                          out, err),
            c.code)
            << c.what << "\n"
            << hosttest::ReadText(err);
        const std::string text = hosttest::ReadText(out);
        for (const std::string& line : c.lines) {
            EXPECT_NE(text.find(line), std::string::npos) << c.what << ": lacks " << line << "\n"
                                                          << text;
        }
    }
}

}  // namespace
