#include "tests/support/power_model.h"

#include <string>

namespace rxptest {

namespace {

void put_be16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}
void put_be32(Bytes& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}
void set_le16(Bytes& rec, std::size_t at, std::uint16_t v) {
    rec.at(at) = static_cast<unsigned char>(v);
    rec.at(at + 1) = static_cast<unsigned char>(v >> 8);
}
void set_le32(Bytes& rec, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) rec.at(at + i) = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

void CommandCodes(int index, int* group, int* command, int* data) {
    *data = -1;
    if (index == 0) {
        *group = 0x40;
        *command = 0x01;
    } else if (index == 1) {
        *group = 0x40;
        *command = 0x02;
    } else if (index == 2) {
        *group = 0x40;
        *command = 0x03;
    } else if (index <= 22) {
        *group = 0x41;
        *command = 0x0E;
        *data = index - 2;
    } else if (index == 23) {
        *group = 0x42;
        *command = 0x15;
    } else {
        *group = 0x42;
        *command = 0x16;
    }
}

Bytes EncodeFrame(const Bytes& raw) {
    static const char digits[] = "0123456789:;<=>?";
    Bytes out{0x7E};
    unsigned sum = 0;
    for (unsigned char b : raw) {
        const unsigned char hi = static_cast<unsigned char>(digits[b >> 4]);
        const unsigned char lo = static_cast<unsigned char>(digits[b & 15]);
        out.push_back(hi);
        out.push_back(lo);
        sum += hi + lo;
    }
    const unsigned char crc = static_cast<unsigned char>(sum & 0xFF);
    out.push_back(static_cast<unsigned char>(digits[crc >> 4]));
    out.push_back(static_cast<unsigned char>(digits[crc & 15]));
    out.push_back(0x0D);
    return out;
}

Bytes ExpectedCommand(int index) {
    int group, command, data;
    CommandCodes(index, &group, &command, &data);
    Bytes raw{0x01, static_cast<unsigned char>(group), static_cast<unsigned char>(command)};
    if (data >= 0) {
        raw.push_back(0x01);
        raw.push_back(static_cast<unsigned char>(data));
    } else {
        raw.push_back(0x00);
    }
    return EncodeFrame(raw);
}

PowerModel PowerModel::Distinct(std::uint32_t seed) {
    PowerModel m{};
    std::uint32_t next = seed * 0x9E3779B9u + 0x1234567u;
    auto word = [&next]() {
        next = next * 1103515245u + 12345u;
        // High and low byte always differ, so a swap shows.
        std::uint16_t v = static_cast<std::uint16_t>(next >> 8);
        if ((v >> 8) == (v & 0xFF)) v ^= 0x0100;
        return v;
    };
    auto byte = [&word]() { return static_cast<std::uint8_t>(word()); };
    for (auto& p : m.phase_value)
        for (auto& v : p) v = word();
    for (auto& s : m.phase_status) s = byte();
    m.ac_value = word();
    m.ac_frequency_state = byte();
    for (auto& mod : m.modules) {
        for (auto& v : mod.value) v = word();
        mod.status = byte();
        mod.extra = byte();
    }
    m.breaker1_state = byte();
    m.breaker2_state = byte();
    m.lightning_switch_state = byte();
    m.dc_switch_value = word();
    for (auto& v : m.dc_value) v = word();
    m.dc_byte_value = byte();
    for (auto& s : m.dc_status) s = byte();
    for (auto& l : m.dc_long) l = (static_cast<std::uint32_t>(word()) << 16) | word();
    return m;
}

Bytes PowerModel::Payload(int index) const {
    Bytes p;
    if (index == 0) {
        for (int ph = 0; ph < 3; ++ph) {
            put_be16(p, phase_value[ph][0]);
            put_be16(p, phase_value[ph][1]);
            p.push_back(phase_status[ph]);
        }
    } else if (index == 1) {
        put_be16(p, ac_value);
    } else if (index == 2) {
        p.push_back(ac_frequency_state);
    } else if (index <= 22) {
        const Module& mod = modules[index - 3];
        p.push_back(static_cast<unsigned char>(index - 2));  // module number, not stored
        for (std::uint16_t v : mod.value) put_be16(p, v);
        p.push_back(mod.status);
        p.push_back(mod.extra);
    } else if (index == 23) {
        p.push_back(breaker1_state);
        p.push_back(breaker2_state);
        p.push_back(lightning_switch_state);
        put_be16(p, dc_switch_value);
    } else {
        for (int i = 0; i < 5; ++i) put_be16(p, dc_value[i]);
        p.push_back(dc_byte_value);  // payload byte 10
        put_be16(p, dc_value[5]);    // payload bytes 11-12
        for (std::uint8_t s : dc_status) p.push_back(s);
        for (int i = 6; i < 10; ++i) put_be16(p, dc_value[i]);
        for (std::uint32_t l : dc_long) put_be32(p, l);
        for (int i = 10; i < 16; ++i) put_be16(p, dc_value[i]);
    }
    return p;
}

Bytes PowerModel::Reply(int index) const {
    int group, command, data;
    CommandCodes(index, &group, &command, &data);
    const Bytes payload = Payload(index);
    Bytes raw{0x01, static_cast<unsigned char>(group), static_cast<unsigned char>(command),
              static_cast<unsigned char>(payload.size())};
    raw.insert(raw.end(), payload.begin(), payload.end());
    return EncodeFrame(raw);
}

Bytes PowerModel::CycleStream() const {
    Bytes all;
    for (int i = 0; i < 25; ++i) {
        const Bytes r = Reply(i);
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

Bytes PowerModel::ExpectedRecord(std::uint32_t device_id) const {
    Bytes rec(289, 0);
    set_le32(rec, 0, device_id);
    for (int ph = 0; ph < 3; ++ph) {
        set_le16(rec, 4 + 5 * ph, phase_value[ph][0]);
        set_le16(rec, 6 + 5 * ph, phase_value[ph][1]);
        rec[8 + 5 * ph] = phase_status[ph];
    }
    set_le16(rec, 19, ac_value);
    rec[21] = ac_frequency_state;
    for (int k = 0; k < 20; ++k) {
        const std::size_t row = 22 + 10 * k;
        for (int v = 0; v < 4; ++v) set_le16(rec, row + 2 * v, modules[k].value[v]);
        rec[row + 8] = modules[k].status;
        rec[row + 9] = modules[k].extra;
    }
    rec[222] = breaker1_state;
    rec[223] = breaker2_state;
    rec[224] = lightning_switch_state;
    set_le16(rec, 225, dc_switch_value);
    for (int i = 0; i < 5; ++i) set_le16(rec, 227 + 2 * i, dc_value[i]);
    set_le16(rec, 237, dc_value[5]);
    rec[239] = dc_byte_value;
    for (int i = 0; i < 6; ++i) rec[240 + i] = dc_status[i];
    for (int i = 0; i < 4; ++i) set_le16(rec, 246 + 2 * i, dc_value[6 + i]);
    for (int i = 0; i < 4; ++i) set_le32(rec, 254 + 4 * i, dc_long[i]);
    for (int i = 0; i < 6; ++i) set_le16(rec, 270 + 2 * i, dc_value[10 + i]);
    return rec;
}

std::vector<bool> ExpectedAlarmStates(const Bytes& record) {
    std::vector<bool> states;
    auto bit = [&](std::size_t offset, int b) {
        states.push_back(((record.at(offset) >> b) & 1) != 0);
    };
    auto is = [&](std::size_t offset, unsigned v) { states.push_back(record.at(offset) == v); };
    for (int b : {7, 5, 4, 2, 1, 0}) bit(8, b);   // phase A
    for (int b : {6, 5, 4, 2, 1, 0}) bit(13, b);  // phase B (bit 6: battery symmetry)
    for (int b : {5, 4, 2, 1, 0}) bit(18, b);     // phase C
    is(21, 1);                                    // frequency high
    is(21, 2);                                    // frequency low
    for (int m = 0; m < 20; ++m) {
        for (int b : {6, 5, 4, 1, 0}) bit(30 + 10 * m, b);  // module status byte
    }
    is(222, 1);  // breaker 1
    is(223, 2);  // breaker 2
    is(224, 1);  // lightning switch
    for (int b = 7; b >= 0; --b) bit(240, b);
    for (int b : {7, 6, 5, 4, 2, 1, 0}) bit(241, b);
    for (int b : {6, 5}) bit(242, b);
    return states;
}

Json::Value ScenarioOf(const PowerModel& m) {
    Json::Value s(Json::objectValue);
    const char* phases[] = {"a", "b", "c"};
    for (int p = 0; p < 3; ++p) {
        const std::string prefix = std::string("phase_") + phases[p];
        s[prefix + "_value1"] = m.phase_value[p][0];
        s[prefix + "_value2"] = m.phase_value[p][1];
        s[prefix + "_status"] = m.phase_status[p];
    }
    s["ac_value"] = m.ac_value;
    s["ac_frequency_state"] = m.ac_frequency_state;
    for (int k = 0; k < 20; ++k) {
        Json::Value row(Json::objectValue);
        for (int v = 0; v < 4; ++v) row["value" + std::to_string(v + 1)] = m.modules[k].value[v];
        row["status"] = m.modules[k].status;
        row["extra"] = m.modules[k].extra;
        s["modules"][std::to_string(k + 1)] = row;
    }
    s["breaker1_state"] = m.breaker1_state;
    s["breaker2_state"] = m.breaker2_state;
    s["lightning_switch_state"] = m.lightning_switch_state;
    s["dc_switch_value"] = m.dc_switch_value;
    for (int i = 0; i < 16; ++i) s["dc_value" + std::to_string(i + 1)] = m.dc_value[i];
    s["dc_byte_value"] = m.dc_byte_value;
    for (int i = 0; i < 6; ++i) s["dc_status"].append(m.dc_status[i]);
    for (int i = 0; i < 4; ++i) s["dc_long" + std::to_string(i + 1)] = m.dc_long[i];
    return s;
}

}  // namespace rxptest
