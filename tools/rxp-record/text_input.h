// Records from text, read a line at a time so that memory stays bounded whatever the size of
// the input: hex text, one record a line (or one record written over several lines), or the
// events file of rxp-host, whose publications are the records. A line that cannot be read (a
// line torn by a crash, a start event glued to it, bytes that are not text) is named with its
// number and left out; the other lines are still read.
#ifndef RXP_TOOLS_RXP_RECORD_TEXT_INPUT_H
#define RXP_TOOLS_RXP_RECORD_TEXT_INPUT_H

#include <cstddef>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "tools/rxp-record/record_view.h"

namespace rxp::record {

// One record to show, with where it came from and its time.
struct Item {
    Bytes record;
    Origin origin;
    std::string time;  // ISO 8601; empty when unknown
};

// The record's own time stamp as ISO 8601 without an offset; empty when it holds no valid date.
std::string RecordTimeText(const Bytes& record);

// The lines of a stream, read in blocks; of a line longer than kMaxLine characters only the
// first kMaxLine are kept.
class LineReader {
public:
    static constexpr std::size_t kMaxLine = 1 << 16;

    explicit LineReader(std::istream& in) : in_(in), block_(1 << 16) {}

    // The next line without its line break; false at the end of the input.
    bool Next(std::string* line);
    unsigned number() const { return number_; }  // of the line last read, from 1
    bool too_long() const { return too_long_; }  // it had more than kMaxLine characters
    bool ended() const { return ended_; }        // it ended with a line break

private:
    std::istream& in_;
    std::vector<char> block_;
    std::size_t at_ = 0;
    std::size_t size_ = 0;
    unsigned number_ = 0;
    bool too_long_ = false;
    bool ended_ = false;
};

struct TextCounts {
    std::size_t records = 0;    // handed to `show`
    std::size_t bad_lines = 0;  // handed to `bad`
};

// Reads `in` to its end. Whether it is hex text or an events file is told by its first line
// that is either. `show` gets each record in order as soon as it is known (a record written
// over several hex lines at the end); `bad` gets, for each line left out, why:
// "events.jsonl line 7: not an event (JSON object)".
TextCounts ReadTextRecords(std::istream& in, const std::string& label,
                           const std::function<void(const Item&)>& show,
                           const std::function<void(const std::string&)>& bad);

}  // namespace rxp::record

#endif  // RXP_TOOLS_RXP_RECORD_TEXT_INPUT_H
