#include "tools/common/time_text.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace rxp::tools {

namespace {

// `value` in decimal, with zeros before it up to `width` digits (printf's %0*u).
void AppendDigits(std::string* out, unsigned long value, std::size_t width) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    const std::size_t n = static_cast<std::size_t>(end - digits);
    if (n < width) out->append(width - n, '0');
    out->append(digits, n);
}

// "+02:00" from the seconds east of UTC.
std::string OffsetText(long seconds_east) {
    const long minutes = (seconds_east < 0 ? -seconds_east : seconds_east) / 60;
    std::string text(1, seconds_east < 0 ? '-' : '+');
    AppendDigits(&text, static_cast<unsigned long>(minutes / 60 % 100), 2);
    text += ':';
    AppendDigits(&text, static_cast<unsigned long>(minutes % 60), 2);
    return text;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

[[noreturn]] void Refuse(const std::string& text) {
    throw std::runtime_error("'" + text +
                             "' is not a time: expected ISO 8601 such as 2024-05-01, "
                             "2024-05-01T12:00 or 2024-05-01T12:00:00+02:00");
}

}  // namespace

std::string IsoDateTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second) {
    std::string text;
    text.reserve(32);
    AppendDigits(&text, year, 4);
    text += '-';
    AppendDigits(&text, month, 2);
    text += '-';
    AppendDigits(&text, day, 2);
    text += 'T';
    AppendDigits(&text, hour, 2);
    text += ':';
    AppendDigits(&text, minute, 2);
    text += ':';
    AppendDigits(&text, second, 2);
    return text;
}

std::string IsoTime(WallClock::time_point when, TimePrecision precision) {
    const auto since_epoch = when.time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    if (secs > since_epoch) secs -= std::chrono::seconds(1);  // round down before 1970 too
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm local{};
    localtime_r(&t, &local);
    std::string text = IsoDateTime(static_cast<unsigned>(local.tm_year + 1900), local.tm_mon + 1,
                                   local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (precision == TimePrecision::kMilliseconds) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - secs);
        char fraction[8];
        std::snprintf(fraction, sizeof(fraction), ".%03d", static_cast<int>(ms.count()));
        text += fraction;
    }
    return text + OffsetText(local.tm_gmtoff);
}

std::string IsoTimeNow(TimePrecision precision) {
    return IsoTime(WallClock::now(), precision);
}

WallClock::time_point ParseIsoTime(const std::string& text) {
    std::tm tm{};
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &used) !=
            3 ||
        used != 10) {
        Refuse(text);
    }
    std::size_t at = 10;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        int n = 0;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &n) != 2 ||
            n != 5) {
            Refuse(text);
        }
        at += 6;
        if (at < text.size() && text[at] == ':') {
            if (std::sscanf(text.c_str() + at + 1, "%2d%n", &tm.tm_sec, &n) != 1 || n != 2) {
                Refuse(text);
            }
            at += 3;
        }
    }
    long nanos = 0;
    if (at < text.size() && text[at] == '.') {
        long scale = 100000000;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            nanos += (text[at] - '0') * scale;
            scale /= 10;
        }
    }
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour < 0 ||
        tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 60) {
        Refuse(text);
    }
    // A day the month does not have (2026-02-30) is refused, not carried into the next month.
    if (tm.tm_mday > DaysInMonth(tm.tm_year, tm.tm_mon)) {
        throw std::runtime_error("'" + text + "' is not a date: " + text.substr(0, 7) + " has " +
                                 std::to_string(DaysInMonth(tm.tm_year, tm.tm_mon)) + " days");
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;

    std::time_t t;
    if (at == text.size()) {
        tm.tm_isdst = -1;  // local: the offset in force on that date
        t = std::mktime(&tm);
    } else {
        long east = 0;
        if (text[at] == 'Z' && at + 1 == text.size()) {
            east = 0;
        } else if (text[at] == '+' || text[at] == '-') {
            int hh = 0, mm = 0, n = 0;
            const char* rest = text.c_str() + at + 1;
            if (!((std::sscanf(rest, "%2d:%2d%n", &hh, &mm, &n) == 2 && n == 5) ||
                  (std::sscanf(rest, "%2d%2d%n", &hh, &mm, &n) == 2 && n == 4)) ||
                at + 1 + n != text.size() || hh > 23 || mm > 59) {
                Refuse(text);
            }
            east = (text[at] == '-' ? -1 : 1) * (hh * 3600L + mm * 60L);
        } else {
            Refuse(text);
        }
        t = timegm(&tm) - east;
    }
    return WallClock::from_time_t(t) +
           std::chrono::duration_cast<WallClock::duration>(std::chrono::nanoseconds(nanos));
}

}  // namespace rxp::tools
