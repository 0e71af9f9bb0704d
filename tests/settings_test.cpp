// The device's settings pass: the device id stamped into the record, the mode read from
// "appSetting", the threshold entries read in mode 3, and the console lines of all of it,
// compared whole.
#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "device/rxp517_t36b2.h"
#include "tests/console_capture.h"
#include "tests/support/recording_host.h"

using rxptest::Bytes;
using rxptest::ConsoleCapture;
using rxptest::RecordingHost;

namespace {

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        ADD_FAILURE() << "bad JSON in test: " << errors << "\n" << text;
    }
    return value;
}

// Notes what the console held when the host's own settings reader was called.
class SettingsHost : public RecordingHost {
public:
    explicit SettingsHost(ConsoleCapture& console) : console_(console) {}
    std::vector<std::string> console_at_init;
    bool OnInitSetting(SMDVDevice& d, const Json::Value& setting) override {
        console_at_init.push_back(console_.Text());
        return RecordingHost::OnInitSetting(d, setting);
    }

private:
    ConsoleCapture& console_;
};

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() : host_(console_), device_(new RXP517_T36B2), guard_(*device_, host_) {
        device_->data_id = 7;
    }

    // Applies settings and returns what the console received during the call.
    std::string Apply(const std::string& json, bool* result = nullptr) {
        const Json::Value settings = Parse(json);
        console_.Take();
        const bool r = device_->InitSetting(settings);
        if (result != nullptr) *result = r;
        return console_.Take();
    }

    Bytes DeviceIdBytes() const {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&device_->record());
        return Bytes(p, p + 4);
    }

    ConsoleCapture console_;
    SettingsHost host_;
    std::unique_ptr<RXP517_T36B2> device_;
    rxptest::ObserverGuard guard_;
};

// ---- without a mode ---------------------------------------------------------------------------

class NoModeTest : public SettingsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoModeTest, OnlyTheDeviceIdIsSetAndTheHostReadsTheRest) {
    device_->data_id = 0x01020304;
    const Json::Value settings = Parse(GetParam());
    EXPECT_TRUE(device_->InitSetting(settings));
    EXPECT_EQ(console_.Text(), "");
    EXPECT_EQ(device_->b_mode(), 1);
    EXPECT_TRUE(device_->signal_ids().empty());
    EXPECT_TRUE(device_->signal_names().empty());
    EXPECT_TRUE(device_->threshold_levels.empty());
    EXPECT_EQ(DeviceIdBytes(), rxptest::FromHex("04 03 02 01"));
    ASSERT_EQ(host_.calls, std::vector<std::string>{"InitSetting"});
    EXPECT_EQ(host_.settings[0], settings);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, NoModeTest,
    ::testing::Values(R"({})", R"({"port": "/dev/ttyS1", "thresholdSetting": {"k": {}}})",
                      R"({"appSetting": null, "thresholdSetting": {"k": {}}})",
                      R"({"appSetting": "3", "thresholdSetting": {"k": {}}})",
                      R"({"appSetting": [{"b_mode": "3"}], "thresholdSetting": {"k": {}}})",
                      R"({"appSetting": {}, "thresholdSetting": {"k": {}}})",
                      R"({"appSetting": {"b_mode": null}, "thresholdSetting": {"k": {}}})"));

// ---- mode 3 -----------------------------------------------------------------------------------

TEST_F(SettingsTest, ModeThreeReadsEveryThresholdEntryInOrder) {
    device_->data_id = 4660;
    device_->threshold_levels["a_full"] = -2;
    device_->threshold_values["a_full"] = 1.25f;
    device_->threshold_values["zz_other"] = 3.0f;
    bool result = false;

    const std::string out = Apply(R"({
        "appSetting": {"b_mode": "3"},
        "thresholdSetting": {
            "a_full": {"SignalName": "电压", "NMAlarmID": "0601", "ID": "7", "SignalNumber": 2},
            "b_none": {},
            "c_partial": {"ID": "5", "NMAlarmID": null, "SignalName": null},
            "d_text": "not an object",
            "e_array": [{"ID": "1"}],
            "f_null": null,
            "g_number": 12
        }
    })",
                                  &result);

    EXPECT_EQ(out,
              "InitSetting 4660 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here a_full\n"
              "mobile:a_full:0601;7;2; level:-2 value:1.25\n"
              "here b_none\n"
              "4660 NMAlarmID is missing\n"
              "4660 ID is missing\n"
              "4660 SignalNumber is missing\n"
              "mobile:b_none:;;; level:0 value:0\n"
              "here c_partial\n"
              "4660 NMAlarmID is missing\n"
              "4660 SignalNumber is missing\n"
              "mobile:c_partial:;5;; level:0 value:0\n"
              "here d_text\n"
              "here e_array\n"
              "here f_null\n"
              "here g_number\n");
    EXPECT_TRUE(result);
    EXPECT_EQ(device_->b_mode(), 3);
    const std::map<std::string, std::string> ids = {
        {"a_full", "0601;7;2;"}, {"b_none", ";;;"}, {"c_partial", ";5;;"}};
    EXPECT_EQ(device_->signal_ids(), ids);
    const std::map<std::string, std::string> names = {{"a_full", "电压"}};
    EXPECT_EQ(device_->signal_names(), names);
    // Looking a key up leaves a zero entry in a table that lacked it; skipped entries add none.
    const std::map<std::string, std::int32_t> levels = {
        {"a_full", -2}, {"b_none", 0}, {"c_partial", 0}};
    EXPECT_EQ(device_->threshold_levels, levels);
    const std::map<std::string, float> values = {
        {"a_full", 1.25f}, {"b_none", 0.0f}, {"c_partial", 0.0f}, {"zz_other", 3.0f}};
    EXPECT_EQ(device_->threshold_values, values);
    // The host's own reader runs last, with everything already written.
    ASSERT_EQ(host_.console_at_init.size(), 1u);
    EXPECT_EQ(host_.console_at_init[0], console_.Text());
}

TEST_F(SettingsTest, ModeIsKeptFromEarlierCallsAndEntriesAreNeverRemoved) {
    struct Step {
        const char* settings;
        const char* output;
        int mode;
    };
    const Step steps[] = {
        {R"({"appSetting": {"b_mode": "3"}})", "InitSetting 7 b_mode_:3\nhere 1\n", 3},
        {R"({"thresholdSetting": {"k": {"NMAlarmID": "1", "ID": "2", "SignalNumber": "3"}}})",
         "here 1\nhere 2\nhere k\nmobile:k:1;2;3; level:0 value:0\n", 3},
        {R"({"appSetting": {"other": 1}, "thresholdSetting": {}})", "here 1\nhere 2\n", 3},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"j": {"SignalName": "x"}}})",
         "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere j\n7 NMAlarmID is missing\n"
         "7 ID is missing\n7 SignalNumber is missing\nmobile:j:;;; level:0 value:0\n",
         3},
        {R"({"thresholdSetting": {"k": {"NMAlarmID": "9", "ID": "8", "SignalNumber": "7",
                                        "SignalName": "new"}}})",
         "here 1\nhere 2\nhere k\nmobile:k:9;8;7; level:0 value:0\n", 3},
        {R"({"appSetting": {"b_mode": "1"}, "thresholdSetting": {"z": {}}})",
         "InitSetting 7 b_mode_:1\n", 1},
        {R"({"thresholdSetting": {"z": {}}})", "", 1},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(Apply(step.settings), step.output) << step.settings;
        EXPECT_EQ(device_->b_mode(), step.mode) << step.settings;
    }
    const std::map<std::string, std::string> ids = {{"j", ";;;"}, {"k", "9;8;7;"}};
    EXPECT_EQ(device_->signal_ids(), ids);
    const std::map<std::string, std::string> names = {{"j", "x"}, {"k", "new"}};
    EXPECT_EQ(device_->signal_names(), names);
    EXPECT_EQ(host_.calls.size(), sizeof(steps) / sizeof(steps[0]));
}

// "b_mode" is read as text and converted with atoi, whatever JSON kind it has.
struct ModeCase {
    const char* b_mode;  // JSON text of the member
    int mode;
    const char* output;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << "b_mode " << c.b_mode;
}

class ModeValueTest : public SettingsTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeValueTest, ModeIsTheNumberAtTheStartOfItsText) {
    const ModeCase& c = GetParam();
    EXPECT_EQ(Apply(std::string(R"({"appSetting": {"b_mode": )") + c.b_mode + "}}"), c.output);
    EXPECT_EQ(device_->b_mode(), c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeValueTest,
    ::testing::Values(ModeCase{R"("3")", 3, "InitSetting 7 b_mode_:3\nhere 1\n"},
                      ModeCase{"3", 3, "InitSetting 7 b_mode_:3\nhere 1\n"},
                      ModeCase{"3.5", 3, "InitSetting 7 b_mode_:3\nhere 1\n"},
                      ModeCase{R"("3 fast")", 3, "InitSetting 7 b_mode_:3\nhere 1\n"},
                      ModeCase{R"("2")", 2, "InitSetting 7 b_mode_:2\n"},
                      ModeCase{"-4", -4, "InitSetting 7 b_mode_:-4\n"},
                      ModeCase{R"("abc")", 0, "InitSetting 7 b_mode_:0\n"},
                      ModeCase{R"("")", 0, "InitSetting 7 b_mode_:0\n"},
                      ModeCase{"true", 0, "InitSetting 7 b_mode_:0\n"}));

// ---- the device id ----------------------------------------------------------------------------

TEST_F(SettingsTest, DeviceIdIsWrittenOnEveryCallAndPrintedUnsigned) {
    device_->data_id = -1;
    EXPECT_EQ(Apply(R"({"appSetting": {"b_mode": "2"}})"), "InitSetting 4294967295 b_mode_:2\n");
    EXPECT_EQ(DeviceIdBytes(), rxptest::FromHex("FF FF FF FF"));

    // A cached record brings its own id until the next settings pass.
    Bytes cached(289, 0);
    cached[0] = 0x11;
    cached[1] = 0x22;
    cached[2] = 0x33;
    cached[3] = 0x44;
    ASSERT_TRUE(device_->LoadFromCache(cached.data(), 289));
    EXPECT_EQ(DeviceIdBytes(), rxptest::FromHex("11 22 33 44"));

    device_->data_id = 0x0A0B0C0D;
    EXPECT_EQ(Apply(R"({"appSetting": {"b_mode": "2"}})"), "InitSetting 168496141 b_mode_:2\n");
    EXPECT_EQ(DeviceIdBytes(), rxptest::FromHex("0D 0C 0B 0A"));
}

TEST_F(SettingsTest, ResultIsTheHostReadersResult) {
    bool result = true;
    host_.init_setting_answer = false;
    Apply(R"({"appSetting": {"b_mode": "3"}})", &result);
    EXPECT_FALSE(result);
    host_.init_setting_answer = true;
    Apply(R"({})", &result);
    EXPECT_TRUE(result);
    ASSERT_EQ(host_.settings.size(), 2u);
    EXPECT_EQ(host_.settings[0], Parse(R"({"appSetting": {"b_mode": "3"}})"));
}

// ---- "thresholdSetting" that is not an object ---------------------------------------------------

class NotAnObjectTest : public SettingsTest, public ::testing::WithParamInterface<const char*> {};

// An array or a single value holds no threshold entries: "here 2" still says the member is
// there, nothing is read from it, no exception leaves, and the host reads its own settings.
TEST_P(NotAnObjectTest, HoldsNoEntriesAndTheHostStillReadsItsSettings) {
    const std::string json =
        std::string(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": )") + GetParam() + "}";
    host_.init_setting_answer = false;
    bool result = true;
    std::string output;
    EXPECT_NO_THROW(output = Apply(json, &result));
    EXPECT_EQ(output, "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_FALSE(result);
    EXPECT_EQ(host_.calls, std::vector<std::string>{"InitSetting"});
    ASSERT_EQ(host_.settings.size(), 1u);
    EXPECT_EQ(host_.settings[0], Parse(json));
    EXPECT_TRUE(device_->signal_ids().empty());
    EXPECT_TRUE(device_->signal_names().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotAnObjectTest,
                         ::testing::Values(R"([{"NMAlarmID": "06016", "ID": "1"}])", R"([])",
                                           R"(["k"])", R"("k")", R"(3)", R"(true)"));

// ---- errors of the JSON library ---------------------------------------------------------------

struct JsonErrorCase {
    const char* what;
    const char* settings;
    const char* output;     // written before the exception
    int mode;               // b_mode_ afterwards
    const char* name_of_k;  // signal_names_["k"] afterwards, "" when none
};

void PrintTo(const JsonErrorCase& c, std::ostream* os) {
    *os << c.what;
}

class JsonErrorTest : public SettingsTest, public ::testing::WithParamInterface<JsonErrorCase> {};

TEST_P(JsonErrorTest, ExceptionEndsThePassBeforeTheHostReader) {
    const JsonErrorCase& c = GetParam();
    device_->data_id = 0x01020304;
    const Json::Value settings = Parse(c.settings);

    EXPECT_THROW(device_->InitSetting(settings), Json::Exception) << c.what;

    EXPECT_EQ(console_.Text(), c.output) << c.what;
    EXPECT_TRUE(host_.calls.empty()) << c.what;
    EXPECT_EQ(device_->b_mode(), c.mode) << c.what;
    EXPECT_EQ(DeviceIdBytes(), rxptest::FromHex("04 03 02 01")) << c.what;
    EXPECT_EQ(device_->signal_ids().count("k"), 0u) << c.what;
    const auto name = device_->signal_names().find("k");
    EXPECT_EQ(name == device_->signal_names().end() ? "" : name->second, c.name_of_k) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, JsonErrorTest,
    ::testing::Values(
        JsonErrorCase{"mode is an object", R"({"appSetting": {"b_mode": {}}})", "", 1, ""},
        JsonErrorCase{"mode is a list", R"({"appSetting": {"b_mode": []}})", "", 1, ""},
        JsonErrorCase{"settings are a list", R"([{"appSetting": {"b_mode": "3"}}])", "", 1, ""},
        JsonErrorCase{"signal name is an object",
                      R"({"appSetting": {"b_mode": "3"},
                          "thresholdSetting": {"k": {"SignalName": {"a": 1}}}})",
                      "InitSetting 16909060 b_mode_:3\nhere 1\nhere 2\nhere k\n", 3, ""},
        JsonErrorCase{"alarm id part is a list after the name was taken",
                      R"({"appSetting": {"b_mode": "3"},
                          "thresholdSetting": {"k": {"SignalName": "kept", "NMAlarmID": "1",
                                                     "ID": [1]}}})",
                      "InitSetting 16909060 b_mode_:3\nhere 1\nhere 2\nhere k\n", 3, "kept"}));

}  // namespace
