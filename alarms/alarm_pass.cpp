// The device's alarm pass: one host evaluation per rule, in table order, on the record just
// completed (or just loaded from the cache).
#include <boost/lexical_cast.hpp>
#include <string>

#include "alarms/alarm_rules.h"
#include "device/rxp517_t36b2.h"
#include "protocol/reply_layout.h"

namespace {

// One evaluation of a pass: the texts the host takes, built once per process on the first pass
// so that a pass in steady state allocates nothing, and the rule's test as a mask and value.
struct Evaluation {
    std::string signal_key;
    std::string alarm_id;
    std::string alarm_name;
    std::string alarm_text;
    std::size_t source_offset;  // within the record
    std::uint8_t mask;
    unsigned expected;  // (source & mask) == expected: the rule holds
};

struct PassTexts {
    Evaluation rules[rxp::kRulesPerPass];

    PassTexts() {
        std::size_t n = 0;
        for (std::size_t i = 0; i < rxp::kAcRuleCount; ++i) set(n++, rxp::kAcRules[i], "", 0);
        for (std::size_t m = 1; m <= rxp::kAlarmModules; ++m) {
            const std::string label = rxp::kModuleLabel + boost::lexical_cast<std::string>(m);
            const std::size_t row = rxp::kModuleRowsOffset + rxp::kModuleRowSize * (m - 1);
            for (std::size_t k = 0; k < rxp::kModuleRuleCount; ++k) {
                set(n++, rxp::kModuleRules[k], label, row);
            }
        }
        for (std::size_t i = 0; i < rxp::kDcRuleCount; ++i) set(n++, rxp::kDcRules[i], "", 0);
    }

    void set(std::size_t n, const rxp::AlarmRule& rule, const std::string& label, std::size_t row) {
        Evaluation& e = rules[n];
        e.signal_key = rule.signal_key;
        e.alarm_id = rule.alarm_id;
        e.alarm_name = rule.alarm_name;
        e.alarm_text = label + rule.alarm_text;
        e.source_offset = row + rule.record_offset;
        if (rule.test == rxp::kValueIs) {
            e.mask = 0xFF;
            e.expected = rule.operand;
        } else if (rule.operand < 8) {
            e.mask = static_cast<std::uint8_t>(1U << rule.operand);
            e.expected = e.mask;
        } else {  // a bit past the byte is never set
            e.mask = 0;
            e.expected = 1;
        }
    }
};

const PassTexts& pass_texts() {
    static const PassTexts texts;
    return texts;
}

}  // namespace

void RXP517_T36B2::RunCheckThreshold() {
    const PassTexts& texts = pass_texts();
    const unsigned char* const record = record_bytes();
    for (const Evaluation* e = texts.rules; e != texts.rules + rxp::kRulesPerPass; ++e) {
        // Reads the rule's source byte, takes the ordinal and moves it on before the host is
        // called, so that during the call rule_ordinal already holds the next ordinal.
        const bool state = (record[e->source_offset] & e->mask) == e->expected;
        const unsigned short ordinal = rule_ordinal;
        rule_ordinal = static_cast<std::uint16_t>(ordinal + 1);
        SMDVDevice::CheckThresholdBool(1, e->signal_key, e->alarm_id, e->alarm_name, e->alarm_text,
                                       state, ordinal);
    }
}
