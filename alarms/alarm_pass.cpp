// The device's alarm pass: one host evaluation per rule, in table order, on the record just
// completed (or just loaded from the cache).
#include <boost/lexical_cast.hpp>
#include <string>

#include "alarms/alarm_rules.h"
#include "device/rxp517_t36b2.h"
#include "protocol/reply_layout.h"

namespace {

// The texts of every evaluation of a pass, as the host takes them. Built once per process on
// the first pass, so that a pass in steady state allocates nothing.
struct RuleTexts {
    std::string signal_key;
    std::string alarm_id;
    std::string alarm_name;
    std::string alarm_text;
};

struct PassTexts {
    RuleTexts rules[rxp::kRulesPerPass];

    PassTexts() {
        std::size_t n = 0;
        for (std::size_t i = 0; i < rxp::kAcRuleCount; ++i) set(n++, rxp::kAcRules[i], "");
        for (std::size_t m = 1; m <= rxp::kAlarmModules; ++m) {
            const std::string label = rxp::kModuleLabel + boost::lexical_cast<std::string>(m);
            for (std::size_t k = 0; k < rxp::kModuleRuleCount; ++k) {
                set(n++, rxp::kModuleRules[k], label);
            }
        }
        for (std::size_t i = 0; i < rxp::kDcRuleCount; ++i) set(n++, rxp::kDcRules[i], "");
    }

    void set(std::size_t n, const rxp::AlarmRule& rule, const std::string& label) {
        rules[n].signal_key = rule.signal_key;
        rules[n].alarm_id = rule.alarm_id;
        rules[n].alarm_name = rule.alarm_name;
        rules[n].alarm_text = label + rule.alarm_text;
    }
};

const PassTexts& pass_texts() {
    static const PassTexts texts;
    return texts;
}

}  // namespace

void RXP517_T36B2::RunCheckThreshold() {
    const PassTexts& texts = pass_texts();
    std::size_t n = 0;

    // Reads the rule's source byte, takes the ordinal and moves it on before the host is
    // called, so that during the call rule_ordinal already holds the next ordinal.
    struct Evaluate {
        RXP517_T36B2& device;
        const PassTexts& texts;
        void operator()(std::size_t n, const rxp::AlarmRule& rule, std::size_t source_offset) {
            const bool state = rxp::RuleHolds(rule, device.record_bytes()[source_offset]);
            const unsigned short ordinal = device.rule_ordinal;
            device.rule_ordinal = static_cast<std::uint16_t>(ordinal + 1);
            const RuleTexts& t = texts.rules[n];
            device.SMDVDevice::CheckThresholdBool(1, t.signal_key, t.alarm_id, t.alarm_name,
                                                  t.alarm_text, state, ordinal);
        }
    } evaluate = {*this, texts};

    for (std::size_t i = 0; i < rxp::kAcRuleCount; ++i, ++n) {
        evaluate(n, rxp::kAcRules[i], rxp::kAcRules[i].record_offset);
    }
    for (std::size_t m = 0; m < rxp::kAlarmModules; ++m) {
        const std::size_t row = rxp::kModuleRowsOffset + rxp::kModuleRowSize * m;
        for (std::size_t k = 0; k < rxp::kModuleRuleCount; ++k, ++n) {
            evaluate(n, rxp::kModuleRules[k], row + rxp::kModuleRules[k].record_offset);
        }
    }
    for (std::size_t i = 0; i < rxp::kDcRuleCount; ++i, ++n) {
        evaluate(n, rxp::kDcRules[i], rxp::kDcRules[i].record_offset);
    }
}
