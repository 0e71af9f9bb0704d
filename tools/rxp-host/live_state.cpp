#include "tools/rxp-host/live_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>
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

using rxp::tools::JsonMembers;
using rxp::tools::JsonNumber;
using rxp::tools::JsonString;

// Seconds in the state: to the millisecond.
std::string Seconds(double seconds) {
    return rxp::tools::JsonReal(seconds, 3);
}

void AddDeviceMembers(const BusDeviceState& d, bool stopped, rxp::tools::WallClock::time_point now,
                      JsonMembers* device) {
    const LiveState& s = *d.live;
    device->Add("address", JsonNumber(s.address));
    device->Add("device_id", JsonNumber(s.device_id));
    device->Add("comm", JsonString(stopped ? "stopped" : CommText(s.comm)));
    device->Add("failed_polls_in_row", JsonNumber(s.failed_in_row));
    device->Add("failed_polls_total", JsonNumber(s.failed_total));
    device->Add("polls", JsonNumber(s.polls));
    device->Add("cycles", JsonNumber(s.cycles));
    device->Add("other_address_frames", JsonNumber(d.other_address_frames));
    device->Add("second_replies", JsonNumber(d.second_replies));
    device->Add("late_replies", JsonNumber(d.late_replies));
    device->Add("replies", JsonNumber(s.replies));
    device->Add("line_reads", JsonNumber(s.line_reads));
    device->Add("line_wakeups", JsonNumber(s.line_wakeups));
    device->Add("line_system_calls", JsonNumber(s.line_system_calls));
    std::string cycle = "null";
    if (s.has_cycle) {
        JsonMembers last;
        last.Add("time", JsonString(rxp::tools::IsoTime(s.cycle_time)));
        last.Add("seconds", Seconds(s.cycle_seconds));
        cycle = last.Object();
    }
    device->Add("last_cycle", std::move(cycle));
    std::string record = "null";
    if (s.has_record) {
        JsonMembers members;
        rxp::record::AddRecordJsonMembers(s.record.data(), &members);
        members.Add("published", JsonString(rxp::tools::IsoTime(s.record_time)));
        members.Add("age_seconds",
                    Seconds(std::chrono::duration<double>(now - s.record_time).count()));
        record = members.Object();
    }
    device->Add("record", std::move(record));
    std::string alarms = "[";
    for (const auto& entry : s.alarms) {
        const AlarmNote& a = entry.second;
        JsonMembers alarm;
        alarm.Add("ordinal", JsonNumber(a.ordinal));
        alarm.Add("key", JsonString(a.signal_key));
        alarm.Add("id", JsonString(a.alarm_id));
        alarm.Add("name", JsonString(a.alarm_name));
        alarm.Add("text", JsonString(a.alarm_text));
        alarm.Add("module", JsonNumber(ModuleOfOrdinal(a.ordinal)));
        if (alarms.size() > 1) alarms += ',';
        alarms += alarm.Object();
    }
    device->Add("alarms", alarms + "]");
}

// Metric families in the order first named, each with its samples together, as the text
// format wants them. A family's header is made once a run, not every cycle.
class Families {
public:
    // A family named by a literal: its id is looked up by the literal's address after the
    // first time, without making a string of its name every cycle.
    void Add(const char* name, const char* type, const char* help, const std::string& labels,
             const std::string& value) {
        static std::unordered_map<const char*, std::size_t> by_literal;
        auto found = by_literal.find(name);
        if (found == by_literal.end()) {
            found = by_literal.emplace(name, Id(name, type, help)).first;
        }
        Add(found->second, labels, value, std::string());
    }
    // A sample of a family named before (Id), with labels in two parts.
    void Add(std::size_t id, const std::string& labels, const std::string& value,
             const std::string& more_labels) {
        std::string& family = Named(id);
        family += Names()[id];
        family += '{';
        family += labels;
        family += more_labels;
        family += "} ";
        family += value;
        family += '\n';
    }
    // A sample whose text up to its value (Head) is made already.
    void AddAfterHead(std::size_t id, const std::string& head, std::uint32_t value) {
        std::string& family = Named(id);
        family += head;
        char digits[16];
        family.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
        family += '\n';
    }
    // A sample's text up to its value: name{labels} .
    static std::string Head(std::size_t id, const std::string& labels,
                            const std::string& more_labels) {
        return Names()[id] + "{" + labels + more_labels + "} ";
    }
    // A family without samples yet (every device's alarms clear).
    void Declare(const std::string& name, const char* type, const char* help) {
        Named(Id(name, type, help));
    }
    // The family's id for the run.
    static std::size_t Id(const std::string& name, const char* type, const char* help) {
        auto found = Ids().find(name);
        if (found != Ids().end()) return found->second;
        Ids().emplace(name, Heads().size());
        Names().push_back(name);
        Heads().push_back("# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n");
        return Heads().size() - 1;
    }
    // Starts again, keeping the buffers of the families named before.
    void Clear() {
        for (std::size_t id : order_) samples_[id].clear();
        order_.clear();
        std::fill(named_.begin(), named_.end(), false);
    }
    std::string Text() const {
        std::size_t size = 0;
        for (std::size_t id : order_) size += Heads()[id].size() + samples_[id].size();
        std::string out;
        out.reserve(size);
        for (std::size_t id : order_) {
            out += Heads()[id];
            out += samples_[id];
        }
        return out;
    }

private:
    // Every family named so far in the run: its id by name, and its header by id. Only the
    // loop's thread writes the metrics.
    static std::unordered_map<std::string, std::size_t>& Ids() {
        static std::unordered_map<std::string, std::size_t> ids;
        return ids;
    }
    static std::vector<std::string>& Heads() {
        static std::vector<std::string> heads;
        return heads;
    }
    static std::vector<std::string>& Names() {
        static std::vector<std::string> names;
        return names;
    }

    std::string& Named(std::size_t id) {
        if (id >= samples_.size()) {
            samples_.resize(Heads().size());
            named_.resize(Heads().size(), false);
        }
        if (!named_[id]) {
            named_[id] = true;
            order_.push_back(id);
        }
        return samples_[id];
    }

    std::vector<std::size_t> order_;    // family ids in the order first named
    std::vector<std::string> samples_;  // by family id
    std::vector<bool> named_;           // by family id
};

// The series of a record field: its name and the labels it adds to the device's. Module values
// carry their module, phase values their phase, dc_status its index: modules[6].status ->
// rxp_record_module_status{...,module="7"}, phase_b_value1 -> rxp_record_phase_value1{...,
// phase="b"}.
struct FieldSeries {
    const rxp::tools::RecordField* field;
    std::string name;
    std::string labels;  // ",module=\"7\"", or empty
    std::size_t family;  // Families::Id
};

constexpr const char* kFieldHelp =
    "Record field as the power system sent it: a raw number without unit (the site's scale and "
    "unit: rxp-record --units).";

const std::vector<FieldSeries>& RecordSeries() {
    static const std::vector<FieldSeries> series = [] {
        std::vector<FieldSeries> out;
        for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) {
            FieldSeries s{&f, "rxp_record_" + f.name, "", 0};
            const std::string& n = f.name;
            const std::size_t bracket = n.find('[');
            if (f.module != 0) {
                s.name = "rxp_record_module_" + f.row_name;
                s.labels = ",module=\"" + std::to_string(f.module) + "\"";
            } else if (n.size() > 8 && n.compare(0, 6, "phase_") == 0 &&
                       std::string("abc").find(n[6]) != std::string::npos && n[7] == '_') {
                s.name = "rxp_record_phase_" + n.substr(8);  // phase_b_value1
                s.labels = ",phase=\"" + n.substr(6, 1) + "\"";
            } else if (bracket != std::string::npos && n.back() == ']') {
                s.name = "rxp_record_" + n.substr(0, bracket);  // dc_status[1]
                s.labels = ",index=\"" + n.substr(bracket + 1, n.size() - bracket - 2) + "\"";
            }
            s.family = Families::Id(s.name, "gauge", kFieldHelp);
            out.push_back(std::move(s));
        }
        return out;
    }();
    return series;
}

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
    out->Add("rxp_replies_total", "counter", "Reply frames handed to the device.", device,
             std::to_string(s.replies));
    out->Add("rxp_line_reads_total", "counter",
             "Read calls on the port while this device was polled.", device,
             std::to_string(s.line_reads));
    out->Add("rxp_line_wakeups_total", "counter",
             "Times the port woke the host while this device was polled.", device,
             std::to_string(s.line_wakeups));
    out->Add("rxp_line_system_calls_total", "counter",
             "System calls on the port while this device was polled: reads, writes, waits and "
             "changes of its settings.",
             device, std::to_string(s.line_system_calls));
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
        // One gauge per field, as stored.
        // The text of each field's sample up to its value, made once for each device.
        static std::map<std::string, std::vector<std::string>> heads_by_device;
        std::vector<std::string>& heads = heads_by_device[device];
        const std::vector<FieldSeries>& all = RecordSeries();
        if (heads.empty()) {
            for (const FieldSeries& series : all) {
                heads.push_back(Families::Head(series.family, device, series.labels));
            }
        }
        for (std::size_t i = 0; i < all.size(); ++i) {
            out->AddAfterHead(all[i].family, heads[i],
                              rxp::tools::ReadField(s.record.data(), *all[i].field));
        }
    }
    out->Add("rxp_alarms_active", "gauge", "Alarms raised now.", device,
             std::to_string(s.alarms.size()));
}

}  // namespace

// Written as text directly: the same text jsoncpp's writer made of the same members, without
// building a document of the record's fields every cycle.
std::string StateJson(const BusState& bus, rxp::tools::WallClock::time_point now) {
    JsonMembers root;
    root.Add("time", JsonString(rxp::tools::IsoTime(now)));
    root.Add("host", JsonString(bus.host.stopped ? "stopped" : "running"));
    if (bus.host.stopped)
        root.Add("stopped_at", JsonString(rxp::tools::IsoTime(bus.host.stopped_at)));
    root.Add("pid", std::to_string(bus.host.process.pid));
    root.Add("pid_started", JsonNumber(bus.host.process.started));
    root.Add("pid_namespace", JsonString(bus.host.process.pid_namespace));
    root.Add("port", JsonString(bus.host.port));
    root.Add("version", JsonString(bus.host.version));
    root.Add("history_failed", JsonNumber(bus.host.history_failed));
    root.Add("events_lost", JsonNumber(bus.host.events_lost));
    root.Add("capture_lost", JsonNumber(bus.host.capture_lost));
    root.Add("output_dropped", JsonNumber(bus.host.output_dropped));
    root.Add("history_waiting", JsonNumber(bus.host.history_waiting));
    std::string devices = "[";
    for (const BusDeviceState& d : bus.devices) {
        JsonMembers device;
        AddDeviceMembers(d, bus.host.stopped, now, &device);
        if (devices.size() > 1) devices += ',';
        devices += device.Object();
        // One device: its members at the top level too, for the readers of one-device files.
        if (bus.devices.size() == 1) root.Take(std::move(device));
    }
    root.Add("devices", devices + "]");
    return root.Object() + "\n";
}

// Series names end in their unit (_seconds) or _total for counters; the record's fields keep
// the values as the power system sent them, whose unit and scale are the site's knowledge.
// Host-wide series carry {port}, every device's {port,address,device_id}.
std::string MetricsText(const BusState& bus) {
    const HostFacts& host = bus.host;
    const std::string port = "port=\"" + LabelValue(host.port) + "\"";
    // One set of buffers for the run: the text is rewritten every cycle at the same size.
    static Families out;
    out.Clear();
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
