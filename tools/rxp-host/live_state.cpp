#include "tools/rxp-host/live_state.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <vector>

#include "alarms/alarm_rules.h"
#include "tools/common/record_fields.h"
#include "tools/rxp-record/record_view.h"

namespace rxphost {

namespace {

double UnixSeconds(rxp::tools::WallClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

const char* CommText(LiveState::Comm comm) {
    switch (comm) {
        case LiveState::Comm::kUp:
            return "up";
        case LiveState::Comm::kLost:
            return "lost";
        case LiveState::Comm::kUnknown:
            break;
    }
    return "unknown";
}

// A label value: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", value);  // seconds to the millisecond
    return text;
}

void Family(std::string* out, const std::string& name, const char* type, const char* help) {
    *out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

unsigned ModuleOfOrdinal(unsigned short ordinal) {
    const std::size_t first = rxp::kAcRuleCount + 1;
    const std::size_t past = first + rxp::kAlarmModules * rxp::kModuleRuleCount;
    if (ordinal < first || ordinal >= past) return 0;
    return static_cast<unsigned>((ordinal - first) / rxp::kModuleRuleCount + 1);
}

std::string StateJson(const LiveState& s, rxp::tools::WallClock::time_point now) {
    Json::Value root(Json::objectValue);
    root["time"] = rxp::tools::IsoTime(now);
    root["comm"] = CommText(s.comm);
    root["failed_polls_in_row"] = s.failed_in_row;
    root["failed_polls_total"] = Json::UInt64(s.failed_total);
    root["polls"] = Json::UInt64(s.polls);
    root["cycles"] = Json::UInt64(s.cycles);
    root["last_cycle"] = Json::Value();
    if (s.has_cycle) {
        Json::Value cycle(Json::objectValue);
        cycle["time"] = rxp::tools::IsoTime(s.cycle_time);
        cycle["seconds"] = s.cycle_seconds;
        root["last_cycle"] = cycle;
    }
    root["record"] = Json::Value();
    if (s.has_record) {
        Json::Value record = rxp::record::ToJson(s.record.data(), {"rxp-host", 0, ""});
        record.removeMember("source");
        record["published"] = rxp::tools::IsoTime(s.record_time);
        record["age_seconds"] = std::chrono::duration<double>(now - s.record_time).count();
        root["record"] = record;
    }
    Json::Value alarms(Json::arrayValue);
    for (const auto& entry : s.alarms) {
        const AlarmNote& a = entry.second;
        Json::Value alarm(Json::objectValue);
        alarm["ordinal"] = a.ordinal;
        alarm["key"] = a.signal_key;
        alarm["id"] = a.alarm_id;
        alarm["name"] = a.alarm_name;
        alarm["text"] = a.alarm_text;
        alarm["module"] = ModuleOfOrdinal(a.ordinal);
        alarms.append(alarm);
    }
    root["alarms"] = alarms;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 3;  // seconds to the millisecond
    builder["precisionType"] = "decimal";
    return Json::writeString(builder, root) + "\n";
}

// Series names end in their unit (_seconds) or _total for counters; the record's fields keep
// the values as the power system sent them, whose unit and scale are the site's knowledge.
// Host-wide series carry {port}, the device's {port,address,device_id}.
std::string MetricsText(const LiveState& s, const HostFacts& host) {
    const std::string port = "port=\"" + LabelValue(host.port) + "\"";
    const std::string device = port + ",address=\"" + std::to_string(s.address) +
                               "\",device_id=\"" + std::to_string(s.device_id) + "\"";
    const std::string on_port = "{" + port + "} ";
    const std::string on_device = "{" + device + "} ";
    std::string out;
    Family(&out, "rxp_build_info", "gauge",
           "Always 1: the version of the rxp-host serving the port.");
    out += "rxp_build_info{" + port + ",version=\"" + LabelValue(host.version) + "\"} 1\n";
    Family(&out, "rxp_history_failed_records_total", "counter",
           "Records that could not be stored in the --history database.");
    out +=
        "rxp_history_failed_records_total" + on_port + std::to_string(host.history_failed) + "\n";
    Family(&out, "rxp_events_lost_total", "counter",
           "Events that could not be written to the --events file.");
    out += "rxp_events_lost_total" + on_port + std::to_string(host.events_lost) + "\n";

    Family(&out, "rxp_comm_up", "gauge",
           "1 while the power system answers, 0 after 3 failed polls in a row (and before the "
           "first cycle).");
    out += "rxp_comm_up" + on_device + (s.comm == LiveState::Comm::kUp ? "1" : "0") + "\n";
    Family(&out, "rxp_polls_total", "counter", "Polls started.");
    out += "rxp_polls_total" + on_device + std::to_string(s.polls) + "\n";
    Family(&out, "rxp_failed_polls_total", "counter",
           "Polls abandoned: no reply in time, or a reply dropped.");
    out += "rxp_failed_polls_total" + on_device + std::to_string(s.failed_total) + "\n";
    Family(&out, "rxp_failed_polls_in_row", "gauge", "Polls failed since the last good one.");
    out += "rxp_failed_polls_in_row" + on_device + std::to_string(s.failed_in_row) + "\n";
    Family(&out, "rxp_cycles_total", "counter", "Completed cycles (records published).");
    out += "rxp_cycles_total" + on_device + std::to_string(s.cycles) + "\n";
    if (s.has_cycle) {
        Family(&out, "rxp_last_cycle_timestamp_seconds", "gauge",
               "When the last cycle completed, Unix time in seconds.");
        out += "rxp_last_cycle_timestamp_seconds" + on_device + Number(UnixSeconds(s.cycle_time)) +
               "\n";
        Family(&out, "rxp_cycle_duration_seconds", "gauge",
               "First command to publication of the last completed cycle, in seconds.");
        out += "rxp_cycle_duration_seconds" + on_device + Number(s.cycle_seconds) + "\n";
    }
    if (s.has_record) {
        Family(&out, "rxp_last_record_timestamp_seconds", "gauge",
               "When the last record was published, Unix time in seconds.");
        out += "rxp_last_record_timestamp_seconds" + on_device +
               Number(UnixSeconds(s.record_time)) + "\n";
        // One gauge per field, as stored; module values carry their module, phase values their
        // phase, dc_status its index: modules[6].status -> rxp_record_module_status{...,
        // module="7"}, phase_b_value1 -> rxp_record_phase_value1{...,phase="b"}.
        // Samples of one family stand together, in the order the record first names them.
        static const std::regex indexed(R"((\w+)\[(\d+)\])");
        static const std::regex phased(R"(phase_([abc])_(\w+))");
        std::vector<std::string> families;
        std::map<std::string, std::string> samples;
        for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) {
            std::string name = "rxp_record_" + f.name;
            std::string labels = on_device;
            std::smatch m;
            if (f.module != 0) {
                name = "rxp_record_module_" + f.row_name;
                labels = "{" + device + ",module=\"" + std::to_string(f.module) + "\"} ";
            } else if (std::regex_match(f.name, m, phased)) {
                name = "rxp_record_phase_" + m[2].str();
                labels = "{" + device + ",phase=\"" + m[1].str() + "\"} ";
            } else if (std::regex_match(f.name, m, indexed)) {
                name = "rxp_record_" + m[1].str();
                labels = "{" + device + ",index=\"" + m[2].str() + "\"} ";
            }
            if (samples.count(name) == 0) families.push_back(name);
            samples[name] +=
                name + labels + std::to_string(rxp::tools::ReadField(s.record.data(), f)) + "\n";
        }
        for (const std::string& name : families) {
            Family(&out, name, "gauge",
                   "Record field as the power system sent it: a raw number without unit (the "
                   "site's scale and unit: rxp-record --units).");
            out += samples[name];
        }
    }
    Family(&out, "rxp_alarms_active", "gauge", "Alarms raised now.");
    out += "rxp_alarms_active" + on_device + std::to_string(s.alarms.size()) + "\n";
    Family(&out, "rxp_alarm_active", "gauge", "1 for every alarm raised now.");
    for (const auto& entry : s.alarms) {
        const AlarmNote& a = entry.second;
        const unsigned module = ModuleOfOrdinal(a.ordinal);
        out += "rxp_alarm_active{" + device + ",key=\"" + LabelValue(a.signal_key) + "\",id=\"" +
               LabelValue(a.alarm_id) + "\",module=\"" +
               (module == 0 ? "" : std::to_string(module)) + "\",name=\"" +
               LabelValue(a.alarm_name) + "\"} 1\n";
    }
    return out;
}

bool ReplaceFile(const std::string& path, const std::string& content, std::string* error) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::out | std::ios::trunc | std::ios::binary);
        out << content;
        out.flush();
        if (!out) {
            *error = "cannot write '" + temporary + "'";
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot replace '" + path + "': " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace rxphost
