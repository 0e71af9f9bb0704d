#include "tools/rxp-host/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
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

EventLog::~EventLog() {
    if (fd_ >= 0) ::close(fd_);
}

void EventLog::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot open events file '" + path + "': " + std::strerror(errno));
    }
    fd_ = fd;
    path_ = path;
}

bool EventLog::WriteLine(const std::string& line, std::string* error) {
    const off_t before = ::lseek(fd_, 0, SEEK_END);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        *error = n < 0 ? std::strerror(errno) : "nothing written";
        // Half a line would spoil the line after it too: cut the file back.
        struct stat st {};
        if (done > 0 && before >= 0 && ::fstat(fd_, &st) == 0 && st.st_size > before) {
            if (::ftruncate(fd_, before) != 0) *error += "; a partial line is left";
        }
        return false;
    }
    return true;
}

void EventLog::Write(const char* name, Json::Value fields) {
    if (fd_ < 0) return;
    std::string error;
    if (lost_unreported_ > 0) {
        Json::Value lost(Json::objectValue);
        lost["count"] = Json::UInt64(lost_unreported_);
        lost["event"] = "events_lost";
        lost["time"] = rxp::history::LocalIsoTimeNow();
        std::ostringstream line;
        writer_->write(lost, &line);
        line << '\n';
        if (WriteLine(line.str(), &error)) {
            std::cerr << "rxp-host: events file '" << path_ << "' is written again; "
                      << lost_unreported_ << " events were lost" << std::endl;
            lost_unreported_ = 0;
        } else {
            ++lost_total_;
            ++lost_unreported_;
            return;
        }
    }
    fields["event"] = name;
    fields["time"] = rxp::history::LocalIsoTimeNow();
    std::ostringstream line;
    writer_->write(fields, &line);
    line << '\n';
    if (WriteLine(line.str(), &error)) return;
    if (lost_unreported_ == 0) {
        std::cerr << "rxp-host: cannot write events file '" << path_ << "': " << error
                  << "; trying again with every event" << std::endl;
    }
    ++lost_total_;
    ++lost_unreported_;
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
