// JSON text written directly, for files rewritten every cycle: the same text jsoncpp's writer
// gives without indentation and with UTF-8 texts as they are (members in the byte order of their
// names, reals to a given number of decimals without trailing zeros), at a fraction of the cost
// of building and writing a Json::Value.
#ifndef RXP_TOOLS_COMMON_JSON_TEXT_H
#define RXP_TOOLS_COMMON_JSON_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rxp::tools {

// A string, quoted: '"' and '\' escaped, control characters as \b \f \n \r \t or \u00XX.
void AppendJsonString(std::string* out, std::string_view text);
std::string JsonString(std::string_view text);
// A real to `decimals` places, trailing zeros dropped but one ("1.29", "0.0").
std::string JsonReal(double value, unsigned decimals);
inline std::string JsonNumber(std::uint64_t value) {
    return std::to_string(value);
}
inline const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

// An object's members, each a name and its value's text, written in the order of their names.
class JsonMembers {
public:
    void Add(std::string name, std::string value) {
        members_.emplace_back(std::move(name), std::move(value));
    }
    // The object: {"name":value,...}.
    std::string Object() const;
    // Adds all of another object's members.
    void Take(JsonMembers&& other) {
        for (auto& m : other.members_) members_.push_back(std::move(m));
        other.members_.clear();
    }

private:
    std::vector<std::pair<std::string, std::string>> members_;
};

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_JSON_TEXT_H
