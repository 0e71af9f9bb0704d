#include "tools/rxp-host/alarm_glosses.h"

#include <json/json.h>

#include <cstring>
#include <memory>

namespace rxphost {

// alarm_glosses.json as it was at build time (made by embed_text.cmake).
extern const char kAlarmGlossesJson[];

namespace {

constexpr char kModuleLabel[] = "模块";
constexpr char kNumberMark[] = "{N}";

const Json::Value& Data() {
    static const Json::Value data = [] {
        Json::Value root;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        const char* text = kAlarmGlossesJson;
        std::string errors;
        // Broken data glosses nothing; the alarm list's test names every gloss it lacks.
        if (!reader->parse(text, text + std::strlen(text), &root, &errors) || !root.isObject()) {
            root = Json::Value(Json::objectValue);
        }
        return root;
    }();
    return data;
}

std::string Member(const Json::Value& entry, const char* name) {
    const Json::Value& m = entry.isObject() ? entry[name] : Json::Value::nullSingleton();
    return m.isString() ? m.asString() : std::string();
}

std::string WithNumber(std::string text, const std::string& number) {
    for (std::size_t at = text.find(kNumberMark); at != std::string::npos;
         at = text.find(kNumberMark, at + number.size())) {
        text.replace(at, std::strlen(kNumberMark), number);
    }
    return text;
}

}  // namespace

AlarmGloss GlossOf(const std::string& alarm_name, const std::string& alarm_text) {
    const Json::Value& data = Data();
    AlarmGloss gloss;
    const Json::Value& names = data["names"];
    if (names.isObject()) gloss.name = Member(names[alarm_name], "gloss");

    const Json::Value& texts = data["texts"];
    if (!texts.isObject()) return gloss;
    const Json::Value* entry = &texts[alarm_text];
    std::string number;
    // "模块7模块风扇故障" is found as "模块{N}模块风扇故障".
    const std::size_t label = std::strlen(kModuleLabel);
    if (entry->isNull() && alarm_text.compare(0, label, kModuleLabel) == 0) {
        std::size_t end = label;
        while (end < alarm_text.size() && alarm_text[end] >= '0' && alarm_text[end] <= '9') ++end;
        if (end > label) {
            number = alarm_text.substr(label, end - label);
            entry = &texts[std::string(kModuleLabel) + kNumberMark + alarm_text.substr(end)];
        }
    }
    gloss.text = WithNumber(Member(*entry, "gloss"), number);
    gloss.check = WithNumber(Member(*entry, "check"), number);
    return gloss;
}

std::string GlossLine(const std::string& alarm_name, const std::string& alarm_text) {
    const AlarmGloss g = GlossOf(alarm_name, alarm_text);
    if (g.name.empty() || g.text.empty()) return g.name.empty() ? g.text : g.name;
    return g.name + ": " + g.text;
}

}  // namespace rxphost
