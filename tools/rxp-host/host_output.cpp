#include "tools/rxp-host/host_output.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <thread>

namespace rxphost {

namespace {

class Writer {
public:
    void Start(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) return;
        fd_ = fd;
        thread_ = std::thread([this] { Loop(); });
    }

    void Lines(const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable() || finishing_) {
            lock.unlock();
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
            return;
        }
        std::size_t begin = 0;
        while (begin < text.size()) {
            std::size_t end = text.find('\n', begin);
            end = end == std::string::npos ? text.size() : end + 1;
            if (queued_bytes_ + (end - begin) > kOutputQueueBytes) {
                ++dropped_;
                ++dropped_unreported_;
            } else {
                queue_.emplace_back(text, begin, end - begin);
                queued_bytes_ += end - begin;
            }
            begin = end;
        }
        wake_.notify_one();
    }

    std::uint64_t Finish(std::chrono::milliseconds grace) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!thread_.joinable()) return 0;
            finishing_ = true;
            give_up_at_ = std::chrono::steady_clock::now() + grace;
            wake_.notify_one();
        }
        thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        dropped_ += queue_.size();
        queue_.clear();
        if (dropped_ > 0) {
            std::cerr << "rxp-host: " << dropped_ << (dropped_ == 1 ? " line" : " lines")
                      << " of standard output dropped: nothing read it fast enough" << std::endl;
        }
        return dropped_;
    }

private:
    // Waits until `fd_` takes at least a pipe's atomic write; false when the run ends first.
    bool WaitWritable() {
        for (;;) {
            pollfd p{fd_, POLLOUT, 0};
            const int ready = ::poll(&p, 1, 200);
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
            std::lock_guard<std::mutex> lock(mutex_);
            if (finishing_ && std::chrono::steady_clock::now() >= give_up_at_) return false;
        }
    }

    // Pieces of at most PIPE_BUF bytes: each one is written whole once poll says the pipe has
    // room, so the writer never waits inside write() on a reader that went quiet.
    bool WriteAll(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            if (!WaitWritable()) return false;
            const std::size_t piece = std::min<std::size_t>(text.size() - done, PIPE_BUF);
            const ssize_t n = ::write(fd_, text.data() + done, piece);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
            if (queue_.empty()) return;  // finishing, everything written
            if (finishing_ && std::chrono::steady_clock::now() >= give_up_at_) return;
            std::string line = std::move(queue_.front());
            queue_.pop_front();
            queued_bytes_ -= line.size();
            const std::uint64_t unreported = dropped_unreported_;
            dropped_unreported_ = 0;
            lock.unlock();
            std::string text;
            if (unreported > 0) {
                text = "rxp-host: " + std::to_string(unreported) +
                       (unreported == 1 ? " line" : " lines") +
                       " of standard output dropped while nothing read it\n";
            }
            text += line;
            const bool written = WriteAll(text);
            lock.lock();
            if (!written) {
                dropped_ += 1;
                dropped_unreported_ += unreported + 1;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    int fd_ = -1;
    std::deque<std::string> queue_;
    std::size_t queued_bytes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t dropped_unreported_ = 0;
    bool finishing_ = false;
    std::chrono::steady_clock::time_point give_up_at_;
};

// Never destroyed: the writer thread may still be running while static objects go away.
Writer& TheWriter() {
    static Writer* writer = new Writer;
    return *writer;
}

void (*take_earlier)() = nullptr;

// Collects what is written to Out() and hands over whole lines at every flush.
class LineBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            pending_.push_back(static_cast<char>(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        const std::size_t end = pending_.rfind('\n');
        if (end == std::string::npos) return 0;
        if (take_earlier != nullptr) take_earlier();
        OutputLines(pending_.substr(0, end + 1));
        pending_.erase(0, end + 1);
        return 0;
    }

private:
    std::string pending_;
};

}  // namespace

std::ostream& Out() {
    static LineBuffer* buffer = new LineBuffer;
    static std::ostream* out = new std::ostream(buffer);
    return *out;
}

void BeforeHostLines(void (*take_earlier_lines)()) {
    take_earlier = take_earlier_lines;
}

void StartOutput(int fd) {
    TheWriter().Start(fd);
}

void OutputLines(const std::string& text) {
    TheWriter().Lines(text);
}

std::uint64_t FinishOutput(std::chrono::milliseconds grace) {
    Out().flush();
    return TheWriter().Finish(grace);
}

}  // namespace rxphost
