#include "device/rxp517_t36b2.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstring>
#include <stdexcept>

RXP517_T36B2::RXP517_T36B2() : current_frame(nullptr), command_address(-1) {
    std::memset(rx_buffer, 0, sizeof(rx_buffer));
    std::memset(decoded_frame, 0, sizeof(decoded_frame));
    module_count = 20;
    module_index = 1;
    device_type = "rxp517_t36b2";
    baud_rate = 9600;
    device_address = 1;
}

RXP517_T36B2::~RXP517_T36B2() {}

rxp::host::ValueResult RXP517_T36B2::Get_Value(unsigned int, const std::string&) const {
    if (!data_ready) throw std::out_of_range("数据未就绪");

    // A cycle older than a minute is stale. A time stamp in the future (clock set back) is not.
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    if (last_update_time.is_special() || now.is_special()) throw std::out_of_range("数据已超时");
    const boost::posix_time::time_duration age = now - last_update_time;
    const std::int64_t age_seconds =
        static_cast<std::int64_t>(age.ticks()) /
        static_cast<std::int64_t>(boost::posix_time::time_duration::ticks_per_second());
    if (age_seconds > 60) throw std::out_of_range("数据已超时");

    throw std::out_of_range("不支持变量");
}

std::int32_t RXP517_T36B2::DeviceIoControl(int, const void*, int, void* out, int out_size,
                                           int& out_len) {
    // A missing or too small buffer gets an empty answer: nothing is written beyond what the
    // host provided.
    if (out == nullptr || out_size < 4) {
        out_len = 0;
        return 0;
    }
    const std::int32_t answer = 2;
    std::memcpy(out, &answer, sizeof(answer));
    out_len = 4;
    return 0;
}
