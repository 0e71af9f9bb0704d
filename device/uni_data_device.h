// UniDataDevice: the layer between the host's serial-port device base and a concrete device.
// It owns the device's measurement record and, at the end of every polling cycle, time-stamps
// it, publishes it, runs the cycle's alarm evaluation and stores it as device history. It also
// takes a cached record from the host and reads the device's own settings.
#ifndef RXP_DEVICE_UNI_DATA_DEVICE_H
#define RXP_DEVICE_UNI_DATA_DEVICE_H

#include <json/json.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "device/host_framework.h"

template <typename Record, typename Base, int DataIdValue>
class UniDataDevice : public Base {
public:
    static const unsigned int kRecordSize = sizeof(Record);
    static const std::size_t kDeviceIdOffset = 0;
    static const std::size_t kTimestampOffset = offsetof(Record, timestamp);
    static_assert(sizeof(rxp::host::TimeValue) == sizeof(Record().timestamp),
                  "the record's time stamp holds the host's time value");

    UniDataDevice() : b_mode_(1) { std::memset(&data_, 0, sizeof(data_)); }
    virtual ~UniDataDevice() {}

    using VDeviceInterface::LoadFromCache;

    // Takes a cached record of exactly the record's size and treats it as a completed cycle:
    // it is published at once with the current time, evaluated and stored again.
    bool LoadFromCache(const unsigned char* cached, int size) override {
        if (cached == nullptr || size != static_cast<int>(kRecordSize)) return false;
        std::memcpy(&data_, cached, kRecordSize);
        this->data_ready = true;
        this->RoundDone();
        return true;
    }

    // End of a cycle. The host sees the record published before the cycle's alarms are
    // evaluated and stored after them; the record carries the time of publication.
    void RoundDone() override {
        if (!this->data_ready) this->data_ready = true;
        this->last_update_time = boost::posix_time::second_clock::local_time();
        const rxp::host::TimeValue now = get_ttime(this->last_update_time);
        std::memcpy(record_bytes() + kTimestampOffset, &now, sizeof(now));

        SMDVDevice::SendSP(DataIdValue, record_bytes(), kRecordSize, false);
        this->Reset();

        this->rule_ordinal = 1;
        this->alarm_changed = false;
        this->RunCheckThreshold();

        // The host's analog signals: only names that have a value are checked.
        for (std::size_t i = 0; i < this->ao_signal_names.size(); ++i) {
            const std::string& name = this->ao_signal_names[i];
            const auto found = this->ao_values.find(name);
            if (found == this->ao_values.end()) continue;
            const float value = found->second;
            const bool reported = SMDVDevice::CheckAOReport(name, value);
            this->alarm_changed = reported || this->alarm_changed;
            SMDVDevice::CheckThreshold(name, std::string(), value, 1);
        }

        std::cout << "rvSize is " << this->rule_batch.size() << std::endl;
        const bool batch_changed = SMDVDevice::DoBatchCheckThreshold(this->rule_batch);
        this->alarm_changed = batch_changed || this->alarm_changed;

        SMDVDevice::SaveDeviceHistory(record_bytes(), kRecordSize);
        this->rule_batch.clear();
    }

    // Stamps the record with the device id, reads the device's own options and passes the same
    // settings on to the host base, whose result is returned. Exceptions of the JSON library
    // (a settings value of the wrong kind) leave this function; what was set before stays set.
    rxp::host::SettingResult InitSetting(const Json::Value& setting) override {
        store_device_id(static_cast<std::uint32_t>(this->DataId()));

        const Json::Value& app = setting["appSetting"];
        if (!app.isNull() && app.type() == Json::objectValue) {
            const Json::Value& mode = app["b_mode"];
            if (!mode.isNull()) {
                b_mode_ = std::atoi(mode.asString().c_str());
                std::cout << "InitSetting " << device_id() << " b_mode_:" << b_mode_ << std::endl;
            }
        }

        if (b_mode_ == 3) {
            std::cout << "here 1" << std::endl;
            const Json::Value& thresholds = setting["thresholdSetting"];
            if (!thresholds.isNull()) {
                std::cout << "here 2" << std::endl;
                // Entries are the members of an object. An array or a single value holds none:
                // indexing it by a key would throw and keep the host from its own settings.
                if (thresholds.type() == Json::objectValue) {
                    for (Json::Value::const_iterator it = thresholds.begin();
                         it != thresholds.end(); ++it) {
                        const std::string key = it.key().asString();
                        std::cout << "here " << key << std::endl;
                        read_threshold_entry(key, thresholds[key]);
                    }
                }
            }
        }

        return SMDVDevice::InitSetting(setting);
    }

    // The device's own alarm pass; a device class overrides it.
    void RunCheckThreshold() override {}

    const Record& record() const { return data_; }
    std::int32_t b_mode() const { return b_mode_; }
    const std::map<std::string, std::string>& signal_ids() const { return signal_ids_; }
    const std::map<std::string, std::string>& signal_names() const { return signal_names_; }

protected:
    unsigned char* record_bytes() { return reinterpret_cast<unsigned char*>(&data_); }
    const unsigned char* record_bytes() const {
        return reinterpret_cast<const unsigned char*>(&data_);
    }

    // The device id as stored in the record: a little-endian 32-bit word.
    std::uint32_t device_id() const {
        const unsigned char* p = record_bytes() + kDeviceIdOffset;
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }

    Record data_;
    std::int32_t b_mode_;
    std::map<std::string, std::string> signal_ids_;
    std::map<std::string, std::string> signal_names_;

private:
    void store_device_id(std::uint32_t id) {
        unsigned char* p = record_bytes() + kDeviceIdOffset;
        p[0] = static_cast<unsigned char>(id);
        p[1] = static_cast<unsigned char>(id >> 8);
        p[2] = static_cast<unsigned char>(id >> 16);
        p[3] = static_cast<unsigned char>(id >> 24);
    }

    // One member of "thresholdSetting". The alarm-id text always holds three ";", a missing
    // part leaving its place empty.
    void read_threshold_entry(const std::string& key, const Json::Value& entry) {
        if (entry.type() != Json::objectValue) return;

        const Json::Value& name = entry["SignalName"];
        if (!name.isNull()) signal_names_[key] = name.asString();

        static const char* const kIdParts[] = {"NMAlarmID", "ID", "SignalNumber"};
        std::string alarm_id;
        for (std::size_t i = 0; i < sizeof(kIdParts) / sizeof(kIdParts[0]); ++i) {
            const Json::Value& part = entry[kIdParts[i]];
            if (!part.isNull()) {
                alarm_id += part.asString();
            } else {
                std::cout << device_id() << " " << kIdParts[i] << " is missing" << std::endl;
            }
            alarm_id += ";";
        }

        std::cout << "mobile:" << key << ":" << alarm_id << " level:" << this->threshold_levels[key]
                  << " value:" << this->threshold_values[key] << std::endl;
        signal_ids_[key] = alarm_id;
    }
};

#endif  // RXP_DEVICE_UNI_DATA_DEVICE_H
