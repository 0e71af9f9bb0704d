// English beside the plug-in's Chinese alarm names and texts, with what a technician checks
// first. The glosses live in one data file, alarm_glosses.json beside this header, compiled into
// the tools at build time so that an installed rxp-host has them. The plug-in's texts are never
// changed: a gloss is shown next to them.
//
// A module's alarm text begins with its label ("模块7模块风扇故障"); the data holds one entry
// for all twenty modules with "{N}" for the number ("模块{N}模块风扇故障": "module {N} fan
// fault"), and the number is put back in the English.
#ifndef RXP_TOOLS_RXP_HOST_ALARM_GLOSSES_H
#define RXP_TOOLS_RXP_HOST_ALARM_GLOSSES_H

#include <string>

namespace rxphost {

struct AlarmGloss {
    std::string name;   // the alarm name in English; empty when the data has none
    std::string text;   // the alarm text in English; empty when the data has none
    std::string check;  // what to check first, for the alarm text; empty when none
};

AlarmGloss GlossOf(const std::string& alarm_name, const std::string& alarm_text);

// "AC input voltage low: phase A voltage low", to stand beside the Chinese; empty when the
// data knows neither.
std::string GlossLine(const std::string& alarm_name, const std::string& alarm_text);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_ALARM_GLOSSES_H
