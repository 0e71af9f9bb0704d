// Fuzz target: the settings pass. Arbitrary text is parsed as JSON and handed to InitSetting of a
// new device, twice, as a host applies settings again. Exceptions of the JSON library may leave
// InitSetting (a settings value of the wrong kind); any other exception, a memory fault or
// undefined behaviour is a finding, and so is a broken invariant:
//   - the record holds the device id in bytes 0..3 and nothing else;
//   - the host's own settings reader gets the same object exactly when no exception left;
//   - an exception comes only from settings that are not an object, a "b_mode" without a text,
//     or an entry of a "thresholdSetting" object: one that is not an object holds no entries;
//   - threshold entries are read only in mode 3, each alarm-id text ending in its third ";".
#include <json/json.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "device/rxp517_t36b2.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/recording_host.h"

namespace {

const std::int32_t kDataId = 0x0A0B0C0D;

std::ostringstream g_console;

// Whether the JSON library may refuse these settings inside InitSetting.
bool MayThrow(const Json::Value& settings) {
    if (settings.type() == Json::nullValue) return false;
    if (settings.type() != Json::objectValue) return true;
    const Json::Value& app = settings["appSetting"];
    if (app.type() == Json::objectValue) {
        const Json::Value& mode = app["b_mode"];
        if (mode.type() == Json::arrayValue || mode.type() == Json::objectValue) return true;
    }
    return settings["thresholdSetting"].type() == Json::objectValue;
}

// Applies the settings; true when the JSON library's exception left InitSetting.
bool Apply(RXP517_T36B2& device, rxptest::RecordingHost& host, const Json::Value& settings) {
    const std::size_t before = host.settings.size();
    bool threw = false;
    try {
        const bool answer = device.InitSetting(settings);
        FUZZ_CHECK(answer == host.init_setting_answer, "the host's answer is returned");
    } catch (const Json::Exception&) {
        threw = true;
    }
    if (threw) {
        FUZZ_CHECK(MayThrow(settings), "only a wrong kind of mode, settings or entry throws");
        FUZZ_CHECK(host.settings.size() == before, "no hand-over after an exception");
    } else {
        FUZZ_CHECK(host.settings.size() == before + 1 && host.settings.back() == settings,
                   "the same settings go on to the host");
    }

    const unsigned char* record = reinterpret_cast<const unsigned char*>(&device.record());
    const unsigned char id[4] = {0x0D, 0x0C, 0x0B, 0x0A};
    FUZZ_CHECK(std::equal(id, id + 4, record), "the device id, little-endian, in bytes 0..3");
    FUZZ_CHECK(std::all_of(record + 4, record + sizeof(RXP517_T36B2_Data_t),
                           [](unsigned char b) { return b == 0; }),
               "settings write no record byte beyond the device id");

    if (device.b_mode() != 3) {
        FUZZ_CHECK(device.signal_ids().empty() && device.signal_names().empty(),
                   "threshold entries are read in mode 3 only");
    }
    for (const auto& entry : device.signal_ids()) {
        const std::string& text = entry.second;
        FUZZ_CHECK(std::count(text.begin(), text.end(), ';') >= 3 && text.back() == ';',
                   "an alarm-id text holds three parts, each ended by ';'");
    }
    g_console.str(std::string());
    return threw;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(g_console.rdbuf());  // the settings pass's console lines are not printed
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value settings;
    std::string errors;
    try {
        if (!reader->parse(text, text + size, &settings, &errors)) return 0;
    } catch (const Json::Exception&) {
        return 0;  // e.g. nesting deeper than the reader's limit
    }

    rxptest::RecordingHost host;
    const std::unique_ptr<RXP517_T36B2> device(new RXP517_T36B2);
    rxptest::ObserverGuard guard(*device, host);
    device->data_id = kDataId;
    if (!Apply(*device, host, settings)) Apply(*device, host, settings);
    return 0;
}
