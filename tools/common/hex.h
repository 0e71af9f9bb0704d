// Hex text for every tool and test, on Boost.Algorithm's hex and unhex: the events file's
// records, trace and log lines, capture files, hex records on standard input and the frames
// written into tests.
#ifndef RXP_TOOLS_COMMON_HEX_H
#define RXP_TOOLS_COMMON_HEX_H

#include <boost/algorithm/hex.hpp>
#include <cctype>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace rxp::hex {

using Bytes = std::vector<unsigned char>;

// "0A1B": upper case, no separator.
inline std::string Upper(const unsigned char* data, std::size_t size) {
    std::string text;
    text.reserve(2 * size);
    boost::algorithm::hex(data, data + size, std::back_inserter(text));
    return text;
}

// "0a1b": as the events file stores records.
inline std::string Lower(const unsigned char* data, std::size_t size) {
    std::string text;
    text.reserve(2 * size);
    boost::algorithm::hex_lower(data, data + size, std::back_inserter(text));
    return text;
}

// "0A 1B": a byte at a time, as a person compares it with a protocol trace.
inline std::string Spaced(const unsigned char* data, std::size_t size) {
    const std::string digits = Upper(data, size);
    std::string text;
    text.reserve(3 * size);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (i != 0) text.push_back(' ');
        text.append(digits, i, 2);
    }
    return text;
}
inline std::string Spaced(const Bytes& bytes) {
    return Spaced(bytes.data(), bytes.size());
}

// One byte, "0A".
inline std::string Byte(unsigned value) {
    const unsigned char b = static_cast<unsigned char>(value);
    return Upper(&b, 1);
}

// Bytes from hex text: pairs of hex digits in either case, white space anywhere between pairs
// but not inside one. Throws std::runtime_error naming the first character that does not fit.
inline Bytes Parse(const std::string& text) {
    std::string digits;
    digits.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c) != 0) {
            if (digits.size() % 2 != 0) {
                throw std::runtime_error("character " + std::to_string(i + 1) +
                                         ": a byte is two hex digits, found one");
            }
            continue;
        }
        if (std::isxdigit(c) == 0) {
            throw std::runtime_error("character " + std::to_string(i + 1) + " ('" +
                                     std::string(1, static_cast<char>(c)) +
                                     "') is not a hex digit");
        }
        digits.push_back(static_cast<char>(c));
    }
    if (digits.size() % 2 != 0) {
        throw std::runtime_error("odd number of hex digits: the last byte is cut off");
    }
    Bytes out;
    out.reserve(digits.size() / 2);
    boost::algorithm::unhex(digits.begin(), digits.end(), std::back_inserter(out));
    return out;
}

}  // namespace rxp::hex

#endif  // RXP_TOOLS_COMMON_HEX_H
