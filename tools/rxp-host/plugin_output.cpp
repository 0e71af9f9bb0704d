#include "tools/rxp-host/plugin_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tools/rxp-host/host_output.h"

namespace rxphost {

namespace {

// A line longer than this without its end is handed on in pieces of this size.
constexpr std::size_t kLongestLine = 4096;

class Capture;
Capture& TheCapture();

class Capture {
public:
    void Begin(PluginOutputMode mode) {
        mode_ = mode;
        // printf lines reach the pipe at their end of line, like the std::endl of std::cout.
        std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
        const int real = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
        int ends[2];
        if (real < 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("cannot take the plug-in's output: ") +
                                     std::strerror(errno));
        }
        ::dup2(ends[1], 1);
        ::close(ends[1]);
        ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
        read_fd_ = ends[0];
        end_fd_ = ::eventfd(0, EFD_CLOEXEC);
        if (end_fd_ < 0) {
            throw std::runtime_error(std::string("cannot take the plug-in's output: ") +
                                     std::strerror(errno));
        }
        StartOutput(real, 2);
        thread_ = std::thread([this] { Loop(); });
        BeforeHostLines([] { TheCapture().TakeWaiting(); });
    }

    void TakeWaiting() {
        if (read_fd_ < 0 || stop_) return;
        std::fflush(stdout);
        std::lock_guard<std::mutex> lock(mutex_);
        ReadAvailable();
    }

    void ToEvents(EventLog& events) {
        if (read_fd_ < 0 || mode_ != PluginOutputMode::kEvents) return;
        std::vector<std::string> lines;
        {
            std::fflush(stdout);
            std::lock_guard<std::mutex> lock(mutex_);
            ReadAvailable();
            lines.swap(held_);
        }
        for (const std::string& line : lines) {
            Json::Value fields(Json::objectValue);
            fields["text"] = line;
            events.Write("plugin_output", fields);
        }
    }

    std::uint64_t End() {
        if (read_fd_ < 0) return 0;
        std::fflush(stdout);
        stop_ = true;
        const std::uint64_t one = 1;
        while (::write(end_fd_, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
        thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        ReadAvailable();
        if (!partial_.empty()) Dispatch(partial_);
        partial_.clear();
        dropped_ += held_.size();
        held_.clear();
        return dropped_;
    }

private:
    // Sleeps until the plug-in writes or the run ends: no wake of its own between lines.
    void Loop() {
        bool open = true;  // a pipe without writers is ready for good: watched no more
        while (!stop_) {
            pollfd p[2] = {{end_fd_, POLLIN, 0}, {open ? read_fd_ : -1, POLLIN, 0}};
            if (::poll(p, 2, -1) <= 0) continue;
            if ((p[1].revents & POLLIN) == 0) {
                if (p[1].revents != 0) open = false;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ReadAvailable();
        }
    }

    // Everything in the pipe now, split into lines; called with the mutex held.
    void ReadAvailable() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(read_fd_, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            partial_.append(buffer, static_cast<std::size_t>(n));
            std::size_t begin = 0;
            for (;;) {
                const std::size_t end = partial_.find('\n', begin);
                if (end == std::string::npos) break;
                Dispatch(partial_.substr(begin, end - begin));
                begin = end + 1;
            }
            partial_.erase(0, begin);
            while (partial_.size() >= kLongestLine) {
                Dispatch(partial_.substr(0, kLongestLine));
                partial_.erase(0, kLongestLine);
            }
        }
    }

    void Dispatch(const std::string& line) {
        switch (mode_) {
            case PluginOutputMode::kTag:
                OutputLines(kPluginTag + line + "\n", Priority::kDebug);
                break;
            case PluginOutputMode::kDrop:
                ++dropped_;
                break;
            case PluginOutputMode::kEvents:
                if (held_.size() < kPluginLinesHeld) {
                    held_.push_back(line);
                } else {
                    ++dropped_;
                }
                break;
        }
    }

    PluginOutputMode mode_ = PluginOutputMode::kTag;
    int read_fd_ = -1;
    int end_fd_ = -1;  // written once at the end of the run, to wake the loop
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string partial_;
    std::vector<std::string> held_;
    std::uint64_t dropped_ = 0;
};

Capture& TheCapture() {
    static Capture* capture = new Capture;  // never destroyed, like the output writer
    return *capture;
}

}  // namespace

bool ParsePluginOutputMode(const std::string& text, PluginOutputMode* mode) {
    if (text == "tag") {
        *mode = PluginOutputMode::kTag;
    } else if (text == "drop") {
        *mode = PluginOutputMode::kDrop;
    } else if (text == "events") {
        *mode = PluginOutputMode::kEvents;
    } else {
        return false;
    }
    return true;
}

void CapturePluginOutput(PluginOutputMode mode) {
    TheCapture().Begin(mode);
}

void PluginLinesToEvents(EventLog& events) {
    TheCapture().ToEvents(events);
}

std::uint64_t EndPluginOutput() {
    return TheCapture().End();
}

HeldPluginLines::HeldPluginLines() {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    held_ = ::memfd_create("rxp-host-plugin-lines", MFD_CLOEXEC);
    if (saved_ < 0 || held_ < 0 || ::dup2(held_, 1) < 0) {
        const std::string why = std::strerror(errno);
        if (held_ >= 0) ::close(held_);
        if (saved_ >= 0) ::close(saved_);
        throw std::runtime_error("cannot take the plug-in's output aside: " + why);
    }
}

HeldPluginLines::~HeldPluginLines() {
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    ::close(held_);
}

std::vector<std::string> HeldPluginLines::Take() {
    std::cout.flush();
    std::fflush(stdout);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::pread(held_, buffer, sizeof(buffer), static_cast<off_t>(taken_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        taken_ += static_cast<std::size_t>(n);
    }
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

}  // namespace rxphost
