#include "tools/rxp-host/summary.h"

#include <cstddef>
#include <cstdio>
#include <sstream>

#include "protocol/rxp517_t36b2_data.h"
#include "tools/common/hex.h"
#include "tools/rxp-host/alarm_glosses.h"

namespace rxphost {

bool ParseSummaryMode(const std::string& text, SummaryMode* mode) {
    if (text == "all") {
        *mode = SummaryMode::kAll;
    } else if (text == "changes") {
        *mode = SummaryMode::kChanges;
    } else if (text == "none") {
        *mode = SummaryMode::kNone;
    } else {
        return false;
    }
    return true;
}

bool ShowCycleReport(SummaryMode mode, const CycleReport& report) {
    switch (mode) {
        case SummaryMode::kAll:
            return true;
        case SummaryMode::kChanges:
            return report.comm_changed || !report.changes.empty();
        case SummaryMode::kNone:
            break;
    }
    return false;
}

std::string FormatCycleReport(const CycleReport& r) {
    using Record = RXP517_T36B2_Data_t;
    const unsigned char* rec = r.record;
    std::ostringstream out;

    out << r.title << "  " << r.time;
    if (r.seconds >= 0) {
        char text[32];
        std::snprintf(text, sizeof(text), "  %.3f s", r.seconds);
        out << text;
    }
    out << '\n';

    out << "  AC       phase A 0x" << rxp::hex::Byte(rec[offsetof(Record, phase_a_status)])
        << "  phase B 0x" << rxp::hex::Byte(rec[offsetof(Record, phase_b_status)]) << "  phase C 0x"
        << rxp::hex::Byte(rec[offsetof(Record, phase_c_status)]) << "  frequency state "
        << unsigned(rec[offsetof(Record, ac_frequency_state)]) << '\n';

    out << "  modules  ";
    bool any = false;
    for (unsigned m = 0; m < 20; ++m) {
        const unsigned status = rec[offsetof(Record, modules) + m * sizeof(RXP517_T36B2_Module_t) +
                                    offsetof(RXP517_T36B2_Module_t, status)];
        if (status == 0) continue;
        out << (any ? "  " : "") << (m + 1) << ":0x" << rxp::hex::Byte(status);
        any = true;
    }
    if (!any) out << "no status bit set";
    out << '\n';

    out << "  DC       status";
    for (std::size_t i = 0; i < 6; ++i)
        out << ' ' << rxp::hex::Byte(rec[offsetof(Record, dc_status) + i]);
    out << "  breakers " << unsigned(rec[offsetof(Record, breaker1_state)]) << ' '
        << unsigned(rec[offsetof(Record, breaker2_state)]) << "  lightning switch "
        << unsigned(rec[offsetof(Record, lightning_switch_state)]) << '\n';

    for (const AlarmNote& note : r.changes) {
        const std::string gloss = GlossLine(note.alarm_name, note.alarm_text);
        out << (note.raised ? "  raised   #" : "  cleared  #") << note.ordinal << "  "
            << note.alarm_id << ' ' << note.alarm_name << "  " << note.alarm_text
            << (gloss.empty() ? "" : "  (" + gloss + ")") << '\n';
    }
    out << "  alarms   " << r.changes.size() << (r.changes.size() == 1 ? " change, " : " changes, ")
        << r.active_alarms << " active\n";
    return out.str();
}

}  // namespace rxphost
