// Events for programs: JSON Lines, UTF-8 with the Chinese texts as they are, one object per
// event, each with "event" and "time" (ISO 8601 with the UTC offset).
#ifndef RXP_TOOLS_RXP_HOST_EVENT_LOG_H
#define RXP_TOOLS_RXP_HOST_EVENT_LOG_H

#include <json/json.h>

#include <cstddef>
#include <fstream>
#include <memory>
#include <string>

namespace rxphost {

class EventLog {
public:
    EventLog();

    // Without a call to Open the log is off and Write does nothing. Throws std::runtime_error
    // naming the file when it cannot be created.
    void Open(const std::string& path);
    bool enabled() const { return out_.is_open(); }
    // --events-level changes: only what changes is kept (publications, alarms raised and
    // cleared, communication and errors); the per-rule "alarm" and per-cycle "cycle" events,
    // 140 a cycle, are left out.
    void KeepChangesOnly(bool changes_only) { changes_only_ = changes_only; }

    // Writes {"event": name, "time": now, ...fields}; `fields` must be an object or null.
    void Write(const char* name, Json::Value fields = Json::Value(Json::objectValue));
    void Flush();

private:
    std::ofstream out_;
    std::string path_;
    std::unique_ptr<Json::StreamWriter> writer_;
    bool failed_reported_ = false;
    bool changes_only_ = false;
};

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_EVENT_LOG_H
