// A device's settings file as rxp-host reads it, and the settings handed to the device as the
// controller's host hands them: the polling host and --check-settings share both steps.
#ifndef RXP_TOOLS_RXP_HOST_SETTINGS_FILE_H
#define RXP_TOOLS_RXP_HOST_SETTINGS_FILE_H

#include <json/json.h>

#include <string>

#include "host/smd_device.h"
#include "tools/rxp-host/device_session.h"

namespace rxphost {

// The JSON object in `path`, read strictly (a key twice or anything after the object is a
// mistake). Throws ConfigError naming the file and what is wrong.
Json::Value ReadSettingsFile(const std::string& path);

// Sets the device id from the host's member "deviceId" (1 when absent), then hands the whole
// object to the device's InitSetting. Returns what InitSetting returns; throws ConfigError
// when "deviceId" is not a whole number or the plug-in throws (`path` names the file).
bool HandSettings(SMDSPDevice& device, const Json::Value& settings, const std::string& path);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_SETTINGS_FILE_H
