// The host framework as the plug-in takes it: the host's own declarations, found as
// "smd_device.h" and "provider.h" on the include path (our host/ by default, or the folder named
// by RXP_HOST_INCLUDE_DIR), and the few types the framework leaves to the host, taken from those
// declarations rather than named here.
#ifndef RXP_DEVICE_HOST_FRAMEWORK_H
#define RXP_DEVICE_HOST_FRAMEWORK_H

#include <json/json.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The plug-in hides its own symbols, but the host's classes, their virtual tables, type
// information and operations must resolve against the host process, whether or not the host's
// headers say so themselves.
#pragma GCC visibility push(default)
#include "provider.h"
#include "smd_device.h"
#pragma GCC visibility pop

namespace rxp {
namespace host {

// The host's 7-byte time value, as get_ttime returns it.
typedef decltype(get_ttime(boost::posix_time::ptime())) TimeValue;

// What the host's settings reader answers; the plug-in's settings pass returns it unchanged.
typedef decltype(std::declval<SMDVDevice&>().SMDVDevice::InitSetting(
    std::declval<const Json::Value&>())) SettingResult;

// The declared result of a value query (a query the device always refuses).
typedef decltype(std::declval<const VDeviceInterface&>().Get_Value(
    0u, std::declval<const std::string&>())) ValueResult;

// What the host's SendData answers for a frame; write_cmd passes it on.
typedef decltype(std::declval<SMDSPDevice&>().SMDSPDevice::SendData(
    std::declval<const unsigned char*>(), 0u)) SendResult;

// The host base type through which a provider hands out a new device.
typedef decltype(std::declval<const SMDSPDeviceProvider&>().create()) CreatedDevice;

}  // namespace host
}  // namespace rxp

#endif  // RXP_DEVICE_HOST_FRAMEWORK_H
