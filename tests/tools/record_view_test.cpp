// rxp-record's reading of a record: every field by name, the alarm meaning of every set status
// bit, the time stamp, records of the wrong size refused, and records from text a line at a time.
#include "tools/rxp-record/record_view.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/power_model.h"
#include "tools/common/hex.h"
#include "tools/rxp-record/text_input.h"

using rxp::record::Bytes;
using rxp::record::LineReader;
using rxp::record::Origin;
using rxptest::PowerModel;

namespace {

class RecordView : public ::testing::Test {
protected:
    RecordView() : model_(Model()), record_(model_.ExpectedRecord(4242)) {
        const Bytes time = {0xE8, 0x07, 5, 1, 12, 34, 56};  // 2024-05-01 12:34:56
        std::copy(time.begin(), time.end(), record_.begin() + 282);
    }

    static PowerModel Model() {
        PowerModel m = PowerModel::Distinct(5);
        m.phase_status[0] = 0x12;  // bits 4 and 1
        m.phase_status[1] = 0x08;  // bit 3: read by no rule
        m.phase_status[2] = 0x00;
        m.ac_frequency_state = 2;
        for (auto& mod : m.modules) mod.status = 0;
        m.modules[6].status = 0x10;  // module 7 fan
        m.breaker1_state = 1;
        m.breaker2_state = 1;  // breaker 2 alarms on value 2 only
        m.lightning_switch_state = 0;
        for (auto& s : m.dc_status) s = 0;
        m.dc_status[1] = 0x80;
        return m;
    }

    Json::Value Json() const {
        return rxp::record::ToJson(record_.data(), Origin{"test.bin", 0, ""});
    }

    PowerModel model_;
    Bytes record_;
};

TEST_F(RecordView, FieldsReadAsTheUnsignedValuesThePowerSystemSent) {
    const Json::Value j = Json();
    const Json::Value& f = j["fields"];
    EXPECT_EQ(f["device_id"].asUInt(), 4242u);
    const char* phases[] = {"a", "b", "c"};
    for (int p = 0; p < 3; ++p) {
        const std::string prefix = std::string("phase_") + phases[p];
        EXPECT_EQ(f[prefix + "_value1"].asUInt(), model_.phase_value[p][0]) << prefix;
        EXPECT_EQ(f[prefix + "_value2"].asUInt(), model_.phase_value[p][1]) << prefix;
        EXPECT_EQ(f[prefix + "_status"].asUInt(), model_.phase_status[p]) << prefix;
    }
    EXPECT_EQ(f["ac_value"].asUInt(), model_.ac_value);
    EXPECT_EQ(f["dc_switch_value"].asUInt(), model_.dc_switch_value);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(f["dc_value" + std::to_string(i + 1)].asUInt(), model_.dc_value[i]) << i + 1;
    }
    EXPECT_EQ(f["dc_byte_value"].asUInt(), model_.dc_byte_value);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(f["dc_long" + std::to_string(i + 1)].asUInt(), model_.dc_long[i]) << i + 1;
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(f["dc_status[" + std::to_string(i) + "]"].asUInt(), model_.dc_status[i]) << i;
    }
    ASSERT_EQ(j["modules"].size(), 20u);
    for (int k = 0; k < 20; ++k) {
        const Json::Value& row = j["modules"][k];
        EXPECT_EQ(row["module"].asInt(), k + 1);
        for (int v = 0; v < 4; ++v) {
            EXPECT_EQ(row["value" + std::to_string(v + 1)].asUInt(), model_.modules[k].value[v])
                << "module " << k + 1;
        }
        EXPECT_EQ(row["extra"].asUInt(), model_.modules[k].extra) << "module " << k + 1;
    }
    EXPECT_EQ(j["time"].asString(), "2024-05-01T12:34:56");
    EXPECT_TRUE(j["time_valid"].asBool());
}

TEST_F(RecordView, EverySetStatusBitCarriesItsAlarmMeaning) {
    const Json::Value status = Json()["status"];
    // field, bit (-1: a state value), alarm id or "" for none, alarm text
    struct Expected {
        const char* field;
        int bit;
        const char* id;
        const char* text;
    };
    const std::vector<Expected> expected = {
        {"phase_a_status", 4, "06006", "A相交流电流过高"},
        {"phase_a_status", 1, "06015", "A相电压过低"},
        {"phase_b_status", 3, "", ""},
        {"ac_frequency_state", -1, "06019", "频率低"},
        {"modules[6].status", 4, "06025", "模块7模块风扇故障"},
        {"breaker1_state", -1, "06041", "主断路器1告警"},
        {"breaker2_state", -1, "", ""},
        {"dc_status[1]", 7, "06029", "电池放电"},
    };
    ASSERT_EQ(status.size(), expected.size()) << rxp::record::FormatJsonLine(status);
    for (Json::ArrayIndex i = 0; i < status.size(); ++i) {
        const Json::Value& e = status[i];
        const Expected& x = expected[i];
        EXPECT_EQ(e["field"].asString(), x.field) << i;
        EXPECT_EQ(e.isMember("bit") ? e["bit"].asInt() : -1, x.bit) << x.field;
        if (*x.id == '\0') {
            EXPECT_TRUE(e["alarm"].isNull()) << x.field;
        } else {
            EXPECT_EQ(e["alarm"]["id"].asString(), x.id) << x.field;
            EXPECT_EQ(e["alarm"]["text"].asString(), x.text) << x.field;
        }
    }
    EXPECT_EQ(status[4]["module"].asInt(), 7);
    EXPECT_EQ(status[4]["alarm"]["key"].asString(), "alert_c_0");
    EXPECT_EQ(status[4]["alarm"]["name"].asString(), "整流模块风扇告警");
}

TEST_F(RecordView, TableShowsNamesValuesAndMeaningsForPeople) {
    const std::string table = rxp::record::FormatTable(record_.data(), Origin{"test.bin", 0, ""});
    for (const char* line : {
             "  time stamp              2024-05-01T12:34:56\n",
             "  device_id               4242\n",
             "  phase_a_status          0x12  bit 4: A相交流电流过高 (alert_a_4, 06006 "
             "负载电流过高告警)\n",
             "                                bit 1: A相电压过低 (alert_a_1, 06015 "
             "交流输入电压过低告警)\n",
             "  phase_b_status          0x08  bit 3: no alarm\n",
             "  phase_c_status          0x00\n",
             "  breaker2_state          1     value 1: no alarm\n",
             "  module  7 status 0x10  bit 4: 模块7模块风扇故障 (alert_c_0, 06025 "
             "整流模块风扇告警)\n",
         }) {
        EXPECT_NE(table.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << table;
    }
    // Module 7's row: its values in order, status and extra in hex.
    char row[128];
    std::snprintf(row, sizeof(row), "       7%8u%8u%8u%8u    0x10    0x%s\n",
                  model_.modules[6].value[0], model_.modules[6].value[1],
                  model_.modules[6].value[2], model_.modules[6].value[3],
                  rxp::hex::Byte(model_.modules[6].extra).c_str());
    EXPECT_NE(table.find(row), std::string::npos) << row << "\nin:\n" << table;
}

TEST_F(RecordView, ZeroTimeStampReadsAsNotSet) {
    std::fill(record_.begin() + 282, record_.end(), 0);
    EXPECT_TRUE(Json()["time"].isNull());
    EXPECT_NE(rxp::record::FormatTable(record_.data(), Origin{"x", 0, ""})
                  .find("time stamp              not set"),
              std::string::npos);
}

TEST(RecordSize, OnlyExactly289BytesAreARecord) {
    EXPECT_EQ(rxp::record::SizeProblem(289), "");
    EXPECT_EQ(rxp::record::SizeProblem(288), "288 bytes, but a record is exactly 289 bytes");
    EXPECT_EQ(rxp::record::SizeProblem(290), "290 bytes, but a record is exactly 289 bytes");
    EXPECT_EQ(rxp::record::SizeProblem(0), "0 bytes, but a record is exactly 289 bytes");
}

// Hex text read a line at a time: a record over several lines is still one record, named by the
// input alone, as is a record alone; lines are not joined across a bad line, and a line longer
// than any record could be is left out without being kept whole.
TEST(TextRecords, HexLinesMakeRecordsAndBadLinesAreLeftOut) {
    const Bytes record = PowerModel::Distinct(9).ExpectedRecord(1);
    const std::string hex = rxp::hex::Lower(record.data(), record.size());
    const std::string third = hex.substr(0, 192), rest = hex.substr(192);
    const struct {
        const char* what;
        std::string text;
        std::vector<std::string> records;  // "label size"
        std::size_t bad_lines;
    } cases[] = {
        {"one record alone", hex + "\n", {"in 289"}, 0},
        {"one record over lines",
         third + "\n\n" + rest.substr(0, 192) + "\n" + rest.substr(192),
         {"in 289"},
         0},
        {"two records", hex + "\n" + hex + "\n", {"in line 1 289", "in line 2 289"}, 0},
        {"a bad line between the parts",
         third + "\nzz\n" + rest + "\n",
         {"in line 1 96", "in line 3 193"},
         1},
        {"a line too long",
         std::string(LineReader::kMaxLine + 1, '0') + "\n" + hex,
         {"in line 2 289"},
         1},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        std::vector<std::string> records, bad;
        const rxp::record::TextCounts counts = rxp::record::ReadTextRecords(
            in, "in",
            [&](const rxp::record::Item& item) {
                records.push_back(item.origin.label + " " + std::to_string(item.record.size()));
            },
            [&](const std::string& why) { bad.push_back(why); });
        EXPECT_EQ(records, c.records) << c.what;
        EXPECT_EQ(counts.records, c.records.size()) << c.what;
        EXPECT_EQ(counts.bad_lines, c.bad_lines) << c.what;
        EXPECT_EQ(bad.size(), c.bad_lines) << c.what;
    }
}

TEST(MessageText, ControlCharactersAreShownAsEscapes) {
    EXPECT_EQ(rxp::record::Printable("a\nb\x1b[2J\t\r\x7f\xc2\xb0 ok"),
              "a\\nb\\x1B[2J\\t\\r\\x7F\xc2\xb0 ok");
}

}  // namespace
