#include "tests/support/recording_host.h"

#include <cctype>
#include <stdexcept>

#include "tools/common/hex.h"

namespace rxptest {

void RecordingHost::Clear() {
    calls.clear();
    sent.clear();
    published.clear();
    stored.clear();
    alarms.clear();
    settings.clear();
}

bool RecordingHost::OnSendData(SMDSPDevice&, const unsigned char* data, unsigned int size) {
    calls.push_back("SendData");
    sent.emplace_back(data, data + size);
    return true;
}

bool RecordingHost::OnProcess(SMDSPDevice&, unsigned char*, unsigned int) {
    calls.push_back("process");
    return process_answer;
}

bool RecordingHost::OnRefreshStatus(SMDSPDevice&) {
    calls.push_back("RefreshStatus");
    return true;
}

void RecordingHost::OnReset(SMDSPDevice&) {
    calls.push_back("Reset");
}

bool RecordingHost::OnSendSP(SMDVDevice& device, int data_id, const unsigned char* data,
                             unsigned int size, bool urgent) {
    calls.push_back("SendSP");
    published.push_back(Publication{data_id, Bytes(data, data + size), urgent, device.data_ready});
    return true;
}

bool RecordingHost::OnSaveDeviceHistory(SMDVDevice&, const unsigned char* data, unsigned int size) {
    calls.push_back("SaveDeviceHistory");
    stored.emplace_back(data, data + size);
    return true;
}

bool RecordingHost::OnCheckAOReport(SMDVDevice&, const std::string& name, float value) {
    calls.push_back("CheckAOReport:" + name);
    return ao_report_answer ? ao_report_answer(name, value) : false;
}

bool RecordingHost::OnCheckThreshold(SMDVDevice&, const std::string& name, const std::string&,
                                     float, int) {
    calls.push_back("CheckThreshold:" + name);
    return false;
}

bool RecordingHost::OnDoBatchCheckThreshold(SMDVDevice&, const std::vector<rule_value>& batch) {
    calls.push_back("DoBatchCheckThreshold:" + std::to_string(batch.size()));
    return batch_answer;
}

bool RecordingHost::OnCheckThresholdBool(SMDVDevice& device, int kind,
                                         const std::string& signal_key, const std::string& alarm_id,
                                         const std::string& alarm_name,
                                         const std::string& alarm_text, bool state,
                                         unsigned short ordinal) {
    calls.push_back("CheckThresholdBool");
    alarms.push_back(AlarmCall{kind, signal_key, alarm_id, alarm_name, alarm_text, state, ordinal,
                               device.rule_ordinal});
    if (on_alarm) on_alarm(alarms.back());
    return false;
}

bool RecordingHost::OnInitSetting(SMDVDevice&, const Json::Value& setting) {
    calls.push_back("InitSetting");
    settings.push_back(setting);
    return init_setting_answer;
}

Bytes FromHex(const std::string& hex) {
    return rxp::hex::Parse(hex);
}

std::string ToHex(const Bytes& bytes) {
    return rxp::hex::Spaced(bytes);
}

Bytes FromText(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace rxptest
