#include "tools/common/json_text.h"

#include <algorithm>
#include <cstdio>

namespace rxp::tools {

void AppendJsonString(std::string* out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out->push_back('"');
    const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
    });
    if (plain) {  // most texts: copied whole
        out->append(text);
        out->push_back('"');
        return;
    }
    for (const char c : text) {
        switch (c) {
            case '"':
                out->append("\\\"");
                break;
            case '\\':
                out->append("\\\\");
                break;
            case '\b':
                out->append("\\b");
                break;
            case '\f':
                out->append("\\f");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            case '\t':
                out->append("\\t");
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out->append("\\u00");
                    out->push_back(kHex[static_cast<unsigned char>(c) >> 4]);
                    out->push_back(kHex[c & 0x0F]);
                } else {
                    out->push_back(c);  // UTF-8 as it is
                }
        }
    }
    out->push_back('"');
}

std::string JsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    AppendJsonString(&out, text);
    return out;
}

std::string JsonReal(double value, unsigned decimals) {
    char text[64];
    const int n = std::snprintf(text, sizeof(text), "%.*f", static_cast<int>(decimals), value);
    std::string out;
    if (n < 0) return "null";
    if (static_cast<std::size_t>(n) < sizeof(text)) {
        out.assign(text, static_cast<std::size_t>(n));
    } else {  // a huge value: as many digits as it takes
        out.resize(static_cast<std::size_t>(n) + 1);
        std::snprintf(out.data(), out.size(), "%.*f", static_cast<int>(decimals), value);
        out.resize(static_cast<std::size_t>(n));
    }
    const std::size_t point = out.find('.');
    if (point == std::string::npos) return out + ".0";
    std::size_t end = out.size();
    while (end > point + 2 && out[end - 1] == '0') --end;
    out.resize(end);
    return out;
}

std::string JsonMembers::Object() const {
    std::vector<const std::pair<std::string, std::string>*> sorted;
    sorted.reserve(members_.size());
    for (const auto& m : members_) sorted.push_back(&m);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    std::size_t size = 2;
    for (const auto* m : sorted) size += m->first.size() + m->second.size() + 4;
    std::string out;
    out.reserve(size);
    out.push_back('{');
    for (const auto* m : sorted) {
        if (out.size() > 1) out.push_back(',');
        AppendJsonString(&out, m->first);
        out.push_back(':');
        out.append(m->second);
    }
    out.push_back('}');
    return out;
}

}  // namespace rxp::tools
