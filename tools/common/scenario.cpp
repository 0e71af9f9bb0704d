#include "tools/common/scenario.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace rxp::tools {

namespace {

// Healthy values, in the units the power system sends (voltages in 0.1 V, currents in 0.1 A,
// temperatures in 0.1 degrees C, frequency in 0.1 Hz). The system itself never interprets them.
RecordBytes BuildHealthy() {
    RecordBytes r{};
    auto set = [&r](const char* name, std::uint32_t v) {
        const RecordField* f = FindRecordField(name);
        WriteField(r.data(), f->offset, f->width, v);
    };
    set("phase_a_value1", 2200);
    set("phase_a_value2", 152);
    set("phase_b_value1", 2210);
    set("phase_b_value2", 148);
    set("phase_c_value1", 2190);
    set("phase_c_value2", 150);
    set("ac_value", 500);
    for (unsigned m = 1; m <= kModuleCount; ++m) {
        const std::string row = "modules[" + std::to_string(m - 1) + "].";
        set((row + "value1").c_str(), 5350);
        set((row + "value2").c_str(), 120 + m);
        set((row + "value3").c_str(), 300 + m);
        set((row + "value4").c_str(), 0);
    }
    set("dc_value1", 5350);
    set("dc_value2", 2400);
    set("dc_value3", 100);
    set("dc_value4", 250);
    set("dc_value5", 260);
    set("dc_value6", 5340);
    set("dc_value7", 5340);
    set("dc_value8", 5340);
    set("dc_long1", 1000);
    set("dc_long2", 2000);
    return r;
}

struct Target {
    RecordBytes* values;
    RecordBytes* mask;  // null for the base values
};

class Parser {
public:
    explicit Parser(const std::string& source) : source_(source) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
        throw ScenarioError(source_ + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    std::uint32_t Value(const Json::Value& v, const std::string& where, std::size_t width) const {
        const std::uint64_t max = width >= 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1;
        std::uint64_t value = 0;
        if (v.isIntegral() && !(v.isInt64() && v.asInt64() < 0)) {
            value = v.asLargestUInt();
        } else if (v.isString()) {
            const std::string text = v.asString();
            const bool hex =
                text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const std::string digits = hex ? text.substr(2) : text;
            const bool ok = !digits.empty() && digits.size() <= 10 &&
                            std::all_of(digits.begin(), digits.end(), [hex](char c) {
                                return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                                           : std::isdigit(static_cast<unsigned char>(c)) != 0;
                            });
            if (!ok) Fail(where, "\"" + text + "\" is not a number (use 123 or \"0x7B\")");
            value = std::stoull(digits, nullptr, hex ? 16 : 10);
        } else {
            Fail(where, "expected an unsigned number, got " + v.toStyledString());
        }
        if (value > max) {
            Fail(where, std::to_string(value) + " does not fit " + std::to_string(width) +
                            (width == 1 ? " byte" : " bytes") + " (0.." + std::to_string(max) +
                            ")");
        }
        return static_cast<std::uint32_t>(value);
    }

    void Set(const Target& t, const RecordField& f, const Json::Value& v,
             const std::string& where) const {
        WriteField(t.values->data(), f.offset, f.width, Value(v, where, f.width));
        if (t.mask != nullptr) {
            for (std::size_t b = 0; b < f.width; ++b) (*t.mask)[f.offset + b] = 1;
        }
    }

    void Modules(const Target& t, const Json::Value& modules, const std::string& where) const {
        if (!modules.isObject()) {
            Fail(where,
                 "expected an object of modules by number, such as {\"7\": {\"status\": 16}}");
        }
        for (const std::string& key : modules.getMemberNames()) {
            const std::string at = where + "." + key;
            const bool digits =
                !key.empty() && key.size() <= 2 && std::all_of(key.begin(), key.end(), [](char c) {
                    return std::isdigit(static_cast<unsigned char>(c)) != 0;
                });
            const unsigned m = digits ? static_cast<unsigned>(std::stoul(key)) : 0;
            if (m < 1 || m > kModuleCount) Fail(at, "a module number is 1 to 20");
            const Json::Value& row = modules[key];
            if (!row.isObject()) Fail(at, "expected an object of module values");
            for (const std::string& name : row.getMemberNames()) {
                const RecordField* f =
                    FindRecordField("modules[" + std::to_string(m - 1) + "]." + name);
                if (f == nullptr) {
                    Fail(at + "." + name,
                         "unknown module value (expected value1, value2, value3, value4, status "
                         "or extra)");
                }
                Set(t, *f, row[name], at + "." + name);
            }
        }
    }

    void Fields(const Target& t, const Json::Value& obj, const std::string& where,
                bool top_level) const {
        if (!obj.isObject()) Fail(where, "expected an object of record fields");
        for (const std::string& name : obj.getMemberNames()) {
            const std::string at = where.empty() ? name : where + "." + name;
            const Json::Value& v = obj[name];
            if (top_level && (name == "changes" || name == "description")) continue;
            if (name == "modules") {
                Modules(t, v, at);
                continue;
            }
            if (name == "dc_status") {
                if (!v.isArray() || v.size() > 6) Fail(at, "expected a list of at most 6 bytes");
                for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
                    const std::string field = "dc_status[" + std::to_string(i) + "]";
                    Set(t, *FindRecordField(field), v[i],
                        where.empty() ? field : where + "." + field);
                }
                continue;
            }
            if (name == "device_id")
                Fail(at, "the device id is the host's, not the power system's");
            const RecordField* f = FindRecordField(name);
            if (f == nullptr || f->module != 0) {
                Fail(at, "unknown field (see rxp-record --format json for the field names)");
            }
            Set(t, *f, v, at);
        }
    }

private:
    std::string source_;
};

}  // namespace

const RecordBytes& Scenario::Healthy() {
    static const RecordBytes healthy = BuildHealthy();
    return healthy;
}

Scenario::Scenario() : base_(Healthy()) {}

Scenario Scenario::FromJson(const Json::Value& root, const std::string& source) {
    const Parser parser(source);
    if (root.isNull()) return Scenario();
    if (!root.isObject()) parser.Fail("", "a scenario is a JSON object");

    Scenario s;
    const Json::Value& description = root["description"];
    if (!description.isNull()) {
        if (!description.isString()) parser.Fail("description", "expected a text");
        s.description_ = description.asString();
    }
    parser.Fields(Target{&s.base_, nullptr}, root, "", true);

    const Json::Value& changes = root["changes"];
    if (changes.isNull()) return s;
    if (!changes.isArray())
        parser.Fail("changes", "expected a list of {\"cycle\": N, \"set\": {...}}");
    for (Json::ArrayIndex i = 0; i < changes.size(); ++i) {
        const std::string at = "changes[" + std::to_string(i) + "]";
        const Json::Value& c = changes[i];
        if (!c.isObject()) parser.Fail(at, "expected {\"cycle\": N, \"set\": {...}}");
        for (const std::string& key : c.getMemberNames()) {
            if (key != "cycle" && key != "set" && key != "description") {
                parser.Fail(at + "." + key, "unknown key (expected cycle, set, description)");
            }
        }
        const Json::Value& cycle = c["cycle"];
        if (!cycle.isIntegral() || cycle.asInt64() < 1 ||
            cycle.asInt64() > std::numeric_limits<int>::max()) {
            parser.Fail(at + ".cycle", "expected a cycle number, 1 or more");
        }
        Change change{static_cast<unsigned>(cycle.asInt64()), RecordBytes{}, RecordBytes{}};
        if (!c.isMember("set")) parser.Fail(at, "missing \"set\"");
        parser.Fields(Target{&change.values, &change.mask}, c["set"], at + ".set", false);
        s.changes_.push_back(change);
    }
    std::stable_sort(s.changes_.begin(), s.changes_.end(),
                     [](const Change& a, const Change& b) { return a.cycle < b.cycle; });
    return s;
}

Scenario Scenario::FromText(const std::string& text, const std::string& source) {
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return Scenario();
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const Json::Exception& e) {  // nesting deeper than the reader allows
        errors = e.what();
    }
    if (!parsed) throw ScenarioError(source + ": not valid JSON: " + errors);
    return FromJson(root, source);
}

Scenario Scenario::Load(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw ScenarioError(path + ": is a directory, not a scenario file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path + ": cannot read the scenario file");
    std::ostringstream text;
    text << in.rdbuf();
    return FromText(text.str(), path);
}

RecordBytes Scenario::StateForCycle(unsigned cycle) const {
    RecordBytes r = base_;
    for (const Change& c : changes_) {
        if (c.cycle > cycle) break;
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (c.mask[i] != 0) r[i] = c.values[i];
        }
    }
    return r;
}

unsigned Scenario::LastChangeCycle() const {
    return changes_.empty() ? 0 : changes_.back().cycle;
}

}  // namespace rxp::tools
