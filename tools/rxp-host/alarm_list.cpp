#include "tools/rxp-host/alarm_list.h"

#include <json/json.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "host_runtime/host_observer.h"
#include "protocol/reply_layout.h"
#include "tools/common/record_fields.h"
#include "tools/rxp-host/alarm_glosses.h"
#include "tools/rxp-host/bench_host.h"
#include "tools/rxp-host/host_output.h"
#include "tools/rxp-host/plugin_output.h"
#include "tools/rxp-record/record_view.h"

namespace rxphost {

namespace {

using Record = std::array<unsigned char, rxp::kRecordSize>;

struct Evaluation {
    unsigned short ordinal;
    std::string key, id, name, text;
    bool state;
};

// The host's side of the probe device: a quiet host that keeps the alarm pass's calls. The
// texts are kept of the first pass only; the probes after it need the states.
class PassRecorder : public smdhost::HostObserver {
public:
    bool OnCheckThresholdBool(SMDVDevice&, int, const std::string& key, const std::string& id,
                              const std::string& name, const std::string& text, bool state,
                              unsigned short ordinal) override {
        if (keep_texts_) {
            evaluations_.push_back(Evaluation{ordinal, key, id, name, text, state});
        }
        ordinals_.push_back(ordinal);
        states_.push_back(state);
        return false;
    }

    void Begin(bool keep_texts) {
        keep_texts_ = keep_texts;
        ordinals_.clear();
        states_.clear();
    }
    const std::vector<Evaluation>& evaluations() const { return evaluations_; }
    const std::vector<unsigned short>& ordinals() const { return ordinals_; }
    const std::vector<bool>& states() const { return states_; }

private:
    bool keep_texts_ = false;
    std::vector<Evaluation> evaluations_;
    std::vector<unsigned short> ordinals_;
    std::vector<bool> states_;
};

// One device of the plug-in, handed records as a host hands it its cached record.
class Prober {
public:
    explicit Prober(const LoadedPlugin& plugin) : device_(plugin.CreateDevice()) {
        if (!device_) throw std::runtime_error("the plug-in made no device");
        smdhost::SetObserver(*device_, &recorder_);
    }
    ~Prober() { smdhost::SetObserver(*device_, nullptr); }
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;

    // The first pass: the evaluations with their texts.
    const std::vector<Evaluation>& First() {
        Run(Record{}, true);
        if (recorder_.evaluations().empty()) {
            throw std::runtime_error("the plug-in made no alarm evaluation for a record");
        }
        return recorder_.evaluations();
    }

    // The states of a pass over `record`, in the order of the first pass.
    const std::vector<bool>& States(const Record& record) {
        Run(record, false);
        const std::vector<Evaluation>& first = recorder_.evaluations();
        const std::vector<unsigned short>& ordinals = recorder_.ordinals();
        bool same = ordinals.size() == first.size();
        for (std::size_t i = 0; same && i < ordinals.size(); ++i) {
            same = ordinals[i] == first[i].ordinal;
        }
        if (!same) {
            throw std::runtime_error("the plug-in's alarm pass made " +
                                     std::to_string(ordinals.size()) + " evaluations for one " +
                                     "record and " + std::to_string(first.size()) +
                                     " for another, or numbered them otherwise");
        }
        return recorder_.states();
    }

private:
    void Run(const Record& record, bool keep_texts) {
        recorder_.Begin(keep_texts);
        if (!device_->LoadFromCache(record.data(), static_cast<int>(record.size()))) {
            throw std::runtime_error("the plug-in refused a record of " +
                                     std::to_string(record.size()) + " bytes");
        }
    }

    PassRecorder recorder_;
    std::unique_ptr<SMDSPDevice> device_;
};

// The record field that holds byte `at`, with the module of its row.
void PlaceByte(std::size_t at, ListedAlarm* alarm) {
    for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) {
        if (at < f.offset || at >= f.offset + f.width) continue;
        alarm->field = f.width == 1 ? f.name : f.name + " byte " + std::to_string(at - f.offset);
        alarm->module = f.module;
        return;
    }
    alarm->field = at >= rxp::kTimestampOffset ? "timestamp" : "";
}

// A bit test or a value test, when the 256 values say it is one.
void ReadTest(ListedAlarm* alarm) {
    for (int bit = 0; bit < 8 && alarm->bit < 0; ++bit) {
        bool fits = true;
        for (unsigned v = 0; fits && v < 256; ++v)
            fits = alarm->holds[v] == (((v >> bit) & 1U) != 0);
        if (fits) alarm->bit = bit;
    }
    if (alarm->bit >= 0 || alarm->holds.count() != 1) return;
    for (unsigned v = 0; v < 256; ++v) {
        if (alarm->holds[v]) alarm->value = static_cast<int>(v);
    }
}

void AddByte(std::vector<std::size_t>* bytes, std::size_t at) {
    if (std::find(bytes->begin(), bytes->end(), at) == bytes->end()) bytes->push_back(at);
}

}  // namespace

std::vector<ListedAlarm> ProbeAlarms(const LoadedPlugin& plugin) {
    Prober prober(plugin);
    const std::vector<Evaluation>& first = prober.First();
    const std::size_t n = first.size();
    std::vector<ListedAlarm> alarms(n);
    std::vector<bool> base;
    for (std::size_t i = 0; i < n; ++i) {
        alarms[i].ordinal = first[i].ordinal;
        alarms[i].key = first[i].key;
        alarms[i].id = first[i].id;
        alarms[i].name = first[i].name;
        alarms[i].text = first[i].text;
        base.push_back(first[i].state);
    }

    // Which bytes move which states, from a record of zeros: every single bit first, which finds
    // every bit test and the value tests of 1, 2, 4, ...; the other values only when some
    // evaluation has not moved yet.
    const auto probe = [&](unsigned from, unsigned step_bits_only) {
        for (std::size_t at = 0; at < rxp::kRecordSize; ++at) {
            for (unsigned v = from; v < 256; ++v) {
                const bool single_bit = (v & (v - 1)) == 0;
                if (single_bit != (step_bits_only != 0)) continue;
                Record record{};
                record[at] = static_cast<unsigned char>(v);
                const std::vector<bool>& states = prober.States(record);
                for (std::size_t i = 0; i < n; ++i) {
                    if (states[i] != base[i]) AddByte(&alarms[i].bytes, at);
                }
            }
        }
    };
    probe(1, 1);
    if (std::any_of(alarms.begin(), alarms.end(),
                    [](const ListedAlarm& a) { return a.bytes.empty(); })) {
        probe(3, 0);
    }

    // The test of each evaluation that one byte decides: all 256 values of that byte.
    std::map<std::size_t, std::vector<std::size_t>> by_byte;
    for (std::size_t i = 0; i < n; ++i) {
        if (alarms[i].bytes.size() == 1) by_byte[alarms[i].bytes[0]].push_back(i);
    }
    for (const auto& entry : by_byte) {
        for (unsigned v = 0; v < 256; ++v) {
            Record record{};
            record[entry.first] = static_cast<unsigned char>(v);
            const std::vector<bool>& states = prober.States(record);
            for (std::size_t i : entry.second) alarms[i].holds[v] = states[i];
        }
        for (std::size_t i : entry.second) {
            PlaceByte(entry.first, &alarms[i]);
            ReadTest(&alarms[i]);
        }
    }
    return alarms;
}

bool ParseListFormat(const std::string& text, ListFormat* format) {
    static const std::pair<const char*, ListFormat> kFormats[] = {
        {"table", ListFormat::kTable},
        {"csv", ListFormat::kCsv},
        {"json", ListFormat::kJson},
        {"markdown", ListFormat::kMarkdown}};
    for (const auto& f : kFormats) {
        if (text == f.first) {
            *format = f.second;
            return true;
        }
    }
    return false;
}

namespace {

// The test for people: "bit 7", "value 1", "values 1, 3", or what the probes could not pin
// to one byte.
std::string TestText(const ListedAlarm& a) {
    if (a.bytes.empty()) return "none: the same for every record";
    if (a.bytes.size() > 1) {
        std::string text = "bytes";
        for (std::size_t b : a.bytes) text += (text.size() > 5 ? ", " : " ") + std::to_string(b);
        return text;
    }
    if (a.bit >= 0) return "bit " + std::to_string(a.bit);
    if (a.value >= 0) return "value " + std::to_string(a.value);
    std::string text = "values";
    for (unsigned v = 0; v < 256; ++v) {
        if (a.holds[v]) text += (text.size() > 6 ? ", " : " ") + std::to_string(v);
    }
    return text;
}

std::string ByteText(const ListedAlarm& a) {
    return a.bytes.size() == 1 ? std::to_string(a.bytes[0]) : std::string();
}

// Columns on a terminal: CJK characters and full-width forms take two.
std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned cp = length == 1 ? c : c & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                          (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                          (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                          (cp >= 0xFFE0 && cp <= 0xFFE6);
        width += wide ? 2 : 1;
        i += length;
    }
    return width;
}

std::string Table(const std::vector<ListedAlarm>& alarms) {
    std::vector<std::vector<std::string>> rows = {
        {"#", "key", "id", "module", "byte", "field", "test", "name", "text", "in English"}};
    for (const ListedAlarm& a : alarms) {
        rows.push_back({std::to_string(a.ordinal), a.key, a.id,
                        a.module != 0 ? std::to_string(a.module) : "-", ByteText(a), a.field,
                        TestText(a), a.name, a.text, GlossLine(a.name, a.text)});
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string Csv(const std::vector<ListedAlarm>& alarms) {
    using rxp::record::CsvCell;
    std::string out =
        "ordinal,key,id,name,text,module,byte,field,test,name_gloss,text_gloss,check\n";
    for (const ListedAlarm& a : alarms) {
        const AlarmGloss g = GlossOf(a.name, a.text);
        out += std::to_string(a.ordinal) + "," + CsvCell(a.key) + "," + CsvCell(a.id) + "," +
               CsvCell(a.name) + "," + CsvCell(a.text) + "," +
               (a.module != 0 ? std::to_string(a.module) : "") + "," + ByteText(a) + "," +
               CsvCell(a.field) + "," + CsvCell(TestText(a)) + "," + CsvCell(g.name) + "," +
               CsvCell(g.text) + "," + CsvCell(g.check) + "\n";
    }
    return out;
}

Json::Value OrNull(bool present, int value) {
    return present ? Json::Value(value) : Json::Value();
}

std::string JsonLines(const std::vector<ListedAlarm>& alarms) {
    std::string out;
    for (const ListedAlarm& a : alarms) {
        const bool one_byte = a.bytes.size() == 1;
        Json::Value line(Json::objectValue);
        line["ordinal"] = a.ordinal;
        line["key"] = a.key;
        line["id"] = a.id;
        line["name"] = a.name;
        line["text"] = a.text;
        line["module"] = OrNull(a.module != 0, static_cast<int>(a.module));
        line["byte"] = OrNull(one_byte, one_byte ? static_cast<int>(a.bytes[0]) : 0);
        line["field"] = one_byte ? Json::Value(a.field) : Json::Value();
        line["bit"] = OrNull(a.bit >= 0, a.bit);
        line["value"] = OrNull(a.value >= 0, a.value);
        if (one_byte && a.bit < 0 && a.value < 0) {
            Json::Value values(Json::arrayValue);
            for (unsigned v = 0; v < 256; ++v) {
                if (a.holds[v]) values.append(v);
            }
            line["values"] = values;
        } else if (!one_byte) {
            Json::Value bytes(Json::arrayValue);
            for (std::size_t b : a.bytes) bytes.append(Json::UInt64(b));
            line["bytes"] = bytes;
        }
        const AlarmGloss g = GlossOf(a.name, a.text);
        line["name_gloss"] = g.name;
        line["text_gloss"] = g.text;
        line["check"] = g.check;
        out += rxp::record::FormatJsonLine(line) + "\n";
    }
    return out;
}

std::string Cell(std::string text) {
    for (std::size_t at = text.find('|'); at != std::string::npos; at = text.find('|', at + 2)) {
        text.insert(at, "\\");
    }
    return text.empty() ? "-" : text;
}

// docs/alarms.md: made from the loaded plug-in and the glosses, never edited by hand.
std::string Markdown(const std::vector<ListedAlarm>& alarms) {
    std::ostringstream out;
    std::map<std::string, unsigned> keys;
    for (const ListedAlarm& a : alarms) ++keys[a.key];
    out << "# Alarms\n\n"
        << "<!-- Made by `rxp-host --list-alarms --format markdown` from the plug-in and\n"
        << "     tools/rxp-host/alarm_glosses.json: edit those, then\n"
        << "     `cmake --build --preset default --target alarms-page`. -->\n\n"
        << "Every completed cycle the plug-in hands the host " << alarms.size()
        << " alarm evaluations, in the\norder below; each says whether its condition holds "
        << "now. They carry " << keys.size() << " signal keys, so a\nkey can stand for several "
        << "evaluations of a cycle; the ordinal is one evaluation's own.\n\n"
        << "The alarm ids, names and texts are the plug-in's own, byte for byte. The English "
        << "beside them\nand what to check first are help for the technician that the tools "
        << "show (`rxp-host --status`,\nthe summary after a cycle); they never reach the "
        << "controller's host.\n\n"
        << "`rxp-host --list-alarms` prints this list from the plug-in it loads, as a table, CSV "
        << "or JSON\nLines: each evaluation's record byte and test are found by handing the "
        << "plug-in probe records,\nnot copied from a table.\n\n"
        << "## Alarm ids\n\n"
        << "| Alarm id | Alarm name | In English | Evaluations |\n|---|---|---|---|\n";
    std::map<std::string, std::pair<std::string, unsigned>> ids;
    for (const ListedAlarm& a : alarms) {
        auto& entry = ids[a.id];
        entry.first = a.name;
        ++entry.second;
    }
    for (const auto& id : ids) {
        out << "| " << Cell(id.first) << " | " << Cell(id.second.first) << " | "
            << Cell(GlossOf(id.second.first, "").name) << " | " << id.second.second << " |\n";
    }
    out << "\n## The evaluations of a cycle\n\n"
        << "Record byte: the byte of the 289-byte record the evaluation reads (see the record's "
        << "fields in the [reference](reference.md)); module: the rectifier module whose row "
        << "holds it.\n\n"
        << "| # | Signal key | Alarm id | Module | Record byte | Test | Alarm text | In English "
           "| Check first |\n|---|---|---|---|---|---|---|---|---|\n";
    for (const ListedAlarm& a : alarms) {
        const AlarmGloss g = GlossOf(a.name, a.text);
        out << "| " << a.ordinal << " | " << Cell(a.key) << " | " << Cell(a.id) << " | "
            << (a.module != 0 ? std::to_string(a.module) : "-") << " | "
            << Cell(ByteText(a) + (a.field.empty() ? "" : " " + a.field)) << " | "
            << Cell(TestText(a)) << " | " << Cell(a.text) << " | " << Cell(g.text) << " | "
            << Cell(g.check) << " |\n";
    }
    return out.str();
}

}  // namespace

std::string FormatAlarmList(const std::vector<ListedAlarm>& alarms, ListFormat format) {
    switch (format) {
        case ListFormat::kCsv:
            return Csv(alarms);
        case ListFormat::kJson:
            return JsonLines(alarms);
        case ListFormat::kMarkdown:
            return Markdown(alarms);
        case ListFormat::kTable:
            break;
    }
    return Table(alarms);
}

int ListAlarms(const std::string& plugin_path, ListFormat format) {
    std::vector<ListedAlarm> alarms;
    try {
        LoadedPlugin plugin(plugin_path);
        // The plug-in prints a line at every end of cycle; standard output is the list alone.
        HeldPluginLines plugin_lines;
        alarms = ProbeAlarms(plugin);
    } catch (const std::exception& e) {
        Err(Priority::kError) << "rxp-host: --list-alarms: " << e.what() << std::endl;
        return kExitFailed;
    }
    Out() << FormatAlarmList(alarms, format) << std::flush;
    return kExitDone;
}

}  // namespace rxphost
