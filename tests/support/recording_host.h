// A host that records every framework call a device makes, in order, and answers as a test
// tells it to.
#ifndef RXP_TESTS_SUPPORT_RECORDING_HOST_H
#define RXP_TESTS_SUPPORT_RECORDING_HOST_H

#include <functional>
#include <string>
#include <vector>

#include "host_runtime/host_observer.h"

namespace rxptest {

using Bytes = std::vector<unsigned char>;

struct AlarmCall {
    int kind;
    std::string signal_key;
    std::string alarm_id;
    std::string alarm_name;
    std::string alarm_text;
    bool state;
    unsigned short ordinal;
    unsigned short ordinal_during_call;  // the device's rule_ordinal while the host is called
};

struct Publication {
    int data_id;
    Bytes record;
    bool urgent;
    bool data_ready;  // the device's data_ready as the record was handed over
};

class RecordingHost : public smdhost::HostObserver {
public:
    // Every call in order, as a short name: "SendData", "SendSP", "Reset", "CheckThresholdBool",
    // "CheckAOReport:<name>", "CheckThreshold:<name>", "DoBatchCheckThreshold:<size>",
    // "SaveDeviceHistory", "InitSetting", "RefreshStatus", "process".
    std::vector<std::string> calls;
    std::vector<Bytes> sent;  // frames handed to SendData
    std::vector<Publication> published;
    std::vector<Bytes> stored;
    std::vector<AlarmCall> alarms;
    std::vector<Json::Value> settings;

    // Answers.
    bool process_answer = true;
    bool init_setting_answer = true;
    std::function<bool(const std::string& name, float value)> ao_report_answer;
    bool batch_answer = false;
    std::function<void(const AlarmCall&)> on_alarm;  // may throw, to test failure paths

    void Clear();

    bool OnSendData(SMDSPDevice&, const unsigned char* data, unsigned int size) override;
    bool OnProcess(SMDSPDevice&, unsigned char* data, unsigned int size) override;
    bool OnRefreshStatus(SMDSPDevice&) override;
    void OnReset(SMDSPDevice&) override;
    bool OnSendSP(SMDVDevice&, int data_id, const unsigned char* data, unsigned int size,
                  bool urgent) override;
    bool OnSaveDeviceHistory(SMDVDevice&, const unsigned char* data, unsigned int size) override;
    bool OnCheckAOReport(SMDVDevice&, const std::string& name, float value) override;
    bool OnCheckThreshold(SMDVDevice&, const std::string& name, const std::string& text,
                          float value, int level) override;
    bool OnDoBatchCheckThreshold(SMDVDevice&, const std::vector<rule_value>& batch) override;
    bool OnCheckThresholdBool(SMDVDevice& device, int kind, const std::string& signal_key,
                              const std::string& alarm_id, const std::string& alarm_name,
                              const std::string& alarm_text, bool state,
                              unsigned short ordinal) override;
    bool OnInitSetting(SMDVDevice&, const Json::Value& setting) override;
};

// Installs a host as the observer of one device for the life of the guard.
class ObserverGuard {
public:
    ObserverGuard(SMDVDevice& device, smdhost::HostObserver& host) : device_(device) {
        smdhost::SetObserver(device_, &host);
    }
    ~ObserverGuard() { smdhost::SetObserver(device_, nullptr); }
    ObserverGuard(const ObserverGuard&) = delete;
    ObserverGuard& operator=(const ObserverGuard&) = delete;

private:
    SMDVDevice& device_;
};

// Bytes from hex text; spaces are ignored ("7E 30 31" or "7E3031").
Bytes FromHex(const std::string& hex);
std::string ToHex(const Bytes& bytes);
Bytes FromText(const std::string& text);

}  // namespace rxptest

#endif  // RXP_TESTS_SUPPORT_RECORDING_HOST_H
