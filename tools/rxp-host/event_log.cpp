#include "tools/rxp-host/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
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
    // One write per line. A short write means the disk or the file size limit is reached; the
    // rest of the line is never written after it, since the file may have been truncated or
    // rotated in between, and the tail would then stand alone as a broken line.
    const off_t before = ::lseek(fd_, 0, SEEK_END);
    ssize_t n = -1;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(line.size())) return true;
    if (n < 0) {
        *error = std::strerror(errno);
        return false;
    }
    *error = "the file system took " + std::to_string(n) + " of " + std::to_string(line.size()) +
             " bytes (disk full or file size limit)";
    // Half a line would spoil the line after it too: cut it off again, unless the file changed
    // under us (truncated by someone else), where cutting back would leave a hole of zeros.
    struct stat st {};
    if (n > 0 && before >= 0 && ::fstat(fd_, &st) == 0 && st.st_size == before + n) {
        if (::ftruncate(fd_, before) != 0) *error += "; a partial line is left";
    }
    return false;
}

void EventLog::Write(const char* name, Json::Value fields) {
    if (fd_ < 0) return;
    if (changes_only_ && (std::strcmp(name, "alarm") == 0 || std::strcmp(name, "cycle") == 0)) {
        return;
    }
    std::string error;
    if (lost_unreported_ > 0) {
        Json::Value lost(Json::objectValue);
        lost["count"] = Json::UInt64(lost_unreported_);
        lost["event"] = "events_lost";
        lost["time"] = rxp::tools::IsoTimeNow();
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
    fields["time"] = rxp::tools::IsoTimeNow();
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

}  // namespace rxphost
