#include "tools/rxp-host/live_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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
    root["history_failed"] = Json::UInt64(s.history_failed);
    root["events_lost"] = Json::UInt64(s.events_lost);
    root["capture_lost"] = Json::UInt64(s.capture_lost);
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

std::string MetricsText(const LiveState& s) {
    std::string out;
    Family(&out, "rxp_comm_up", "gauge",
           "1 while the power system answers, 0 after 3 failed polls in a row (and before the "
           "first cycle).");
    out += std::string("rxp_comm_up ") + (s.comm == LiveState::Comm::kUp ? "1" : "0") + "\n";
    Family(&out, "rxp_failed_polls_total", "counter",
           "Polls abandoned: no reply in time, or a reply dropped.");
    out += "rxp_failed_polls_total " + std::to_string(s.failed_total) + "\n";
    Family(&out, "rxp_cycles_total", "counter", "Completed cycles (records published).");
    out += "rxp_cycles_total " + std::to_string(s.cycles) + "\n";
    Family(&out, "rxp_history_failed_records_total", "counter",
           "Records that could not be stored in the history database.");
    out += "rxp_history_failed_records_total " + std::to_string(s.history_failed) + "\n";
    Family(&out, "rxp_events_lost_total", "counter",
           "Events that could not be written to the events file.");
    out += "rxp_events_lost_total " + std::to_string(s.events_lost) + "\n";
    Family(&out, "rxp_capture_lost_lines_total", "counter",
           "Capture lines that could not be written to the capture file.");
    out += "rxp_capture_lost_lines_total " + std::to_string(s.capture_lost) + "\n";
    if (s.has_cycle) {
        Family(&out, "rxp_last_cycle_timestamp_seconds", "gauge",
               "When the last cycle completed, Unix time.");
        out += "rxp_last_cycle_timestamp_seconds " + Number(UnixSeconds(s.cycle_time)) + "\n";
        Family(&out, "rxp_cycle_duration_seconds", "gauge",
               "First command to publication, last completed cycle.");
        out += "rxp_cycle_duration_seconds " + Number(s.cycle_seconds) + "\n";
    }
    if (s.has_record) {
        // One gauge per field, as stored; module values carry their module, dc_status its
        // index: modules[6].status -> rxp_record_module_status{module="7"}.
        // Samples of one family stand together, in the order the record first names them.
        static const std::regex indexed(R"((\w+)\[(\d+)\])");
        std::vector<std::string> families;
        std::map<std::string, std::string> samples;
        for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) {
            std::string name = "rxp_record_" + f.name;
            std::string labels;
            std::smatch m;
            if (f.module != 0) {
                name = "rxp_record_module_" + f.row_name;
                labels = "{module=\"" + std::to_string(f.module) + "\"}";
            } else if (std::regex_match(f.name, m, indexed)) {
                name = "rxp_record_" + m[1].str();
                labels = "{index=\"" + m[2].str() + "\"}";
            }
            if (samples.count(name) == 0) families.push_back(name);
            samples[name] += name + labels + " " +
                             std::to_string(rxp::tools::ReadField(s.record.data(), f)) + "\n";
        }
        for (const std::string& name : families) {
            Family(&out, name, "gauge", "Record field, as the power system sent it.");
            out += samples[name];
        }
    }
    Family(&out, "rxp_alarm_active", "gauge", "1 for every alarm raised now.");
    for (const auto& entry : s.alarms) {
        const AlarmNote& a = entry.second;
        const unsigned module = ModuleOfOrdinal(a.ordinal);
        out += "rxp_alarm_active{key=\"" + LabelValue(a.signal_key) + "\",id=\"" +
               LabelValue(a.alarm_id) + "\",module=\"" +
               (module == 0 ? "" : std::to_string(module)) + "\"} 1\n";
    }
    return out;
}

// The temp file is one of its own beside `path`, created new (O_EXCL: a link planted at its name
// is never followed), written, flushed to disk and renamed over `path`. Two hosts on one file
// never write into each other's temp file, so a reader sees one whole file or the other.
bool ReplaceFile(const std::string& path, const std::string& content, std::string* error) {
    std::vector<char> name(path.begin(), path.end());
    for (char c : std::string(".tmp.XXXXXX")) name.push_back(c);
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot create a temporary file beside '" + path + "': " + std::strerror(errno);
        return false;
    }
    const std::string temporary = name.data();
    ::fchmod(fd, 0644);  // for readers; mkostemp makes it the owner's alone
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const int write_errno = done == content.size() ? 0 : errno != 0 ? errno : ENOSPC;
    const bool synced = write_errno == 0 && ::fsync(fd) == 0;
    const int sync_errno = errno;
    ::close(fd);
    if (!synced) {
        *error = "cannot write '" + temporary +
                 "': " + std::strerror(write_errno != 0 ? write_errno : sync_errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot replace '" + path + "': " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace rxphost
