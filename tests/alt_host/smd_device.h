// A second host framework, written only from the framework contract: the same class tree, slot
// order, inline methods and the members a plug-in uses, in their order, but everything the
// contract leaves to the host chosen differently from host/: other names and contents for the
// host's own members, extra plain members wherever plain members are allowed, the serial-port
// members declared by SMDSPDevice instead of SMDVDevice, other result types, another time value,
// and no visibility pragma. The plug-in's sources are built against this a second time.
#ifndef ALT_HOST_SMD_DEVICE_H
#define ALT_HOST_SMD_DEVICE_H

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

class SMDController;

// A queued batch evaluation; five plain and four text fields in the contract's order.
struct rule_value {
    std::uint32_t rule_id;
    std::string key;
    std::string nm_id;
    double limit;
    std::string title;
    std::string detail;
    float weight;
};

// This host's time value: seconds first, then minute, hour, day, month, two-digit year, century.
struct HostStamp {
    unsigned char second, minute, hour, day, month, year, century;
};

// What a value query answers in this host.
struct HostReading {
    double number;
    std::string text;
    int quality;
};

HostStamp get_ttime(const boost::posix_time::ptime& time);

class VDeviceInterface {
public:
    virtual HostReading Get_Value(unsigned int /*data_id*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& cached) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(cached.data()),
                             static_cast<int>(cached.size()));
    }
    virtual bool LoadFromCache(const unsigned char* data, int size) = 0;
    virtual int DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }
    virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_size*/, void* /*out*/,
                                int /*out_size*/, int& /*out_len*/) {
        return -2;
    }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db; }

    int data_id = -1;
    std::string device_type;
    bool use_controller_db = true;

protected:
    ~VDeviceInterface() {}
    unsigned interface_revision = 3;
};

class SMDVDevice : public VDeviceInterface, public std::enable_shared_from_this<SMDVDevice> {
public:
    struct BAOSetting {
        double upper;
        double lower;
        std::string unit;
    };
    struct pi_alert_ {
        int ordinal;
        std::string text;
    };

    SMDVDevice();
    virtual ~SMDVDevice() {}

    int DeviceIoControl(int code, const void* in, int in_size, void* out, int out_size,
                        int& out_len) override;
    virtual int Reset();
    virtual int InitV(SMDVDevice* parent, unsigned int index, const Json::Value& setting);
    virtual int Init(std::weak_ptr<SMDController> controller, unsigned int index,
                     const Json::Value& setting);
    virtual int InitSetting(const Json::Value& setting);
    virtual int IsSupportDevice(const std::string& device_type) const;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int /*index*/) {
        return std::shared_ptr<SMDVDevice>();
    }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<SMDVDevice>>();
    }
    virtual int SendSP(int data_id, const unsigned char* data, unsigned int size, bool urgent);
    virtual void SendDelayData(int data_id);
    virtual void SendDoData(int channel, char value);
    virtual long ReadDi(int channel);
    virtual double ReadAi(int channel);
    virtual Json::Value Get_SP_Value(unsigned int data_id, const std::string& name);

    int SaveDeviceHistory(const unsigned char* data, unsigned int size);
    bool CheckAOReport(const std::string& name, float value);
    void CheckThreshold(const std::string& name, const std::string& text, const float& value,
                        int level);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& batch);
    int CheckThresholdBool(int kind, const std::string& signal_key, const std::string& alarm_id,
                           const std::string& alarm_name, const std::string& alarm_text, bool state,
                           unsigned short ordinal);
    // Not part of what a plug-in may use.
    const char* HostLabel() const { return "alt"; }

private:
    std::map<std::string, BAOSetting> limits_by_signal_;
    long long created_ms_;

public:
    std::uint16_t rule_ordinal;
    std::int64_t polls_seen;
    boost::posix_time::ptime last_update_time;
    unsigned char health_flags[3];
    bool data_ready;
    short data_quality;
    std::vector<rule_value> rule_batch;

private:
    std::vector<boost::shared_ptr<pi_alert_>> raised_;
    boost::mutex raised_mutex_;
    std::map<std::string, bool> latched_;
    std::weak_ptr<SMDController> owner_;
    double hysteresis_;

public:
    bool alarm_changed;
    int alarms_active;
    std::map<std::string, float> ai_last_;
    std::vector<std::string> ao_signal_names;
    std::map<std::string, float> ao_values;
    std::vector<std::string> di_names_;
    std::vector<std::string> ai_names_;
    std::vector<std::string> do_names_;
    std::map<std::string, int> threshold_levels;
    std::map<std::string, float> threshold_values;
    unsigned char trailing_plain_[5];
};

class SMDSPDevice : public SMDVDevice {
public:
    enum EnumParity { kNone = 'N', kOdd = 'O', kEven = 'E' };

    SMDSPDevice();
    virtual ~SMDSPDevice() {}

    int Reset() override;
    int Init(std::weak_ptr<SMDController> controller, unsigned int index,
             const Json::Value& setting) override;
    virtual bool RefreshStatus();
    virtual bool process(unsigned char* data, unsigned int size);
    virtual int IsProcessing();
    virtual int IsStalled();
    virtual long SendData(const unsigned char* data, unsigned int size);
    virtual long SendParityData(const unsigned char* data, unsigned int size, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();
    virtual void RunCheckThreshold();

    // The plain members before the mutexes: this host declares them here.
    int link_state;
    std::int32_t poll_step;
    std::uint16_t retries;
    std::uint8_t device_address;
    std::int32_t rx_count;

private:
    boost::mutex io_mutex_;
    boost::shared_mutex state_lock_;
    int parity_bits_;

public:
    std::int32_t baud_rate;
    std::int32_t stop_bits;
};

#endif  // ALT_HOST_SMD_DEVICE_H
