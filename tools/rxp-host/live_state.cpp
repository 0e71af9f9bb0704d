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

}  // namespace

unsigned ModuleOfOrdinal(unsigned short ordinal) {
    const std::size_t first = rxp::kAcRuleCount + 1;
    const std::size_t past = first + rxp::kAlarmModules * rxp::kModuleRuleCount;
    if (ordinal < first || ordinal >= past) return 0;
    return static_cast<unsigned>((ordinal - first) / rxp::kModuleRuleCount + 1);
}

namespace {

Json::Value DeviceJson(const BusDeviceState& d, bool stopped,
                       rxp::tools::WallClock::time_point now) {
    const LiveState& s = *d.live;
    Json::Value root(Json::objectValue);
    root["address"] = s.address;
    root["device_id"] = s.device_id;
    root["comm"] = stopped ? "stopped" : CommText(s.comm);
    root["failed_polls_in_row"] = s.failed_in_row;
    root["failed_polls_total"] = Json::UInt64(s.failed_total);
    root["polls"] = Json::UInt64(s.polls);
    root["cycles"] = Json::UInt64(s.cycles);
    root["other_address_frames"] = Json::UInt64(d.other_address_frames);
    root["second_replies"] = Json::UInt64(d.second_replies);
    root["late_replies"] = Json::UInt64(d.late_replies);
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
    return root;
}

// Metric families in the order first named, each with its samples together, as the text
// format wants them.
class Families {
public:
    void Add(const std::string& name, const char* type, const std::string& help,
             const std::string& labels, const std::string& value) {
        auto found = index_.find(name);
        if (found == index_.end()) {
            found = index_.emplace(name, families_.size()).first;
            families_.push_back("# HELP " + name + " " + help + "\n# TYPE " + name + " " + type +
                                "\n");
        }
        families_[found->second] += name + "{" + labels + "} " + value + "\n";
    }
    // A family without samples yet (every device's alarms clear).
    void Declare(const std::string& name, const char* type, const std::string& help) {
        if (index_.count(name) != 0) return;
        index_.emplace(name, families_.size());
        families_.push_back("# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n");
    }
    std::string Text() const {
        std::string out;
        for (const std::string& f : families_) out += f;
        return out;
    }

private:
    std::vector<std::string> families_;
    std::map<std::string, std::size_t> index_;
};

std::string DeviceLabels(const std::string& port, const LiveState& s) {
    return "port=\"" + LabelValue(port) + "\",address=\"" + std::to_string(s.address) +
           "\",device_id=\"" + std::to_string(s.device_id) + "\"";
}

void DeviceMetrics(Families* out, const std::string& port, const BusDeviceState& d, bool stopped) {
    const LiveState& s = *d.live;
    const std::string device = DeviceLabels(port, s);
    out->Add("rxp_comm_up", "gauge",
             "1 while the power system answers, 0 after 3 failed polls in a row (and before the "
             "first cycle, and once the host stopped).",
             device, s.comm == LiveState::Comm::kUp && !stopped ? "1" : "0");
    out->Add("rxp_polls_total", "counter", "Polls started.", device, std::to_string(s.polls));
    out->Add("rxp_failed_polls_total", "counter",
             "Polls abandoned: no reply in time, or a reply dropped.", device,
             std::to_string(s.failed_total));
    out->Add("rxp_failed_polls_in_row", "gauge", "Polls failed since the last good one.", device,
             std::to_string(s.failed_in_row));
    out->Add("rxp_cycles_total", "counter", "Completed cycles (records published).", device,
             std::to_string(s.cycles));
    out->Add("rxp_other_address_frames_total", "counter",
             "Reply frames from another address while this device was polled, not taken.", device,
             std::to_string(d.other_address_frames));
    out->Add("rxp_second_replies_total", "counter",
             "Second replies to one command from this address, not taken (two units at one "
             "address).",
             device, std::to_string(d.second_replies));
    out->Add("rxp_late_replies_total", "counter",
             "Replies of this device that came after its poll was given up, in another device's "
             "poll, not taken (the device answers slower than --timeout).",
             device, std::to_string(d.late_replies));
    if (s.has_cycle) {
        out->Add("rxp_last_cycle_timestamp_seconds", "gauge",
                 "When the last cycle completed, Unix time in seconds.", device,
                 Number(UnixSeconds(s.cycle_time)));
        out->Add("rxp_cycle_duration_seconds", "gauge",
                 "First command to publication of the last completed cycle, in seconds.", device,
                 Number(s.cycle_seconds));
    }
    if (s.has_record) {
        out->Add("rxp_last_record_timestamp_seconds", "gauge",
                 "When the last record was published, Unix time in seconds.", device,
                 Number(UnixSeconds(s.record_time)));
        // One gauge per field, as stored; module values carry their module, phase values their
        // phase, dc_status its index: modules[6].status -> rxp_record_module_status{...,
        // module="7"}, phase_b_value1 -> rxp_record_phase_value1{...,phase="b"}.
        static const std::regex indexed(R"((\w+)\[(\d+)\])");
        static const std::regex phased(R"(phase_([abc])_(\w+))");
        for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) {
            std::string name = "rxp_record_" + f.name;
            std::string labels = device;
            std::smatch m;
            if (f.module != 0) {
                name = "rxp_record_module_" + f.row_name;
                labels += ",module=\"" + std::to_string(f.module) + "\"";
            } else if (std::regex_match(f.name, m, phased)) {
                name = "rxp_record_phase_" + m[2].str();
                labels += ",phase=\"" + m[1].str() + "\"";
            } else if (std::regex_match(f.name, m, indexed)) {
                name = "rxp_record_" + m[1].str();
                labels += ",index=\"" + m[2].str() + "\"";
            }
            out->Add(name, "gauge",
                     "Record field as the power system sent it: a raw number without unit (the "
                     "site's scale and unit: rxp-record --units).",
                     labels, std::to_string(rxp::tools::ReadField(s.record.data(), f)));
        }
    }
    out->Add("rxp_alarms_active", "gauge", "Alarms raised now.", device,
             std::to_string(s.alarms.size()));
}

}  // namespace

std::string StateJson(const BusState& bus, rxp::tools::WallClock::time_point now) {
    Json::Value root(Json::objectValue);
    root["time"] = rxp::tools::IsoTime(now);
    root["host"] = bus.host.stopped ? "stopped" : "running";
    if (bus.host.stopped) root["stopped_at"] = rxp::tools::IsoTime(bus.host.stopped_at);
    root["pid"] = Json::Int64(bus.host.process.pid);
    root["pid_started"] = Json::UInt64(bus.host.process.started);
    root["pid_namespace"] = bus.host.process.pid_namespace;
    root["port"] = bus.host.port;
    root["version"] = bus.host.version;
    root["history_failed"] = Json::UInt64(bus.host.history_failed);
    root["events_lost"] = Json::UInt64(bus.host.events_lost);
    root["capture_lost"] = Json::UInt64(bus.host.capture_lost);
    root["output_dropped"] = Json::UInt64(bus.host.output_dropped);
    root["history_waiting"] = Json::UInt64(bus.host.history_waiting);
    Json::Value devices(Json::arrayValue);
    for (const BusDeviceState& d : bus.devices) {
        devices.append(DeviceJson(d, bus.host.stopped, now));
    }
    // One device: its members at the top level too, for the readers of one-device files.
    if (bus.devices.size() == 1) {
        for (const std::string& name : devices[0].getMemberNames()) {
            root[name] = devices[0][name];
        }
    }
    root["devices"] = devices;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 3;  // seconds to the millisecond
    builder["precisionType"] = "decimal";
    return Json::writeString(builder, root) + "\n";
}

// Series names end in their unit (_seconds) or _total for counters; the record's fields keep
// the values as the power system sent them, whose unit and scale are the site's knowledge.
// Host-wide series carry {port}, every device's {port,address,device_id}.
std::string MetricsText(const BusState& bus) {
    const HostFacts& host = bus.host;
    const std::string port = "port=\"" + LabelValue(host.port) + "\"";
    Families out;
    out.Add("rxp_build_info", "gauge", "Always 1: the version of the rxp-host serving the port.",
            port + ",version=\"" + LabelValue(host.version) + "\"", "1");
    out.Add("rxp_host_running", "gauge",
            "1 while rxp-host polls the port, 0 once it stopped (written as it exits).", port,
            host.stopped ? "0" : "1");
    out.Add("rxp_history_failed_records_total", "counter",
            "Records that could not be stored in the --history database.", port,
            std::to_string(host.history_failed));
    out.Add("rxp_events_lost_total", "counter",
            "Events that could not be written to the --events file.", port,
            std::to_string(host.events_lost));
    out.Add("rxp_capture_lost_lines_total", "counter",
            "Capture lines that could not be written to the --capture file.", port,
            std::to_string(host.capture_lost));
    out.Add("rxp_output_dropped_lines_total", "counter",
            "Lines of standard output or error dropped because nothing read them (a stalled "
            "journal).",
            port, std::to_string(host.output_dropped));
    out.Add("rxp_history_waiting_records", "gauge",
            "Records held in memory now because another program locks the --history database "
            "(lost if the host is killed).",
            port, std::to_string(host.history_waiting));
    for (const BusDeviceState& d : bus.devices) DeviceMetrics(&out, host.port, d, host.stopped);
    out.Declare("rxp_alarm_active", "gauge", "1 for every alarm raised now.");
    for (const BusDeviceState& d : bus.devices) {
        for (const auto& entry : d.live->alarms) {
            const AlarmNote& a = entry.second;
            const unsigned module = ModuleOfOrdinal(a.ordinal);
            out.Add("rxp_alarm_active", "gauge", "1 for every alarm raised now.",
                    DeviceLabels(host.port, *d.live) + ",key=\"" + LabelValue(a.signal_key) +
                        "\",id=\"" + LabelValue(a.alarm_id) + "\",module=\"" +
                        (module == 0 ? "" : std::to_string(module)) + "\",name=\"" +
                        LabelValue(a.alarm_name) + "\"",
                    "1");
        }
    }
    return out.Text();
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
