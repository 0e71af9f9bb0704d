#include "tools/rxp-host/host_output.h"

#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <streambuf>
#include <thread>

namespace rxphost {

namespace {

// "<4>" before a line for the journal.
std::string PriorityPrefix(Priority priority) {
    return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

// Writes `text` to `fd`, waiting for it as long as it takes: for the lines written before the
// writer threads run (usage errors, start-up failures), when nothing can be held up yet.
void WriteWaiting(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

class Writer {
public:
    Writer(const char* what, int fd) : what_(what), fd_(fd) {}

    void Start(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) return;
        fd_ = fd;
        journal_ = IsJournalStream(fd);
        thread_ = std::thread([this] { Loop(); });
    }

    void Lines(const std::string& text, Priority priority) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (finishing_) {
            // The run is over: whatever the stream takes now, nothing more.
            lock.unlock();
            WriteIfReady(journal_ ? WithPrefixes(text, priority) : text);
            return;
        }
        if (!thread_.joinable()) {
            // Before the writer runs: at start, where waiting holds up no poll.
            const bool journal = IsJournalStream(fd_);
            lock.unlock();
            WriteWaiting(fd_, journal ? WithPrefixes(text, priority) : text);
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
                queue_.push_back(Queued{text.substr(begin, end - begin), priority});
                queued_bytes_ += end - begin;
            }
            begin = end;
        }
        wake_.notify_one();
    }

    std::uint64_t dropped() const { return dropped_; }

    // Waits up to `grace` for the queue to be written, then stops the thread. Returns the lines
    // dropped over the run, those still queued included.
    std::uint64_t Finish(std::chrono::milliseconds grace) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!thread_.joinable()) return dropped_;
            finishing_ = true;
            give_up_at_ = std::chrono::steady_clock::now() + grace;
            wake_.notify_one();
        }
        thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        dropped_ += queue_.size();
        queue_.clear();
        queued_bytes_ = 0;
        return dropped_;
    }

    const char* what() const { return what_; }
    bool journal() const { return journal_; }

private:
    struct Queued {
        std::string text;
        Priority priority;
    };

    std::string WithPrefixes(const std::string& text, Priority priority) const {
        const std::string prefix = PriorityPrefix(priority);
        std::string out;
        std::size_t begin = 0;
        while (begin < text.size()) {
            std::size_t end = text.find('\n', begin);
            end = end == std::string::npos ? text.size() : end + 1;
            out += prefix;
            out.append(text, begin, end - begin);
            begin = end;
        }
        return out;
    }

    // One write of what the stream takes at once; nothing when it takes nothing.
    void WriteIfReady(const std::string& text) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) <= 0) return;
        const ssize_t n = ::write(fd_, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
        (void)n;
    }

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
            // The lines waiting now, in one write where they fit a pipe's atomic write.
            std::string text;
            const std::uint64_t unreported = dropped_unreported_;
            dropped_unreported_ = 0;
            if (unreported > 0) {
                const std::string note = "rxp-host: " + std::to_string(unreported) +
                                         (unreported == 1 ? " line" : " lines") + " of " + what_ +
                                         " dropped while nothing read it\n";
                text = journal_ ? WithPrefixes(note, Priority::kWarning) : note;
            }
            std::uint64_t taken = 0;
            while (!queue_.empty() &&
                   (taken == 0 || text.size() + queue_.front().text.size() + 4 <= PIPE_BUF)) {
                const Queued& line = queue_.front();
                text += journal_ ? WithPrefixes(line.text, line.priority) : line.text;
                queued_bytes_ -= line.text.size();
                queue_.pop_front();
                ++taken;
            }
            lock.unlock();
            const bool written = WriteAll(text);
            lock.lock();
            if (!written) {
                dropped_ += taken;
                dropped_unreported_ += unreported + taken;
            }
        }
    }

    const char* what_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    int fd_;
    bool journal_ = false;
    std::deque<Queued> queue_;
    std::size_t queued_bytes_ = 0;
    std::atomic<std::uint64_t> dropped_{0};
    std::uint64_t dropped_unreported_ = 0;
    bool finishing_ = false;
    std::chrono::steady_clock::time_point give_up_at_;
};

// Never destroyed: a writer thread may still be running while static objects go away.
Writer& TheWriter(int stream) {
    static Writer* writers[2] = {new Writer("standard output", 1), new Writer("standard error", 2)};
    return *writers[stream];
}

void (*take_earlier)() = nullptr;

// Collects what is written to one of the streams and hands over whole lines at every flush.
class LineBuffer : public std::streambuf {
public:
    LineBuffer(int stream, Priority priority) : stream_(stream), priority_(priority) {}

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
        if (stream_ == 0 && take_earlier != nullptr) take_earlier();
        TheWriter(stream_).Lines(pending_.substr(0, end + 1), priority_);
        pending_.erase(0, end + 1);
        return 0;
    }

private:
    int stream_;
    Priority priority_;
    std::string pending_;
};

constexpr int kPriorities = 8;

std::ostream& Stream(int stream, Priority priority) {
    struct Streams {
        std::ostream* of[2][kPriorities];
        Streams() {
            for (int s = 0; s < 2; ++s) {
                for (int p = 0; p < kPriorities; ++p) {
                    of[s][p] = new std::ostream(new LineBuffer(s, static_cast<Priority>(p)));
                }
            }
        }
    };
    static Streams* streams = new Streams;
    return *streams->of[stream][static_cast<int>(priority) & (kPriorities - 1)];
}

}  // namespace

bool IsJournalStream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM");
    if (named == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(named, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

std::ostream& Out(Priority priority) {
    return Stream(0, priority);
}

std::ostream& Err(Priority priority) {
    return Stream(1, priority);
}

void BeforeHostLines(void (*take_earlier_lines)()) {
    take_earlier = take_earlier_lines;
}

void StartOutput(int out_fd, int err_fd) {
    TheWriter(0).Start(out_fd);
    TheWriter(1).Start(err_fd);
}

void OutputLines(const std::string& text, Priority priority) {
    TheWriter(0).Lines(text, priority);
}

std::uint64_t OutputDropped() {
    return TheWriter(0).dropped() + TheWriter(1).dropped();
}

std::uint64_t FinishOutput(std::chrono::milliseconds grace) {
    for (int p = 0; p < kPriorities; ++p) {
        Out(static_cast<Priority>(p)).flush();
        Err(static_cast<Priority>(p)).flush();
    }
    // Standard output first: what it dropped is told on standard error, which is still written.
    const std::uint64_t out_dropped = TheWriter(0).Finish(grace);
    if (out_dropped > 0) {
        Err(Priority::kWarning) << "rxp-host: " << out_dropped
                                << (out_dropped == 1 ? " line" : " lines")
                                << " of standard output dropped: nothing read it fast enough"
                                << std::endl;
    }
    const std::uint64_t err_dropped = TheWriter(1).Finish(grace);
    if (err_dropped > 0) {
        // Written only if standard error takes it now.
        Err(Priority::kWarning) << "rxp-host: " << err_dropped
                                << (err_dropped == 1 ? " line" : " lines")
                                << " of standard error dropped: nothing read it fast enough"
                                << std::endl;
    }
    return out_dropped + err_dropped;
}

}  // namespace rxphost
