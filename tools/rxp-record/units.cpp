#include "tools/rxp-record/units.h"

#include <json/json.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace rxp::record {

namespace {

const char kEveryModule[] = "modules[*].";

bool KnownKey(const std::string& key) {
    if (tools::FindRecordField(key) != nullptr) return true;
    const std::string prefix = kEveryModule;
    return key.compare(0, prefix.size(), prefix) == 0 &&
           tools::FindRecordField("modules[0]." + key.substr(prefix.size())) != nullptr;
}

}  // namespace

Units Units::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot read the units file");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return FromText(text, path);
}

Units Units::FromText(const std::string& text, const std::string& source) {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        throw std::runtime_error(source + ": not JSON: " + errors);
    }
    if (!root.isObject()) {
        throw std::runtime_error(source + ": expected an object of field names");
    }
    Units units;
    for (const std::string& key : root.getMemberNames()) {
        const auto fail = [&](const std::string& what) {
            throw std::runtime_error(source + ": \"" + key + "\": " + what);
        };
        if (!KnownKey(key)) fail("not a field of the record");
        const Json::Value& entry = root[key];
        if (!entry.isObject()) fail("expected {\"scale\": number, \"unit\": text}");
        Unit u;
        for (const std::string& member : entry.getMemberNames()) {
            const Json::Value& v = entry[member];
            if (member == "scale" && v.isNumeric() && std::isfinite(v.asDouble()) &&
                v.asDouble() != 0) {
                u.scale = v.asDouble();
            } else if (member == "unit" && v.isString()) {
                u.unit = v.asString();
            } else {
                fail("\"" + member + "\": expected \"scale\" (a number, not 0) or \"unit\" (text)");
            }
        }
        units.units_[key] = u;
    }
    return units;
}

const Unit* Units::For(const tools::RecordField& field) const {
    auto exact = units_.find(field.name);
    if (exact != units_.end()) return &exact->second;
    if (field.module == 0) return nullptr;
    auto every = units_.find(kEveryModule + field.row_name);
    return every != units_.end() ? &every->second : nullptr;
}

double Units::Scaled(const tools::RecordField& field, std::uint32_t stored) const {
    const Unit* u = For(field);
    return u == nullptr ? stored : stored * u->scale;
}

std::string Units::Value(const tools::RecordField& field, std::uint32_t stored) const {
    const Unit* u = For(field);
    if (u == nullptr || u->scale == 1.0) return std::to_string(stored);
    char text[32];
    std::snprintf(text, sizeof(text), "%.10g", stored * u->scale);
    return text;
}

std::string Units::Label(const tools::RecordField& field) const {
    const Unit* u = For(field);
    return u == nullptr || u->unit.empty() ? field.name : field.name + " (" + u->unit + ")";
}

}  // namespace rxp::record
