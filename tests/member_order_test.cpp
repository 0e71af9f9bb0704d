// The members of the host bases in the order the framework contract declares them, on a device
// object made against our declarations (host/). The same check of the ordered members runs
// against the second framework in alt_host_test.
#include "tests/support/member_order.h"

#include <gtest/gtest.h>

#include "device/rxp517_t36b2.h"

using rxptest::AddressOf;
using rxptest::FirstOutOfOrder;

namespace {

TEST(MemberOrder, MembersThePlugInUsesAreInTheHostsOrder) {
    RXP517_T36B2 device;
    EXPECT_EQ(FirstOutOfOrder(rxptest::OrderedHostMembers(device)), "");
}

// The class-type members the inline destructor destroys, with the ordered plain members between
// them, as our declarations name them.
TEST(MemberOrder, ClassTypeMembersAreInTheHostsOrder) {
    RXP517_T36B2 device;
    const SMDSPDevice& d = device;
    EXPECT_EQ(FirstOutOfOrder({{"bao_settings", AddressOf(d.bao_settings)},
                               {"rule_ordinal", AddressOf(d.rule_ordinal)},
                               {"data_ready", AddressOf(d.data_ready)},
                               {"rule_batch", AddressOf(d.rule_batch)},
                               {"pi_alerts", AddressOf(d.pi_alerts)},
                               {"alert_mutex", AddressOf(d.alert_mutex)},
                               {"alert_states", AddressOf(d.alert_states)},
                               {"controller", AddressOf(d.controller)},
                               {"alarm_changed", AddressOf(d.alarm_changed)},
                               {"ai_values", AddressOf(d.ai_values)},
                               {"ao_signal_names", AddressOf(d.ao_signal_names)},
                               {"ao_values", AddressOf(d.ao_values)},
                               {"di_signal_names", AddressOf(d.di_signal_names)},
                               {"ai_signal_names", AddressOf(d.ai_signal_names)},
                               {"do_signal_names", AddressOf(d.do_signal_names)},
                               {"threshold_levels", AddressOf(d.threshold_levels)},
                               {"threshold_values", AddressOf(d.threshold_values)},
                               {"poll_step", AddressOf(d.poll_step)},
                               {"port_mutex", AddressOf(d.port_mutex)},
                               {"state_mutex", AddressOf(d.state_mutex)},
                               {"baud_rate", AddressOf(d.baud_rate)}}),
              "");
}

// A 32-bit plain field, two texts, 8 plain bytes, two texts, 4 plain bytes.
TEST(MemberOrder, RuleValueFieldsAreInTheHostsOrder) {
    const rule_value r{};
    EXPECT_EQ(FirstOutOfOrder({{"kind", AddressOf(r.kind)},
                               {"signal_key", AddressOf(r.signal_key)},
                               {"alarm_id", AddressOf(r.alarm_id)},
                               {"limits", AddressOf(r.limits)},
                               {"alarm_name", AddressOf(r.alarm_name)},
                               {"alarm_text", AddressOf(r.alarm_text)},
                               {"flags", AddressOf(r.flags)}}),
              "");
    EXPECT_EQ(sizeof(r.kind), 4u);
    EXPECT_EQ(sizeof(r.limits), 8u);
    EXPECT_EQ(sizeof(r.flags), 4u);
}

}  // namespace
