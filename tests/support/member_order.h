// The members of the host bases that the plug-in uses, in the order the framework contract
// declares them. The host is free to put its own members between them, but not to reorder them:
// a plug-in built against declarations with another order would read and write the wrong bytes
// of a device made by the host. Works with any conformant set of declarations (template).
#ifndef RXP_TESTS_SUPPORT_MEMBER_ORDER_H
#define RXP_TESTS_SUPPORT_MEMBER_ORDER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace rxptest {

using MemberAddresses = std::vector<std::pair<std::string, std::uintptr_t>>;

template <typename T>
std::uintptr_t AddressOf(const T& member) {
    return reinterpret_cast<std::uintptr_t>(&member);
}

// The ordered members of a device object of the host's serial-port device type (or a class
// derived from it), first to last.
template <typename Device>
MemberAddresses OrderedHostMembers(const Device& d) {
    return {{"rule_ordinal", AddressOf(d.rule_ordinal)},
            {"last_update_time", AddressOf(d.last_update_time)},
            {"data_ready", AddressOf(d.data_ready)},
            {"rule_batch", AddressOf(d.rule_batch)},
            {"alarm_changed", AddressOf(d.alarm_changed)},
            {"ao_signal_names", AddressOf(d.ao_signal_names)},
            {"ao_values", AddressOf(d.ao_values)},
            {"threshold_levels", AddressOf(d.threshold_levels)},
            {"threshold_values", AddressOf(d.threshold_values)},
            {"poll_step", AddressOf(d.poll_step)},
            {"device_address", AddressOf(d.device_address)},
            {"rx_count", AddressOf(d.rx_count)},
            {"baud_rate", AddressOf(d.baud_rate)}};
}

// The first pair of neighbours that is not in increasing address order, as "a after b", or an
// empty text when every member lies behind the one before it.
inline std::string FirstOutOfOrder(const MemberAddresses& members) {
    for (std::size_t i = 1; i < members.size(); ++i) {
        if (members[i].second <= members[i - 1].second) {
            return members[i].first + " is not behind " + members[i - 1].first;
        }
    }
    return std::string();
}

}  // namespace rxptest

#endif  // RXP_TESTS_SUPPORT_MEMBER_ORDER_H
