#include "tools/rxp-record/text_input.h"

#include <json/json.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "protocol/reply_layout.h"
#include "tools/common/hex.h"

namespace rxp::record {

std::string RecordTimeText(const Bytes& record) {
    if (record.size() != kRecordSize) return "";
    const tools::RecordTime t = tools::ReadRecordTime(record.data());
    return t.IsValid() ? t.Text() : "";
}

bool LineReader::Next(std::string* line) {
    line->clear();
    too_long_ = false;
    bool any = false;
    for (;;) {
        if (at_ == size_) {
            at_ = 0;
            size_ = static_cast<std::size_t>(
                std::max<std::streamsize>(0, in_.rdbuf()->sgetn(block_.data(), block_.size())));
            if (size_ == 0) {
                if (!any) return false;
                ++number_;
                ended_ = false;
                return true;
            }
        }
        any = true;
        const char* start = block_.data() + at_;
        const char* end = static_cast<const char*>(std::memchr(start, '\n', size_ - at_));
        const std::size_t n = end != nullptr ? static_cast<std::size_t>(end - start) : size_ - at_;
        const std::size_t room = kMaxLine - std::min(kMaxLine, line->size());
        if (n > room) too_long_ = true;
        line->append(start, std::min(n, room));
        at_ += n;
        if (end != nullptr) {
            ++at_;
            ++number_;
            ended_ = true;
            return true;
        }
    }
}

namespace {

// Hex lines are held while they may still be one record written over several lines: until
// they hold more than a record's bytes together. One record alone is named by the input only.
class HexRecords {
public:
    HexRecords(const std::string& label, const std::function<void(const Item&)>& show)
        : label_(label), show_(show) {}

    void Add(Item item) {
        item.time = RecordTimeText(item.record);
        if (released_) {
            show_(item);
            return;
        }
        held_bytes_ += item.record.size();
        held_.push_back(std::move(item));
        if (held_.size() > 1 && held_bytes_ > kRecordSize) Release();
    }
    // A bad line between held lines: they are not one record.
    void Break() {
        if (!held_.empty()) Release();
        released_ = true;
    }
    void Finish() {
        if (released_ || held_.empty()) return Release();
        if (held_.size() == 1) {
            held_[0].origin.label = label_;
        } else if (held_bytes_ == kRecordSize) {
            Bytes whole;
            for (const Item& item : held_)
                whole.insert(whole.end(), item.record.begin(), item.record.end());
            held_.assign(1, Item{whole, {label_, 0, ""}, RecordTimeText(whole)});
        }
        Release();
    }

private:
    void Release() {
        for (const Item& item : held_) show_(item);
        held_.clear();
        released_ = true;
    }

    const std::string& label_;
    const std::function<void(const Item&)>& show_;
    std::vector<Item> held_;
    std::size_t held_bytes_ = 0;
    bool released_ = false;
};

}  // namespace

TextCounts ReadTextRecords(std::istream& in, const std::string& label,
                           const std::function<void(const Item&)>& show,
                           const std::function<void(const std::string&)>& bad) {
    enum class Kind { kNotYetKnown, kHex, kEvents } kind = Kind::kNotYetKnown;
    TextCounts counts;
    const std::function<void(const Item&)> count_and_show = [&](const Item& item) {
        ++counts.records;
        show(item);
    };
    HexRecords hex_records(label, count_and_show);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> json(builder.newCharReader());

    LineReader lines(in);
    std::string line;
    while (lines.Next(&line)) {
        const std::string where = label + " line " + std::to_string(lines.number());
        const auto left_out = [&](const std::string& why) {
            ++counts.bad_lines;
            hex_records.Break();
            bad(where + ": " + why +
                (lines.ended() ? "" : " (the last line has no line break: cut short?)"));
        };
        if (lines.too_long()) {
            left_out("longer than " + std::to_string(LineReader::kMaxLine) + " characters");
            continue;
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;

        if (kind == Kind::kNotYetKnown) {
            // Hex text holds no brace; an events file is a JSON object a line.
            if (line.find('{') != std::string::npos) kind = Kind::kEvents;
        }
        if (kind == Kind::kEvents) {
            Json::Value event;
            std::string errors;
            if (!json->parse(line.data(), line.data() + line.size(), &event, &errors) ||
                !event.isObject()) {
                left_out("not an event (JSON object)");
                continue;
            }
            if (event["event"] != "publish") continue;
            Item item;
            try {
                item.record = hex::Parse(event["record"].asString());
            } catch (const std::exception& e) {
                left_out(std::string("record is not hex text: ") + e.what());
                continue;
            }
            item.origin = {where, 0, ""};
            item.time = event["time"].isString() ? event["time"].asString() : "";
            count_and_show(item);
            continue;
        }
        Item item;
        try {
            item.record = hex::Parse(line);
        } catch (const std::exception& e) {
            left_out(std::string("not hex text: ") + e.what());
            continue;
        }
        kind = Kind::kHex;
        item.origin = {where, 0, ""};
        hex_records.Add(std::move(item));
    }
    hex_records.Finish();
    return counts;
}

}  // namespace rxp::record
