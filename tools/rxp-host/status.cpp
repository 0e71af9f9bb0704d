#include "tools/rxp-host/status.h"

#include <json/json.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "tools/rxp-host/alarm_glosses.h"
#include "tools/rxp-host/host_process.h"
#include "tools/rxp-host/input_file.h"

namespace rxphost {

namespace {

const char* const kVerdicts[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

// A state is a few kilobytes a device; a file far larger is not one.
constexpr std::size_t kStateLimit = 1 << 20;
// Times are written to the second by the clock this reader reads: one further ahead than this
// says the clock was set back since, and no age read from it can be trusted.
constexpr double kFutureSlack = 5;

double AgeOf(const Json::Value& iso_time, rxp::tools::WallClock::time_point now) {
    if (!iso_time.isString()) throw std::runtime_error("a time is missing");
    return std::chrono::duration<double>(now - rxp::tools::ParseIsoTime(iso_time.asString()))
        .count();
}

// "4.2 s ago", or "3600.0 s in the future" for a time ahead of the clock.
std::string AgeText(double age) {
    return age >= 0 ? Seconds(age) + " s ago" : Seconds(-age) + " s in the future";
}

// The verdict so far and why: the worst one seen, with its first reason.
struct Verdict {
    int code = kStatusOk;
    std::string why;
    void Raise(int to, const std::string& reason) {
        if (to > code) {
            code = to;
            why = reason;
        }
    }
};

// One device's lines, and what they add to the verdict.
void DeviceLines(const Json::Value& d, const std::string& who,
                 rxp::tools::WallClock::time_point now, double max_age, std::ostream& lines,
                 Verdict* verdict) {
    if (!d.isObject() || !d["comm"].isString() || !d["alarms"].isArray()) {
        throw std::runtime_error("a device without \"comm\" or \"alarms\"");
    }
    const std::string comm = d["comm"].asString();
    lines << "comm: " << comm << "\n";
    if (comm == "lost") {
        verdict->Raise(kStatusCritical, "communication lost" + who);
    } else if (comm != "up") {
        verdict->Raise(kStatusWarning, "no cycle completed yet" + who);
    }
    if (d["record"].isObject()) {
        const double age = AgeOf(d["record"]["published"], now);
        lines << "last_record_age_seconds: " << Seconds(age) << "\n";
        if (age > max_age)
            verdict->Raise(kStatusCritical, "last record " + Seconds(age) + " s old" + who);
        if (age < -kFutureSlack) {
            verdict->Raise(kStatusUnknown, "last record published " + AgeText(age) + who +
                                               ": was the clock set back?");
        }
    } else {
        lines << "last_record_age_seconds: none\n";
    }
    lines << "failed_polls_in_row: " << d["failed_polls_in_row"].asUInt64() << "\n";
    lines << "failed_polls_total: " << d["failed_polls_total"].asUInt64() << "\n";
    const Json::Value& alarms = d["alarms"];
    lines << "alarms_active: " << alarms.size() << "\n";
    for (const Json::Value& a : alarms) {
        lines << "alarm: " << a["id"].asString() << " " << a["key"].asString();
        if (a["module"].asUInt() != 0) lines << " (module " << a["module"].asUInt() << ")";
        lines << ": " << a["name"].asString() << ": " << a["text"].asString();
        const std::string gloss = GlossLine(a["name"].asString(), a["text"].asString());
        lines << (gloss.empty() ? "" : " (" + gloss + ")") << "\n";
    }
    if (alarms.size() > 0) {
        verdict->Raise(kStatusWarning, std::to_string(alarms.size()) +
                                           (alarms.size() == 1 ? " alarm" : " alarms") + " raised" +
                                           who);
    }
}

// The host's storage counters: records not stored, events and capture lines not written, lines
// of output dropped, records waiting for a locked database. Any of them above 0 is a WARNING,
// so that an OK says everything polled was also kept. A member missing (an older host) is 0.
void StorageLines(const Json::Value& state, std::ostream& lines, Verdict* verdict) {
    static const char* const kCounters[] = {"history_failed", "events_lost", "capture_lost",
                                            "output_dropped", "history_waiting"};
    std::string failing;
    for (const char* name : kCounters) {
        const std::uint64_t count = state[name].asUInt64();
        if (count == 0) continue;
        lines << name << ": " << count << "\n";
        failing += (failing.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
    }
    if (!failing.empty()) verdict->Raise(kStatusWarning, "storage failing: " + failing);
}

// A host that cannot say so itself: killed (gone without writing "stopped"), or frozen by a
// signal. Its state reads as it was, so the process is looked at, where this machine shows it.
void ProcessLines(const Json::Value& state, std::ostream& lines, Verdict* verdict) {
    if (!state["pid"].isIntegral() || !state["pid_started"].isIntegral() ||
        !state["pid_namespace"].isString()) {
        return;  // a state of an older build
    }
    ProcessMark mark;
    mark.pid = static_cast<long>(state["pid"].asInt64());
    mark.started = state["pid_started"].asUInt64();
    mark.pid_namespace = state["pid_namespace"].asString();
    const std::string who = "the host (pid " + std::to_string(mark.pid) + ")";
    switch (LookAt(mark)) {
        case ProcessSeen::kRunning:
            lines << "host: running, pid " << mark.pid << "\n";
            break;
        case ProcessSeen::kFrozen:
            lines << "host: frozen, pid " << mark.pid << "\n";
            verdict->Raise(kStatusCritical, who + " is frozen, stopped by a signal: nothing polls");
            break;
        case ProcessSeen::kGone:
            lines << "host: gone, pid " << mark.pid << "\n";
            verdict->Raise(kStatusCritical,
                           who + " is gone without saying so (killed?): nothing polls");
            break;
        case ProcessSeen::kCannotTell:
            break;
    }
}

}  // namespace

int StatusOfState(const std::string& path, const std::string& text,
                  rxp::tools::WallClock::time_point now, double max_age, std::ostream& out) {
    Verdict verdict;
    std::ostringstream lines;
    try {
        Json::Value state;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(text.data(), text.data() + text.size(), &state, &errors) ||
            !state.isObject()) {
            throw std::runtime_error("not a JSON object");
        }
        const double age = AgeOf(state["time"], now);
        lines << "state: " << path << ", written " << AgeText(age) << "\n";
        if (age > max_age) {
            verdict.Raise(kStatusCritical,
                          "state not written for " + Seconds(age) + " s: is the host running?");
        }
        if (age < -kFutureSlack) {
            verdict.Raise(kStatusUnknown,
                          "state written " + AgeText(age) + ": was the clock set back?");
        }
        // Written by the host as it ended: nobody polls, whatever the devices last said.
        if (state["host"].asString() == "stopped") {
            lines << "host: stopped at " << state["stopped_at"].asString() << "\n";
            verdict.Raise(kStatusCritical, "the host stopped at " + state["stopped_at"].asString() +
                                               ": nobody polls");
        } else {
            ProcessLines(state, lines, &verdict);
        }
        if (state["port"].isString()) lines << "port: " << state["port"].asString() << "\n";
        if (state["version"].isString()) {
            lines << "version: " << state["version"].asString() << "\n";
        }
        StorageLines(state, lines, &verdict);
        const Json::Value& devices = state["devices"];
        if (devices.isArray() && devices.size() > 1) {
            for (const Json::Value& d : devices) {
                const std::string address = d["address"].asString();
                lines << "device: address " << address << ", id " << d["device_id"].asString()
                      << "\n";
                DeviceLines(d, " at address " + address, now, max_age, lines, &verdict);
            }
        } else {
            // One device: its fields stand at the top level (also inside "devices").
            DeviceLines(devices.isArray() && devices.size() == 1 ? devices[0] : state, "", now,
                        max_age, lines, &verdict);
        }
    } catch (const std::exception& e) {  // Json::Exception for a member of the wrong type too
        out << "status: UNKNOWN (" << path << " is not a state file of rxp-host: " << e.what()
            << ")\n";
        return kStatusUnknown;
    }
    out << "status: " << kVerdicts[verdict.code];
    if (!verdict.why.empty()) out << " (" << verdict.why << ")";
    out << "\n" << lines.str();
    return verdict.code;
}

// Read to a bound and never waiting: a check that hangs on a FIFO, or reads /dev/zero until
// memory runs out, tells monitoring nothing.
int ShowStatus(const std::string& path, double max_age, std::ostream& out) {
    std::string text, why;
    if (!ReadRegularFile(path, kStateLimit + 1, &text, &why)) {
        out << "status: UNKNOWN (cannot read " << path << ": " << why;
        if (::access(path.c_str(), F_OK) != 0) {
            out << "; is the host running with --state " << path << "?";
        }
        out << ")\n";
        return kStatusUnknown;
    }
    if (text.size() > kStateLimit) {
        out << "status: UNKNOWN (" << path << " is larger than " << (kStateLimit >> 20)
            << " MiB: not a state file of rxp-host)\n";
        return kStatusUnknown;
    }
    return StatusOfState(path, text, rxp::tools::WallClock::now(), max_age, out);
}

}  // namespace rxphost
