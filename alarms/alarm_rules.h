// The power system's alarm rules, one row per rule in evaluation order. Every completed cycle
// hands each rule's state to the host: 19 AC rules, the 5 module rules for each of the 20
// rectifier modules (all five of a module before the next), then 20 DC rules: 139 evaluations,
// numbered 1 to 139 by the host's rule ordinal.
#ifndef RXP_ALARMS_ALARM_RULES_H
#define RXP_ALARMS_ALARM_RULES_H

#include <cstddef>
#include <cstdint>

#include "protocol/rxp517_t36b2_data.h"

namespace rxp {

enum RuleTest : std::uint8_t {
    kBitSet = 0,   // the bit with this number (0 = least significant) is 1
    kValueIs = 1,  // the whole byte, unsigned, equals this value
};

struct AlarmRule {
    const char* signal_key;
    const char* alarm_id;         // network-management alarm identifier
    const char* alarm_name;       // the name that belongs to the alarm id
    const char* alarm_text;       // the device's own description; for module rules, the suffix
    std::uint16_t record_offset;  // source byte; for module rules, within the module row
    RuleTest test;
    std::uint8_t operand;  // bit number or value
};

// AC input, record bytes 8, 13, 18 and 21.
constexpr AlarmRule kAcRules[] = {
    {"alert_a_7", "06016", "交流输入停电告警", "交流掉电", 8, kBitSet, 7},
    {"alert_a_5", "06013", "交流输入空开跳告警", "A相交流空开告警", 8, kBitSet, 5},
    {"alert_a_4", "06006", "负载电流过高告警", "A相交流电流过高", 8, kBitSet, 4},
    {"alert_a_2", "06014", "交流输入电压过高告警", "A相电压过高", 8, kBitSet, 2},
    {"alert_a_1", "06015", "交流输入电压过低告警", "A相电压过低", 8, kBitSet, 1},
    {"alert_a_0", "06017", "交流输入缺相告警", "A相电压缺相", 8, kBitSet, 0},
    {"alert_b_6", "06029", "其他告警", "电池对称故障", 13, kBitSet, 6},
    {"alert_b_5", "06013", "交流输入空开跳告警", "B相交流空开告警", 13, kBitSet, 5},
    {"alert_b_4", "06006", "负载电流过高告警", "B相交流电流过高", 13, kBitSet, 4},
    {"alert_b_2", "06014", "交流输入电压过高告警", "B相电压过高", 13, kBitSet, 2},
    {"alert_b_1", "06015", "交流输入电压过低告警", "B相电压过低", 13, kBitSet, 1},
    {"alert_b_0", "06017", "交流输入缺相告警", "B相电压缺相", 13, kBitSet, 0},
    {"alert_c_5", "06013", "交流输入空开跳告警", "C相交流空开告警", 18, kBitSet, 5},
    {"alert_c_4", "06006", "负载电流过高告警", "C相交流电流过高", 18, kBitSet, 4},
    {"alert_c_2", "06014", "交流输入电压过高告警", "C相电压过高", 18, kBitSet, 2},
    {"alert_c_1", "06015", "交流输入电压过低告警", "C相电压过低", 18, kBitSet, 1},
    {"alert_c_0", "06017", "交流输入缺相告警", "C相电压缺相", 18, kBitSet, 0},
    // ac_frequency_state: 1 means above the limit, 2 below it.
    {"alert_freq_1", "06018", "交流输入频率过高告警", "频率高", 21, kValueIs, 1},
    {"alert_freq_2", "06019", "交流输入频率过低告警", "频率低", 21, kValueIs, 2},
};

// Applied to every module's status byte (row byte 8); the alarm text is "模块" + the module
// number + the suffix below.
constexpr AlarmRule kModuleRules[] = {
    {"alert_c_2", "06029", "其他告警", "模块保护", 8, kBitSet, 6},
    {"alert_c_1", "06034", "交流输入故障", "交流故障", 8, kBitSet, 5},
    {"alert_c_0", "06025", "整流模块风扇告警", "模块风扇故障", 8, kBitSet, 4},
    {"alert_c_0", "06024", "整流模块故障告警", "模块故障", 8, kBitSet, 1},
    {"alert_c_0", "06029", "其他告警", "限流", 8, kBitSet, 0},
};
constexpr char kModuleLabel[] = "模块";

// DC side, record bytes 222..224 and dc_status[0..2] at 240..242.
constexpr AlarmRule kDcRules[] = {
    {"alert_p1", "06041", "低压断路开关（LVDS）断开", "主断路器1告警", 222, kValueIs, 1},
    {"alert_p2", "06041", "低压断路开关（LVDS）断开", "主断路器2告警", 223, kValueIs, 2},
    {"alert_thunder", "06029", "其他告警", "防雷开关告警", 224, kValueIs, 1},
    {"status_0_7", "06029", "其他告警", "用户4低压断开操作告警", 240, kBitSet, 7},
    {"status_0_6", "06029", "其他告警", "用户3低压断开操作告警", 240, kBitSet, 6},
    {"status_0_5", "06029", "其他告警", "电池温度传感器故障告警", 240, kBitSet, 5},
    {"status_0_4", "06029", "其他告警", "输出过压告警", 240, kBitSet, 4},
    {"status_0_3", "06029", "其他告警", "用户2低压断开操作告警", 240, kBitSet, 3},
    {"status_0_2", "06029", "其他告警", "电池低压告警", 240, kBitSet, 2},
    {"status_0_1", "06029", "其他告警", "系统负载电流过高告警", 240, kBitSet, 1},
    {"status_0_0", "06029", "其他告警", "用户1低压断开操作告警", 240, kBitSet, 0},
    {"status_1_7", "06029", "其他告警", "电池放电", 241, kBitSet, 7},
    {"status_1_6", "06029", "其他告警", "电池低压断开操作告警", 241, kBitSet, 6},
    {"status_1_5", "06029", "其他告警", "环境温度过高告警", 241, kBitSet, 5},
    {"status_1_4", "06029", "其他告警", "环境温度过低告警", 241, kBitSet, 4},
    {"status_1_2", "06029", "其他告警", "负载熔丝断", 241, kBitSet, 2},
    {"status_1_1", "06029", "其他告警", "电池熔丝断", 241, kBitSet, 1},
    {"status_1_0", "06029", "其他告警", "电池电流过高告警", 241, kBitSet, 0},
    {"status_2_6", "06029", "其他告警", "电池温度过高告警", 242, kBitSet, 6},
    {"status_2_5", "06029", "其他告警", "电池温度过低告警", 242, kBitSet, 5},
};

const std::size_t kAcRuleCount = sizeof(kAcRules) / sizeof(kAcRules[0]);
const std::size_t kModuleRuleCount = sizeof(kModuleRules) / sizeof(kModuleRules[0]);
const std::size_t kDcRuleCount = sizeof(kDcRules) / sizeof(kDcRules[0]);
const std::size_t kAlarmModules = 20;  // always all 20 positions, whatever is polled
const std::size_t kRulesPerPass = kAcRuleCount + kAlarmModules * kModuleRuleCount + kDcRuleCount;

static_assert(kAcRuleCount == 19 && kModuleRuleCount == 5 && kDcRuleCount == 20,
              "rule table sizes");
static_assert(kRulesPerPass == 139, "a pass makes 139 evaluations");
static_assert(offsetof(RXP517_T36B2_Data_t, phase_a_status) == 8 &&
                  offsetof(RXP517_T36B2_Data_t, phase_b_status) == 13 &&
                  offsetof(RXP517_T36B2_Data_t, phase_c_status) == 18 &&
                  offsetof(RXP517_T36B2_Data_t, ac_frequency_state) == 21 &&
                  offsetof(RXP517_T36B2_Module_t, status) == 8 &&
                  offsetof(RXP517_T36B2_Data_t, breaker1_state) == 222 &&
                  offsetof(RXP517_T36B2_Data_t, breaker2_state) == 223 &&
                  offsetof(RXP517_T36B2_Data_t, lightning_switch_state) == 224 &&
                  offsetof(RXP517_T36B2_Data_t, dc_status) == 240,
              "rule source bytes are the record's status fields");

inline bool RuleHolds(const AlarmRule& rule, std::uint8_t source) {
    return rule.test == kBitSet ? ((source >> rule.operand) & 1U) != 0 : source == rule.operand;
}

}  // namespace rxp

#endif  // RXP_ALARMS_ALARM_RULES_H
