// Declarations of the site-monitoring host's device framework, as a driver plug-in sees them.
//
// The host process defines every non-inline operation declared here; a plug-in is built against
// these declarations and resolves those operations from the host when it is loaded. The methods
// defined inline below are built into the plug-in and must behave exactly as the host's own.
//
// Slot order of the virtual operations is part of the binary contract with the host: never
// reorder, insert or remove a virtual declaration.
#ifndef SMD_HOST_SMD_DEVICE_H
#define SMD_HOST_SMD_DEVICE_H

#include <json/json.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The host's types keep default visibility even when a plug-in hides its own symbols, so that
// their virtual tables, type information and operations resolve against the host process.
#pragma GCC visibility push(default)

class SMDController;
class SMDVDevice;
class SMDSPDevice;

// One queued threshold evaluation of the host's batch check. Plug-ins only destroy these.
struct rule_value {
    std::int32_t kind;
    std::string signal_key;
    std::string alarm_id;
    unsigned char limits[8];
    std::string alarm_name;
    std::string alarm_text;
    unsigned char flags[4];
};

// The host's 7-byte local time value, as stored at the end of a device record:
// year (16-bit little-endian), month, day, hour, minute, second.
struct ttime_t {
    unsigned char date[4];  // year low byte, year high byte, month 1-12, day 1-31
    unsigned char hour;     // 0-23
    unsigned char minute;   // 0-59
    unsigned char second;   // 0-59
};
static_assert(sizeof(ttime_t) == 7, "the host's time value is 7 bytes");

// Converts a local time to the host's 7-byte time value.
ttime_t get_ttime(boost::posix_time::ptime time);

class VDeviceInterface {
public:
    virtual std::string Get_Value(unsigned int /*data_id*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& cached) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(cached.data()),
                             static_cast<int>(cached.size()));
    }
    virtual bool LoadFromCache(const unsigned char* data, int size) = 0;
    virtual std::int32_t DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }
    virtual std::int32_t DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_size*/,
                                         void* /*out*/, int /*out_size*/, int& /*out_len*/) {
        return -2;
    }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db; }

    std::int32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;

protected:
    // Not virtual in the host: a device is always destroyed through SMDVDevice.
    ~VDeviceInterface() {}
};

class SMDVDevice : public VDeviceInterface, public std::enable_shared_from_this<SMDVDevice> {
public:
    struct BAOSetting {
        float threshold;
        std::int32_t level;
        std::int32_t delay_seconds;
    };
    struct pi_alert_ {
        std::string signal_key;
        bool state;
    };

    SMDVDevice();
    virtual ~SMDVDevice() {}

    std::int32_t DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                                 int& out_len) override;
    virtual void Reset();
    virtual bool InitV(SMDVDevice* parent, unsigned int index, const Json::Value& setting);
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int index,
                      const Json::Value& setting);
    virtual bool InitSetting(const Json::Value& setting);
    virtual bool IsSupportDevice(const std::string& device_type) const;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int /*index*/) {
        return std::shared_ptr<SMDVDevice>();
    }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<SMDVDevice>>();
    }
    virtual bool SendSP(int data_id, const unsigned char* data, unsigned int size, bool urgent);
    virtual bool SendDelayData(int data_id);
    virtual bool SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual std::string Get_SP_Value(unsigned int data_id, const std::string& name);

    bool SaveDeviceHistory(const unsigned char* data, unsigned int size);
    bool CheckAOReport(const std::string& name, float value);
    bool CheckThreshold(const std::string& name, const std::string& text, const float& value,
                        int level);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& batch);
    bool CheckThresholdBool(int kind, const std::string& signal_key, const std::string& alarm_id,
                            const std::string& alarm_name, const std::string& alarm_text,
                            bool state, unsigned short ordinal);

    std::map<std::string, BAOSetting> bao_settings;
    std::uint16_t rule_ordinal;
    boost::posix_time::ptime last_update_time;
    bool data_ready;
    std::vector<rule_value> rule_batch;
    std::vector<boost::shared_ptr<pi_alert_>> pi_alerts;
    boost::mutex alert_mutex;
    std::map<std::string, bool> alert_states;
    std::weak_ptr<SMDController> controller;
    bool alarm_changed;
    std::map<std::string, float> ai_values;
    std::vector<std::string> ao_signal_names;
    std::map<std::string, float> ao_values;
    std::vector<std::string> di_signal_names;
    std::vector<std::string> ai_signal_names;
    std::vector<std::string> do_signal_names;
    std::map<std::string, std::int32_t> threshold_levels;
    std::map<std::string, float> threshold_values;
    std::int32_t poll_step;
    std::uint8_t device_address;
    std::int32_t rx_count;
};

enum EnumParity {
    PARITY_NONE = 0,
    PARITY_ODD = 1,
    PARITY_EVEN = 2,
    PARITY_MARK = 3,
    PARITY_SPACE = 4
};

class SMDSPDevice : public SMDVDevice {
public:
    typedef ::EnumParity EnumParity;

    SMDSPDevice();
    virtual ~SMDSPDevice() {}

    void Reset() override;
    bool Init(std::weak_ptr<SMDController> controller, unsigned int index,
              const Json::Value& setting) override;
    virtual bool RefreshStatus();
    virtual bool process(unsigned char* data, unsigned int size);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual bool SendData(const unsigned char* data, unsigned int size);
    virtual bool SendParityData(const unsigned char* data, unsigned int size, EnumParity parity);
    virtual bool OpenPort();
    virtual void ClosePort();
    virtual void RunCheckThreshold();

    boost::mutex port_mutex;
    boost::shared_mutex state_mutex;
    std::int32_t baud_rate;
};

#pragma GCC visibility pop

#endif  // SMD_HOST_SMD_DEVICE_H
