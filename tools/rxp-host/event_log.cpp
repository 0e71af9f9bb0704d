#include "tools/rxp-host/event_log.h"

#include <cstring>
#include <iostream>
#include <stdexcept>

#include "tools/common/time_text.h"

namespace rxphost {

EventLog::EventLog() {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    writer_.reset(builder.newStreamWriter());
}

void EventLog::Open(const std::string& path) {
    out_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out_) throw std::runtime_error("cannot create events file '" + path + "'");
    path_ = path;
}

void EventLog::Write(const char* name, Json::Value fields) {
    if (!out_.is_open()) return;
    if (changes_only_ && (std::strcmp(name, "alarm") == 0 || std::strcmp(name, "cycle") == 0)) {
        return;
    }
    fields["event"] = name;
    fields["time"] = rxp::tools::IsoTimeNow();
    writer_->write(fields, &out_);
    out_ << '\n';
    if (!out_ && !failed_reported_) {
        failed_reported_ = true;
        std::cerr << "rxp-host: cannot write events file '" << path_ << "'" << std::endl;
    }
}

void EventLog::Flush() {
    if (out_.is_open()) out_.flush();
}

}  // namespace rxphost
