#include "tools/rxp-host/event_log.h"

#include <iostream>
#include <stdexcept>

#include "tools/common/history_db.h"

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
    fields["event"] = name;
    fields["time"] = rxp::history::LocalIsoTimeNow();
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

std::string LowerHex(const unsigned char* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[data[i] >> 4]);
        text.push_back(kDigits[data[i] & 0x0F]);
    }
    return text;
}

}  // namespace rxphost
