#include "tools/rxp-host/status.h"

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace rxphost {

namespace {

const char* const kVerdicts[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

double AgeOf(const Json::Value& iso_time, rxp::tools::WallClock::time_point now) {
    if (!iso_time.isString()) throw std::runtime_error("a time is missing");
    return std::chrono::duration<double>(now - rxp::tools::ParseIsoTime(iso_time.asString()))
        .count();
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
        lines << ": " << a["name"].asString() << ": " << a["text"].asString() << "\n";
    }
    if (alarms.size() > 0) {
        verdict->Raise(kStatusWarning, std::to_string(alarms.size()) +
                                           (alarms.size() == 1 ? " alarm" : " alarms") + " raised" +
                                           who);
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
        lines << "state: " << path << ", written " << Seconds(age) << " s ago\n";
        if (age > max_age) {
            verdict.Raise(kStatusCritical,
                          "state not written for " + Seconds(age) + " s: is the host running?");
        }
        // Written by the host as it ended: nobody polls, whatever the devices last said.
        if (state["host"].asString() == "stopped") {
            lines << "host: stopped at " << state["stopped_at"].asString() << "\n";
            verdict.Raise(kStatusCritical, "the host stopped at " + state["stopped_at"].asString() +
                                               ": nobody polls");
        }
        if (state["port"].isString()) lines << "port: " << state["port"].asString() << "\n";
        if (state["version"].isString()) {
            lines << "version: " << state["version"].asString() << "\n";
        }
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

int ShowStatus(const std::string& path, double max_age, std::ostream& out) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        out << "status: UNKNOWN (cannot read " << path << ": " << std::strerror(errno)
            << "; is the host running with --state " << path << "?)\n";
        return kStatusUnknown;
    }
    return StatusOfState(path, text.str(), rxp::tools::WallClock::now(), max_age, out);
}

}  // namespace rxphost
