#include "tools/rxp-host/event_log.h"

#include <cstring>
#include <sstream>
#include <stdexcept>

#include "tools/common/time_text.h"
#include "tools/rxp-host/host_output.h"

namespace rxphost {

EventLog::EventLog() {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    writer_.reset(builder.newStreamWriter());
}

void EventLog::Open(const std::string& path) {
    file_.Open(path, "events file");
    path_ = path;
    if (file_.ended_torn_line()) {
        Err(Priority::kWarning)
            << "rxp-host: events file '" << path
            << "' ended in an unfinished line; new events start on a line of their own"
            << std::endl;
    }
}

bool EventLog::Reopen() {
    if (!file_.is_open() || !file_.Replaced()) return false;
    Open(path_);
    return true;
}

bool EventLog::Wants(const char* name) const {
    if (!file_.is_open()) return false;
    return !changes_only_ || (std::strcmp(name, "alarm") != 0 && std::strcmp(name, "cycle") != 0);
}

void EventLog::Write(const char* name, Json::Value fields) {
    if (!Wants(name)) return;
    fields["event"] = name;
    fields["time"] = rxp::tools::IsoTimeNow();
    std::ostringstream line;
    writer_->write(fields, &line);
    line << '\n';
    Append(line.str());
}

void EventLog::Write(const char* name, rxp::tools::JsonMembers fields) {
    if (!Wants(name)) return;
    fields.Add("event", rxp::tools::JsonString(name));
    fields.Add("time", rxp::tools::JsonString(rxp::tools::IsoTimeNow()));
    Append(fields.Object() + "\n");
}

void EventLog::Append(const std::string& line) {
    std::string error;
    if (lost_unreported_ > 0) {
        Json::Value lost(Json::objectValue);
        lost["count"] = Json::UInt64(lost_unreported_);
        lost["event"] = "events_lost";
        lost["time"] = rxp::tools::IsoTimeNow();
        std::ostringstream lost_line;
        writer_->write(lost, &lost_line);
        lost_line << '\n';
        if (file_.Append(lost_line.str(), &error)) {
            Err(Priority::kNotice) << "rxp-host: events file '" << path_ << "' is written again; "
                                   << lost_unreported_ << " events were lost" << std::endl;
            lost_unreported_ = 0;
        } else {
            ++lost_total_;
            ++lost_unreported_;
            return;
        }
    }
    if (file_.Append(line, &error)) return;
    if (lost_unreported_ == 0) {
        Err(Priority::kError) << "rxp-host: cannot write events file '" << path_ << "': " << error
                              << "; trying again with every event" << std::endl;
    }
    ++lost_total_;
    ++lost_unreported_;
}

}  // namespace rxphost
