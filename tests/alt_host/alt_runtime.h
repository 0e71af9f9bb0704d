// The second framework's runtime, as small as a test needs: it keeps what devices hand over in
// one log for the whole process, answers the settings reader with its own value and keeps the
// receive count at 0 after Reset, as the contract asks.
#ifndef ALT_HOST_ALT_RUNTIME_H
#define ALT_HOST_ALT_RUNTIME_H

#include <string>
#include <vector>

#include "smd_device.h"

namespace althost {

struct Evaluation {
    std::string signal_key;
    std::string alarm_id;
    std::string alarm_name;
    std::string alarm_text;
    bool state;
    unsigned short ordinal;
};

struct Log {
    std::vector<std::string> calls;  // "RefreshStatus", "SendData", "SendSP", "Reset", ...
    std::vector<std::vector<unsigned char>> sent;
    std::vector<std::vector<unsigned char>> published;
    std::vector<bool> ready_at_publication;  // data_ready as each publication was made
    std::vector<std::vector<unsigned char>> stored;
    std::vector<Evaluation> evaluations;
    int settings_read = 0;
};

// The one log of the process; Clear() before each case.
Log& TheLog();
void Clear();

// What this host's settings reader answers.
const int kSettingsAnswer = 7;
// This host's line speed before a device sets its own.
const int kDefaultBaudRate = 115200;

}  // namespace althost

#endif  // ALT_HOST_ALT_RUNTIME_H
