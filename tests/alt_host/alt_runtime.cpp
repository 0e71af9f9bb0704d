#include "alt_runtime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace althost {

Log& TheLog() {
    static Log log;
    return log;
}

void Clear() {
    TheLog() = Log();
}

}  // namespace althost

using althost::TheLog;

HostStamp get_ttime(const boost::posix_time::ptime& time) {
    HostStamp s = {};
    if (time.is_special()) return s;
    const boost::gregorian::date d = time.date();
    const boost::posix_time::time_duration tod = time.time_of_day();
    s.second = static_cast<unsigned char>(tod.seconds());
    s.minute = static_cast<unsigned char>(tod.minutes());
    s.hour = static_cast<unsigned char>(tod.hours());
    s.day = static_cast<unsigned char>(d.day().as_number());
    s.month = static_cast<unsigned char>(d.month().as_number());
    s.year = static_cast<unsigned char>(d.year() % 100);
    s.century = static_cast<unsigned char>(d.year() / 100);
    return s;
}

SMDVDevice::SMDVDevice()
    : created_ms_(0),
      rule_ordinal(0),
      polls_seen(0),
      health_flags{},
      data_ready(false),
      data_quality(0),
      hysteresis_(0.5),
      alarm_changed(true),
      alarms_active(0),
      trailing_plain_{} {}

int SMDVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) {
    return -1;
}
int SMDVDevice::Reset() {
    return 0;
}
int SMDVDevice::InitV(SMDVDevice*, unsigned int, const Json::Value&) {
    return 0;
}
int SMDVDevice::Init(std::weak_ptr<SMDController> c, unsigned int, const Json::Value&) {
    owner_ = c;
    return 0;
}
int SMDVDevice::InitSetting(const Json::Value&) {
    TheLog().calls.push_back("InitSetting");
    ++TheLog().settings_read;
    return althost::kSettingsAnswer;
}
int SMDVDevice::IsSupportDevice(const std::string& type) const {
    return type == device_type ? 1 : 0;
}
int SMDVDevice::SendSP(int, const unsigned char* data, unsigned int size, bool) {
    TheLog().calls.push_back("SendSP");
    TheLog().published.emplace_back(data, data + size);
    TheLog().ready_at_publication.push_back(data_ready);
    return static_cast<int>(size);
}
void SMDVDevice::SendDelayData(int) {}
void SMDVDevice::SendDoData(int, char) {}
long SMDVDevice::ReadDi(int) {
    return 0;
}
double SMDVDevice::ReadAi(int) {
    return 0.0;
}
Json::Value SMDVDevice::Get_SP_Value(unsigned int, const std::string&) {
    return Json::Value();
}
int SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size) {
    TheLog().calls.push_back("SaveDeviceHistory");
    TheLog().stored.emplace_back(data, data + size);
    return 0;
}
bool SMDVDevice::CheckAOReport(const std::string&, float) {
    return false;
}
void SMDVDevice::CheckThreshold(const std::string&, const std::string&, const float&, int) {}
bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>&) {
    TheLog().calls.push_back("DoBatchCheckThreshold");
    return false;
}
int SMDVDevice::CheckThresholdBool(int, const std::string& signal_key, const std::string& alarm_id,
                                   const std::string& alarm_name, const std::string& alarm_text,
                                   bool state, unsigned short ordinal) {
    TheLog().evaluations.push_back(
        althost::Evaluation{signal_key, alarm_id, alarm_name, alarm_text, state, ordinal});
    return 0;
}

SMDSPDevice::SMDSPDevice()
    : link_state(0),
      poll_step(-1),
      retries(3),
      device_address(0xFF),
      rx_count(0),
      parity_bits_(0),
      baud_rate(althost::kDefaultBaudRate),
      stop_bits(1) {}

int SMDSPDevice::Reset() {
    TheLog().calls.push_back("Reset");
    rx_count = 0;
    return 0;
}
int SMDSPDevice::Init(std::weak_ptr<SMDController> c, unsigned int index,
                      const Json::Value& setting) {
    return SMDVDevice::Init(c, index, setting);
}
bool SMDSPDevice::RefreshStatus() {
    TheLog().calls.push_back("RefreshStatus");
    return true;
}
bool SMDSPDevice::process(unsigned char*, unsigned int) {
    return true;
}
int SMDSPDevice::IsProcessing() {
    return rx_count > 0 ? 1 : 0;
}
int SMDSPDevice::IsStalled() {
    return 0;
}
long SMDSPDevice::SendData(const unsigned char* data, unsigned int size) {
    TheLog().calls.push_back("SendData");
    TheLog().sent.emplace_back(data, data + size);
    return static_cast<long>(size);
}
long SMDSPDevice::SendParityData(const unsigned char* data, unsigned int size, EnumParity) {
    return SendData(data, size);
}
int SMDSPDevice::OpenPort() {
    return -1;
}
int SMDSPDevice::ClosePort() {
    return 0;
}
void SMDSPDevice::RunCheckThreshold() {}
