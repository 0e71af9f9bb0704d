#include "tools/rxp-host/tests/host_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace hosttest {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "rxp-host-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Process::Process(const std::vector<std::string>& argv, const std::string& out_file,
                 const std::string& err_file, const std::function<void()>& in_child) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (in_child) in_child();
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

Process::~Process() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

void Process::Signal(int signal_number) {
    if (pid_ > 0) ::kill(pid_, signal_number);
}

int Process::Wait(milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

std::vector<std::string> WithOptions(std::vector<std::string> argv,
                                     const std::vector<std::string>& options) {
    for (std::size_t i = 0; i < options.size(); ++i) {
        const std::string& name = options[i];
        const bool has_value = i + 1 < options.size() && options[i + 1].rfind("--", 0) != 0;
        if (!has_value) {
            argv.push_back(name);
            continue;
        }
        const std::string& value = options[++i];
        auto at = std::find(argv.begin() + 1, argv.end(), name);
        if (at == argv.end()) {
            if (!value.empty()) argv.insert(argv.end(), {name, value});
        } else if (value.empty()) {
            argv.erase(at, at + 2);
        } else {
            *(at + 1) = value;
        }
    }
    return argv;
}

int Run(const std::vector<std::string>& argv, const std::string& out_file,
        const std::string& err_file, milliseconds limit) {
    Process p(argv, out_file, err_file);
    return p.Wait(limit);
}

bool WaitUntil(const std::function<bool()>& condition, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes WithoutTimestamp(Bytes record) {
    if (record.size() > 282) std::fill(record.begin() + 282, record.end(), 0);
    return record;
}

Json::Value ReadJson(const std::string& path) {
    const std::string text = ReadText(path);
    Json::Value value;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) return {};
    return value;
}

std::vector<Json::Value> ReadEvents(const std::string& path) {
    std::vector<Json::Value> events;
    std::string text = ReadText(path);
    // Read while the host runs, the last line may be in the middle of its write.
    text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    std::istringstream lines(text);
    std::string line;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    while (std::getline(lines, line)) {
        Json::Value event;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &event, &errors)) {
            ADD_FAILURE() << "not a JSON line: " << line << "\n" << errors;
            continue;
        }
        events.push_back(event);
    }
    return events;
}

std::size_t CountEvents(const std::vector<Json::Value>& events, const std::string& name) {
    std::size_t n = 0;
    for (const Json::Value& e : events) n += e["event"].asString() == name ? 1 : 0;
    return n;
}

std::size_t CountLines(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) n += line.find(needle) != std::string::npos ? 1 : 0;
    return n;
}

long long CountHistoryRows(const std::string& db_path) {
    sqlite3* db = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM history", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            rows = sqlite3_column_int64(s, 0);
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return rows;
}

std::vector<HistoryRow> ReadHistory(const std::string& db_path) {
    std::vector<HistoryRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << db_path;
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 5000);  // the host may be storing a row
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT device_id, record FROM history ORDER BY id", -1, &s,
                           nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "no table history in " << db_path << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(s) == SQLITE_ROW) {
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 1));
        const int size = sqlite3_column_bytes(s, 1);
        rows.push_back(HistoryRow{sqlite3_column_int64(s, 0), Bytes(blob, blob + size)});
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return rows;
}

PowerLine::PowerLine(const std::string& link) : link_(link) {
    OpenLine();
}

void PowerLine::OpenLine() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    slave_path_ = ::ptsname(master_);
    slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) throw std::runtime_error("cannot open " + slave_path_);
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Not inherited by the host started later: a hang-up must close the last master.
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (link_.empty()) return;
    const std::string fresh = link_ + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(slave_path_.c_str(), fresh.c_str()) != 0 ||
        ::rename(fresh.c_str(), link_.c_str()) != 0) {
        throw std::runtime_error("cannot link " + link_);
    }
}

void PowerLine::HangUpAndServeAgain() {
    StopAnswering();
    ::close(slave_);
    ::close(master_);
    OpenLine();
    stop_ = false;
    thread_ = std::thread([this] { Loop(); });
}

PowerLine::~PowerLine() {
    StopAnswering();
    ::close(slave_);
    ::close(master_);
}

void PowerLine::Answer(Responder responder) {
    StopAnswering();
    responder_ = std::move(responder);
    stop_ = false;
    thread_ = std::thread([this] { Loop(); });
}

void PowerLine::StopAnswering() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void PowerLine::FillTowardsTest() {
    const int flags = ::fcntl(slave_, F_GETFL);
    ::fcntl(slave_, F_SETFL, flags | O_NONBLOCK);
    // The kernel moves what is written on to the reading side's own buffer a little later,
    // which makes room again: filled until a while passes without room.
    const Bytes filler(256, 0x55);
    for (int quiet_rounds = 0; quiet_rounds < 5;) {
        bool took = false;
        while (::write(slave_, filler.data(), filler.size()) > 0) took = true;
        quiet_rounds = took ? 0 : quiet_rounds + 1;
        std::this_thread::sleep_for(milliseconds(20));
    }
    ::fcntl(slave_, F_SETFL, flags);
}

Bytes PowerLine::Pending() {
    Bytes bytes;
    unsigned char buf[256];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof(buf));
        if (n <= 0) break;
        bytes.insert(bytes.end(), buf, buf + n);
    }
    return bytes;
}

void PowerLine::Loop() {
    Bytes frame;
    auto chattered = std::chrono::steady_clock::now();
    while (!stop_) {
        const int chatter = chatter_ms_.load();
        if (chatter > 0 && std::chrono::steady_clock::now() - chattered >= milliseconds(chatter)) {
            const unsigned char noise = 0x55;
            if (::write(master_, &noise, 1) == 1) chattered = std::chrono::steady_clock::now();
        }
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, chatter > 0 ? std::min(chatter, 20) : 20) <= 0) continue;
        unsigned char buf[256];
        const ssize_t n = ::read(master_, buf, sizeof(buf));
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == 0x7E) frame.clear();
            frame.push_back(buf[i]);
            if (buf[i] != 0x0D) continue;
            const Bytes reply = responder_(frame, commands_++);
            std::size_t written = 0;
            while (written < reply.size()) {
                const ssize_t w = ::write(master_, reply.data() + written, reply.size() - written);
                if (w > 0) {
                    written += static_cast<std::size_t>(w);
                } else {
                    std::this_thread::sleep_for(milliseconds(1));
                }
            }
            frame.clear();
        }
    }
}

int CommandIndex(const Bytes& frame) {
    // ~ address group command length [data] checksum CR, two characters a byte
    if (frame.size() < 12 || frame[0] != 0x7E) return -1;
    auto byte = [&frame](std::size_t i) {
        return ((frame[1 + 2 * i] - 0x30) << 4) | (frame[2 + 2 * i] - 0x30);
    };
    const int group = byte(1);
    const int command = byte(2);
    if (group == 0x40 && command >= 1 && command <= 3) return command - 1;
    if (group == 0x41 && command == 0x0E && frame.size() >= 14) return 2 + byte(4);
    if (group == 0x42 && command == 0x15) return 23;
    if (group == 0x42 && command == 0x16) return 24;
    return -1;
}

}  // namespace hosttest
