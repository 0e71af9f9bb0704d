#include "tools/rxp-host/settings_file.h"

#include <cstdint>
#include <memory>

#include "tools/rxp-host/input_file.h"

namespace rxphost {

namespace {

// A settings file is a few kilobytes; anything much larger is a mistake.
constexpr std::size_t kSettingsLimit = 1 << 20;

// The JSON reader's report ("* Line 2, Column 1\n  Syntax error: ...\n") on one line.
std::string OneLine(const std::string& report) {
    std::string line;
    for (std::size_t i = 0; i < report.size(); ++i) {
        const char c = report[i];
        if (c == '*' && (i == 0 || report[i - 1] == '\n')) {
            if (i + 1 < report.size() && report[i + 1] == ' ') ++i;
            if (!line.empty()) line += "; ";
            continue;
        }
        if (c == '\n') {
            while (i + 1 < report.size() && report[i + 1] == ' ') ++i;
            if (i + 1 < report.size() && report[i + 1] != '*') line += ": ";
            continue;
        }
        line.push_back(c);
    }
    return line;
}

}  // namespace

Json::Value ReadSettingsFile(const std::string& path) {
    std::string text, why;
    if (!ReadRegularFile(path, kSettingsLimit + 1, &text, &why)) {
        throw ConfigError("cannot read settings file '" + path + "': " + why);
    }
    if (text.size() > kSettingsLimit) {
        throw ConfigError("settings file '" + path + "' is larger than " +
                          std::to_string(kSettingsLimit >> 20) + " MiB");
    }
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value settings;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &settings, &errors);
    } catch (const Json::Exception& e) {  // nesting deeper than the reader allows
        errors = e.what();
    }
    if (!parsed) {
        throw ConfigError("settings file '" + path +
                          "' is not valid JSON: " + PrintableText(OneLine(errors)));
    }
    if (!settings.isObject()) {
        throw ConfigError("settings file '" + path + "' must hold a JSON object");
    }
    return settings;
}

bool HandSettings(SMDSPDevice& device, const Json::Value& settings, const std::string& path) {
    // The record holds the device id as 32 bits, which every output shows unsigned: an id
    // outside them would be one number in some outputs and another in the rest.
    device.data_id = 1;
    if (settings.isObject() && settings.isMember("deviceId")) {
        const Json::Value& id = settings["deviceId"];
        if (!id.isUInt()) {
            throw ConfigError(
                "settings file '" + path +
                "': \"deviceId\" must be a whole number from 0 to 4294967295, not " +
                PrintableText(Json::writeString(Json::StreamWriterBuilder(), id)).substr(0, 40));
        }
        device.data_id = static_cast<std::int32_t>(id.asUInt());
    }
    try {
        return device.InitSetting(settings);
    } catch (const std::exception& e) {  // Json::Exception, from inside the plug-in
        throw ConfigError("settings file '" + path +
                          "' was refused by the plug-in: " + PrintableText(e.what()));
    }
}

}  // namespace rxphost
