// Events for programs: JSON Lines, UTF-8 with the Chinese texts as they are, one object per
// event, each with "event" and "time" (ISO 8601 with the UTC offset).
//
// The file is appended to, so that a restart keeps the log of the run before it; a last line
// left unended by a crash is ended first. Every event is one whole line or nothing
// (tools/common/line_file.h), so a reader never sees half an event. After a failed write (a full
// disk) every later event is tried again; the first that gets through is preceded by an
// "events_lost" event with the number of events that could not be written.
#ifndef RXP_TOOLS_RXP_HOST_EVENT_LOG_H
#define RXP_TOOLS_RXP_HOST_EVENT_LOG_H

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/common/json_text.h"
#include "tools/common/line_file.h"

namespace rxphost {

class EventLog {
public:
    EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Without a call to Open the log is off and Write does nothing. Throws std::runtime_error
    // naming the file when it cannot be opened for appending or is not a regular file.
    void Open(const std::string& path);
    bool enabled() const { return file_.is_open(); }
    // Opens the file again at its path when it was renamed away (log rotation); false when the
    // path still names the file open. Throws as Open does.
    bool Reopen();
    // --events-level changes: only what changes is kept (publications, alarms raised and
    // cleared, communication and errors); the per-rule "alarm" and per-cycle "cycle" events,
    // 140 a cycle, are left out.
    void KeepChangesOnly(bool changes_only) { changes_only_ = changes_only; }

    // Whether an event of this name would be written: the log is on and its level keeps it.
    // Callers build an event's fields only then.
    bool Wants(const char* name) const;

    // Writes {"event": name, "time": now, ...fields}; `fields` must be an object or null.
    void Write(const char* name, Json::Value fields = Json::Value(Json::objectValue));
    // The same, for an event written every cycle: its fields as JSON text already.
    void Write(const char* name, rxp::tools::JsonMembers fields);
    // Lines go out as they are written; kept for the callers that mark the end of a step.
    void Flush() {}

    // Events that could not be written over the whole run, and those not yet reported in the
    // file by an "events_lost" event.
    std::uint64_t lost() const { return lost_total_; }
    std::uint64_t lost_unreported() const { return lost_unreported_; }
    const std::string& path() const { return path_; }

private:
    // Appends one event's line, after the "events_lost" event if events were lost before.
    void Append(const std::string& line);

    rxp::tools::LineFile file_;
    std::string path_;
    std::unique_ptr<Json::StreamWriter> writer_;
    std::uint64_t lost_total_ = 0;
    std::uint64_t lost_unreported_ = 0;
    bool changes_only_ = false;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_EVENT_LOG_H
