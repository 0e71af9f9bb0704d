// Takes over std::cout for the life of the object, so that a test can compare the device's
// console lines whole.
#ifndef RXP_TESTS_CONSOLE_CAPTURE_H
#define RXP_TESTS_CONSOLE_CAPTURE_H

#include <iostream>
#include <sstream>
#include <string>

namespace rxptest {

class ConsoleCapture {
public:
    ConsoleCapture() : saved_(std::cout.rdbuf(text_.rdbuf())) {}
    ~ConsoleCapture() { std::cout.rdbuf(saved_); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything written since the capture began.
    std::string Text() const { return text_.str(); }
    // What was written since the last call of Take (or since the capture began).
    std::string Take() {
        const std::string all = text_.str();
        const std::string fresh = all.substr(taken_);
        taken_ = all.size();
        return fresh;
    }

private:
    std::ostringstream text_;
    std::streambuf* saved_;
    std::size_t taken_ = 0;
};

}  // namespace rxptest

#endif  // RXP_TESTS_CONSOLE_CAPTURE_H
