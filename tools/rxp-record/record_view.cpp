#include "tools/rxp-record/record_view.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "tools/common/hex.h"
#include "tools/common/record_fields.h"
#include "tools/common/status_meanings.h"

namespace rxp::record {

namespace {

using tools::AlarmMeaning;
using tools::RecordField;
using tools::StatusReading;

constexpr int kNameWidth = 24;

std::string Hex2(unsigned v) {
    return "0x" + hex::Byte(v);
}

std::string Pad(const std::string& s, std::size_t width) {
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

std::string PadLeft(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string MeaningText(const AlarmMeaning& m, std::uint8_t value) {
    std::string head =
        m.bit >= 0 ? "bit " + std::to_string(m.bit) : "value " + std::to_string(value);
    if (m.rule == nullptr) return head + ": no alarm";
    return head + ": " + m.alarm_text + " (" + m.rule->signal_key + ", " + m.rule->alarm_id + " " +
           m.rule->alarm_name + ")";
}

// The status reading of a field, or null.
const StatusReading* ReadingOf(const std::vector<StatusReading>& all, const RecordField& f) {
    for (const StatusReading& r : all) {
        if (r.field == &f) return &r;
    }
    return nullptr;
}

std::string TimeText(const unsigned char* record) {
    const tools::RecordTime t = tools::ReadRecordTime(record);
    if (t.IsZero()) return "";
    return t.Text();
}

}  // namespace

std::string CsvCell(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string cell = "\"";
    for (char c : text) cell += c == '"' ? std::string("\"\"") : std::string(1, c);
    return cell + "\"";
}

std::string SizeProblem(std::size_t size) {
    if (size == kRecordSize) return "";
    return std::to_string(size) + (size == 1 ? " byte" : " bytes") + ", but a record is exactly " +
           std::to_string(kRecordSize) + " bytes";
}

std::string FormatTable(const unsigned char* record, const Origin& origin, const Units& units) {
    std::ostringstream out;
    const std::vector<StatusReading> status = tools::ReadStatus(record);

    out << "record from " << origin.label;
    if (origin.row != 0) out << ", row " << origin.row << " stored " << origin.stored;
    if (origin.shows_address) {
        out << ", address "
            << (origin.address >= 0 ? std::to_string(origin.address) : std::string("not known"));
    }
    out << "\n";
    const tools::RecordTime t = tools::ReadRecordTime(record);
    out << "  " << Pad("time stamp", kNameWidth)
        << (t.IsZero() ? std::string("not set")
                       : t.Text() + (t.IsValid() ? "" : "  (not a valid date)"))
        << "\n";

    auto field_line = [&](const RecordField& f) {
        const std::uint32_t v = tools::ReadField(record, f);
        const StatusReading* r = ReadingOf(status, f);
        if (r == nullptr) {
            out << "  " << Pad(f.name, kNameWidth);
            const Unit* u = units.For(f);
            if (u == nullptr) {
                out << v << "\n";
            } else {
                out << units.Value(f, v) << (u->unit.empty() ? "" : " " + Printable(u->unit))
                    << "  (stored " << v << ")\n";
            }
            return;
        }
        const std::string value = r->bitwise ? Hex2(v) : std::to_string(v);
        out << "  " << Pad(f.name, kNameWidth) << (r->meanings.empty() ? value : Pad(value, 6));
        for (std::size_t i = 0; i < r->meanings.size(); ++i) {
            if (i > 0) out << "\n  " << std::string(kNameWidth + 6, ' ');
            out << MeaningText(r->meanings[i], r->value);
        }
        out << "\n";
    };

    bool modules_done = false;
    for (const RecordField& f : tools::RecordFields()) {
        if (f.offset == offsetof(RXP517_T36B2_Data_t, phase_a_value1)) out << "AC input\n";
        if (f.offset == offsetof(RXP517_T36B2_Data_t, breaker1_state)) out << "DC side\n";
        if (f.module == 0) {
            field_line(f);
            continue;
        }
        if (modules_done) continue;
        modules_done = true;

        // The twenty module rows as one table, then the meanings of their set status bits.
        out << "Rectifier modules\n  module";
        const std::vector<const char*> row_names = {"value1", "value2", "value3",
                                                    "value4", "status", "extra"};
        for (const char* n : row_names) out << PadLeft(n, 8);
        out << "\n";
        std::vector<std::string> notes;
        for (unsigned m = 1; m <= kModuleCount; ++m) {
            out << "  " << PadLeft(std::to_string(m), 6);
            for (const char* n : row_names) {
                const RecordField* rf =
                    tools::FindRecordField("modules[" + std::to_string(m - 1) + "]." + n);
                const std::uint32_t v = tools::ReadField(record, *rf);
                const bool hex = std::string(n) == "status" || std::string(n) == "extra";
                out << PadLeft(hex ? Hex2(v) : std::to_string(v), 8);
                const StatusReading* r = ReadingOf(status, *rf);
                if (r == nullptr) continue;
                for (const AlarmMeaning& meaning : r->meanings) {
                    notes.push_back("module " + PadLeft(std::to_string(m), 2) + " status " +
                                    Hex2(v) + "  " + MeaningText(meaning, r->value));
                }
            }
            out << "\n";
        }
        for (const std::string& n : notes) out << "  " << n << "\n";
    }
    return out.str();
}

namespace {

// A field's member as JSON text up to its value: "name":
std::string MemberHead(const std::string& name) {
    return tools::JsonString(name) + ":";
}

char* PutText(char* at, const std::string& text) {
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

char* AppendNumber(char* at, std::uint32_t value) {
    return std::to_chars(at, at + 10, value).ptr;  // a 32-bit value has at most ten digits
}

// The members of the "fields" object in the order of their names, each with its head.
struct JsonField {
    const RecordField* field;  // null: the row's "module" member
    std::string head;
};

// The most characters an object of these members takes: every head with ten digits and a
// separator, and the braces.
std::size_t MostChars(const std::vector<JsonField>& members) {
    std::size_t most = 2;
    for (const JsonField& f : members) most += f.head.size() + 11;
    return most;
}

const std::vector<JsonField>& NamedFieldsInJsonOrder() {
    static const std::vector<JsonField> sorted = [] {
        std::vector<JsonField> out;
        for (const RecordField& f : tools::RecordFields()) {
            if (f.module == 0) out.push_back({&f, MemberHead(f.name)});
        }
        std::sort(out.begin(), out.end(), [](const JsonField& a, const JsonField& b) {
            return a.field->name < b.field->name;
        });
        return out;
    }();
    return sorted;
}

// Each module row's members in the order of their names, "module" among them.
const std::vector<std::vector<JsonField>>& ModuleRowsInJsonOrder() {
    static const std::vector<std::vector<JsonField>> rows = [] {
        std::vector<std::vector<JsonField>> out(kModuleCount,
                                                {JsonField{nullptr, MemberHead("module")}});
        for (const RecordField& f : tools::RecordFields()) {
            if (f.module != 0) out[f.module - 1].push_back({&f, MemberHead(f.row_name)});
        }
        for (auto& row : out) {
            std::sort(row.begin(), row.end(),
                      [](const JsonField& a, const JsonField& b) { return a.head < b.head; });
        }
        return out;
    }();
    return rows;
}

void JsonMembersOfAlarm(const AlarmMeaning& meaning, std::string* out) {
    *out += "{\"id\":";
    tools::AppendJsonString(out, meaning.rule->alarm_id);
    *out += ",\"key\":";
    tools::AppendJsonString(out, meaning.rule->signal_key);
    *out += ",\"name\":";
    tools::AppendJsonString(out, meaning.rule->alarm_name);
    *out += ",\"text\":";
    tools::AppendJsonString(out, meaning.alarm_text);
    *out += '}';
}

// The "status" entries of one status field holding one value, as JSON text: every set bit (or
// the value) with its alarm or null, members in the order of their names. Made once for each
// value a field is seen with (records are written as JSON on one thread of a program).
const std::string& StatusEntries(std::size_t index, const RecordField& field, std::uint8_t value) {
    static std::vector<std::array<std::unique_ptr<std::string>, 256>> made;
    if (made.size() <= index) made.resize(index + 1);
    std::unique_ptr<std::string>& entries = made[index][value];
    if (entries) return *entries;
    entries.reset(new std::string());
    std::string& out = *entries;
    const StatusReading r = tools::ReadStatusOf(field, value);
    for (const AlarmMeaning& meaning : r.meanings) {
        if (!out.empty()) out += ',';
        out += "{\"alarm\":";
        if (meaning.rule == nullptr) {
            out += "null";
        } else {
            JsonMembersOfAlarm(meaning, &out);
        }
        if (meaning.bit >= 0) out += ",\"bit\":" + std::to_string(meaning.bit);
        out += ",\"field\":" + tools::JsonString(field.name);
        if (field.module != 0) out += ",\"module\":" + std::to_string(field.module);
        out += ",\"value\":" + std::to_string(value) + "}";
    }
    return out;
}

const std::vector<const RecordField*>& StatusFields() {
    static const std::vector<const RecordField*> fields = [] {
        std::vector<const RecordField*> out;
        for (const RecordField& f : tools::RecordFields()) {
            if (tools::IsStatusField(f)) out.push_back(&f);
        }
        return out;
    }();
    return fields;
}

}  // namespace

void AddRecordJsonMembers(const unsigned char* record, tools::JsonMembers* members) {
    const std::string time = TimeText(record);
    members->Add("time", time.empty() ? std::string("null") : tools::JsonString(time));
    members->Add("time_valid", tools::JsonBool(tools::ReadRecordTime(record).IsValid()));

    // Written straight into a buffer of the most it can take: each member is its head and at
    // most ten digits and a separator.
    static const std::size_t most_fields = MostChars(NamedFieldsInJsonOrder());
    std::string fields(most_fields, '\0');
    char* at = fields.data();
    *at++ = '{';
    for (const JsonField& f : NamedFieldsInJsonOrder()) {
        if (at - fields.data() > 1) *at++ = ',';
        at = AppendNumber(PutText(at, f.head), tools::ReadField(record, *f.field));
    }
    *at++ = '}';
    fields.resize(static_cast<std::size_t>(at - fields.data()));
    members->Add("fields", std::move(fields));

    static const std::size_t most_modules = [] {
        std::size_t most = 2;
        for (const std::vector<JsonField>& row : ModuleRowsInJsonOrder())
            most += MostChars(row) + 1;
        return most;
    }();
    std::string modules(most_modules, '\0');
    at = modules.data();
    *at++ = '[';
    unsigned m = 0;
    for (const std::vector<JsonField>& row : ModuleRowsInJsonOrder()) {
        if (m++ > 0) *at++ = ',';
        *at++ = '{';
        bool first = true;
        for (const JsonField& f : row) {
            if (!first) *at++ = ',';
            first = false;
            at =
                AppendNumber(PutText(at, f.head), f.field ? tools::ReadField(record, *f.field) : m);
        }
        *at++ = '}';
    }
    *at++ = ']';
    modules.resize(static_cast<std::size_t>(at - modules.data()));
    members->Add("modules", std::move(modules));

    // Every set status bit and every non-zero state value, with its alarm or null.
    std::string status = "[";
    const std::vector<const RecordField*>& status_fields = StatusFields();
    for (std::size_t i = 0; i < status_fields.size(); ++i) {
        const std::uint8_t value = record[status_fields[i]->offset];
        if (value == 0) continue;  // no bit set, no state: no entry
        const std::string& entries = StatusEntries(i, *status_fields[i], value);
        if (entries.empty()) continue;
        if (status.size() > 1) status += ',';
        status += entries;
    }
    members->Add("status", status + "]");
}

std::string RecordJsonText(const unsigned char* record, const Origin& origin) {
    tools::JsonMembers members;
    members.Add("source", tools::JsonString(origin.label));
    if (origin.row != 0) {
        members.Add("row", std::to_string(origin.row));
        members.Add("stored", tools::JsonString(origin.stored));
    }
    if (origin.shows_address) {
        members.Add("address", origin.address >= 0 ? std::to_string(origin.address) : "null");
    }
    AddRecordJsonMembers(record, &members);
    return members.Object();
}

Json::Value ToJson(const unsigned char* record, const Origin& origin) {
    Json::Value root;
    std::istringstream(RecordJsonText(record, origin)) >> root;
    return root;
}

std::string FormatJsonLine(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

std::string CsvHead(const std::vector<const RecordField*>& fields, const Units& units,
                    bool address) {
    std::string line = address ? "time,row,address" : "time,row";
    for (const RecordField* f : fields) line += "," + CsvCell(units.Label(*f));
    return line + "\n";
}

std::string CsvLine(const std::string& time, long long row, const unsigned char* record,
                    const std::vector<const RecordField*>& fields, const Units& units,
                    const Origin* address_of) {
    std::string line = CsvCell(time) + ",";
    if (row != 0) line += std::to_string(row);
    if (address_of != nullptr) {
        line += ",";
        if (address_of->address >= 0) line += std::to_string(address_of->address);
    }
    for (const RecordField* f : fields) line += "," + units.Value(*f, tools::ReadField(record, *f));
    return line + "\n";
}

std::string Printable(const std::string& text) {
    std::string printable;
    printable.reserve(text.size());
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            printable += c;
        } else if (c == '\n') {
            printable += "\\n";
        } else if (c == '\r') {
            printable += "\\r";
        } else if (c == '\t') {
            printable += "\\t";
        } else {
            printable += "\\x" + hex::Byte(u);
        }
    }
    return printable;
}

std::vector<const RecordField*> FieldsByName(const std::string& names) {
    std::vector<const RecordField*> fields;
    std::size_t at = 0;
    while (at <= names.size()) {
        const std::size_t comma = std::min(names.find(',', at), names.size());
        const std::string name = names.substr(at, comma - at);
        const RecordField* f = tools::FindRecordField(name);
        if (f == nullptr) {
            throw std::runtime_error("'" + name +
                                     "' is not a field of the record (rxp-record --format json "
                                     "shows every name; module values are modules[0].value1 "
                                     "to modules[19].extra)");
        }
        fields.push_back(f);
        at = comma + 1;
    }
    return fields;
}

}  // namespace rxp::record
