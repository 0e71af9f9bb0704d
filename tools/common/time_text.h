// Times for people and programs, one format in every tool: ISO 8601, local time with the UTC
// offset in force at that moment ("2024-05-01T12:34:56+02:00"), with milliseconds where lines
// come faster than a second apart ("2024-05-01T12:34:56.125+02:00").
#ifndef RXP_TOOLS_COMMON_TIME_TEXT_H
#define RXP_TOOLS_COMMON_TIME_TEXT_H

#include <chrono>
#include <string>

namespace rxp::tools {

using WallClock = std::chrono::system_clock;

enum class TimePrecision { kSeconds, kMilliseconds };

std::string IsoTime(WallClock::time_point when, TimePrecision precision = TimePrecision::kSeconds);
std::string IsoTimeNow(TimePrecision precision = TimePrecision::kSeconds);

// A date and time of day whose zone is not known, as the record's own time stamp holds it:
// "2024-05-01T12:34:56".
std::string IsoDateTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second);

// "2024-05-01", "2024-05-01T12:34", "2024-05-01T12:34:56" or with a space for the T, each
// optionally with fractions of a second and "Z", "+02:00" or "+0200". Without an offset the
// time is local. Throws std::runtime_error saying what is expected.
WallClock::time_point ParseIsoTime(const std::string& text);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_TIME_TEXT_H
