#include "tools/rxp-record/record_view.h"

#include <algorithm>
#include <cstdio>
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

Json::Value ToJson(const unsigned char* record, const Origin& origin) {
    Json::Value root(Json::objectValue);
    root["source"] = origin.label;
    if (origin.row != 0) {
        root["row"] = static_cast<Json::Int64>(origin.row);
        root["stored"] = origin.stored;
    }
    if (origin.shows_address) {
        root["address"] = origin.address >= 0 ? Json::Value(origin.address) : Json::Value();
    }
    const std::string time = TimeText(record);
    root["time"] = time.empty() ? Json::Value() : Json::Value(time);
    root["time_valid"] = tools::ReadRecordTime(record).IsValid();

    Json::Value fields(Json::objectValue);
    Json::Value modules(Json::arrayValue);
    for (unsigned m = 1; m <= kModuleCount; ++m) {
        Json::Value row(Json::objectValue);
        row["module"] = m;
        modules.append(row);
    }
    for (const RecordField& f : tools::RecordFields()) {
        const std::uint32_t v = tools::ReadField(record, f);
        if (f.module == 0) {
            fields[f.name] = v;
        } else {
            modules[f.module - 1][f.row_name] = v;
        }
    }
    root["fields"] = fields;
    root["modules"] = modules;

    // Every set status bit and every non-zero state value, with its alarm or null.
    Json::Value status(Json::arrayValue);
    for (const StatusReading& r : tools::ReadStatus(record)) {
        for (const AlarmMeaning& m : r.meanings) {
            Json::Value e(Json::objectValue);
            e["field"] = r.field->name;
            if (r.field->module != 0) e["module"] = r.field->module;
            e["value"] = r.value;
            if (m.bit >= 0) e["bit"] = m.bit;
            if (m.rule == nullptr) {
                e["alarm"] = Json::Value();
            } else {
                Json::Value a(Json::objectValue);
                a["key"] = m.rule->signal_key;
                a["id"] = m.rule->alarm_id;
                a["name"] = m.rule->alarm_name;
                a["text"] = m.alarm_text;
                e["alarm"] = a;
            }
            status.append(e);
        }
    }
    root["status"] = status;
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
