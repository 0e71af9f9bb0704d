#include "tools/rxp-host/check_settings.h"

#include <memory>
#include <sstream>
#include <vector>

#include "host_runtime/host_observer.h"
#include "tools/rxp-host/bench_host.h"
#include "tools/rxp-host/host_output.h"
#include "tools/rxp-host/input_file.h"
#include "tools/rxp-host/plugin_loader.h"
#include "tools/rxp-host/plugin_output.h"
#include "tools/rxp-host/settings_file.h"
#include "tools/rxp-host/startup_checks.h"

namespace rxphost {

namespace {

// The host's side of the device under test: whether the settings reached the host's own
// reader, and the device id of the record the device publishes.
class SettingsObserver : public smdhost::HostObserver {
public:
    bool OnInitSetting(SMDVDevice&, const Json::Value&) override {
        passed_on = true;
        return true;
    }
    bool OnSendSP(SMDVDevice&, int, const unsigned char* data, unsigned int size, bool) override {
        // Record bytes 0..3: the device id, little-endian.
        if (size >= 4) {
            stamped_id = 0;
            for (int i = 3; i >= 0; --i) stamped_id = (stamped_id << 8) | data[i];
            published = true;
        }
        return true;
    }

    bool passed_on = false;
    bool published = false;
    std::uint32_t stamped_id = 0;
};

// The plug-in's "InitSetting 17 b_mode_:3": the mode it took; empty when it printed none.
std::string ModeFromLines(const std::vector<std::string>& lines) {
    const std::string head = "InitSetting ", mark = " b_mode_:";
    for (const std::string& line : lines) {
        const std::size_t at = line.find(mark);
        if (line.compare(0, head.size(), head) == 0 && at != std::string::npos) {
            return line.substr(at + mark.size());
        }
    }
    return "";
}

// The alarm-id text of the plug-in's "mobile:KEY:TEXT level:..." line for `key`.
std::string AlarmIdText(const std::vector<std::string>& lines, const std::string& key) {
    const std::string head = "mobile:" + key + ":";
    for (const std::string& line : lines) {
        if (line.compare(0, head.size(), head) != 0) continue;
        const std::size_t end = line.rfind(" level:");
        return line.substr(head.size(), end == std::string::npos ? end : end - head.size());
    }
    return "";
}

}  // namespace

int CheckSettings(const std::string& plugin_path, const std::string& settings_path) {
    std::unique_ptr<LoadedPlugin> plugin;
    try {
        plugin.reset(new LoadedPlugin(plugin_path));
    } catch (const std::exception& e) {
        Err(Priority::kError) << "rxp-host: " << e.what() << std::endl;
        return kExitFailed;
    }
    std::ostringstream out;
    out << "settings: " << PrintableText(settings_path) << "\n";
    Json::Value settings;
    try {
        settings = ReadSettingsFile(settings_path);
    } catch (const ConfigError& e) {
        Out() << out.str() << "result: refused: " << e.what() << std::endl;
        return kExitUsage;
    }

    SettingsObserver host;
    std::unique_ptr<SMDSPDevice> device(plugin->CreateDevice());
    if (!device) {
        Err(Priority::kError) << "rxp-host: the plug-in made no device" << std::endl;
        return kExitFailed;
    }
    smdhost::SetObserver(*device, &host);
    std::vector<std::string> printed;
    std::string refused;
    try {
        HeldPluginLines lines;
        try {
            HandSettings(*device, settings, settings_path);
        } catch (const ConfigError& e) {
            refused = e.what();
        }
        printed = lines.Take();
        // The record as the plug-in stamped it: the end of a cycle publishes it.
        if (refused.empty()) device->RoundDone();
    } catch (const std::exception& e) {
        smdhost::SetObserver(*device, nullptr);
        Err(Priority::kError) << "rxp-host: " << e.what() << std::endl;
        return kExitFailed;
    }
    smdhost::SetObserver(*device, nullptr);

    if (refused.empty()) {
        out << "device id: "
            << (host.published ? std::to_string(host.stamped_id) : std::string("unknown"))
            << " (stamped into every record)\n";
        const std::string mode = ModeFromLines(printed);
        out << "mode: "
            << (mode.empty() ? std::string("not given (no \"appSetting\" with \"b_mode\")") : mode)
            << "\n";
        const Json::Value& entries = settings["thresholdSetting"];
        if (entries.isObject()) {
            std::size_t read = 0;
            std::ostringstream each;
            for (const std::string& key : entries.getMemberNames()) {
                const bool taken = device->threshold_levels.count(key) != 0;
                read += taken ? 1 : 0;
                each << "  " << (taken ? "read: " : "not read: ") << PrintableText(key);
                if (taken) {
                    each << " (alarm id text \"" << PrintableText(AlarmIdText(printed, key))
                         << "\")";
                } else if (!entries[key].isObject()) {
                    each << " (not a JSON object)";
                }
                each << "\n";
            }
            out << "threshold entries: " << read << " read of " << entries.size() << "\n"
                << each.str();
        } else {
            out << "threshold entries: none (no \"thresholdSetting\" object)\n";
        }
        out << "passed on to the host's settings: " << (host.passed_on ? "yes" : "no") << "\n";
    }
    for (const std::string& warning : UnknownSettingsWarnings(settings_path, settings)) {
        out << warning << "\n";
    }
    out << "plug-in printed:" << (printed.empty() ? " nothing" : "") << "\n";
    for (const std::string& line : printed) out << "  " << PrintableText(line) << "\n";
    out << "result: " << (refused.empty() ? "taken" : "refused: " + refused) << "\n";
    Out() << out.str() << std::flush;
    return refused.empty() ? kExitDone : kExitUsage;
}

}  // namespace rxphost
