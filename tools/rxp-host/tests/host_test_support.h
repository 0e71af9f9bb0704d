// Helpers for the bench host's end-to-end tests: child processes with bounded waits, a
// scratch folder, the events file, and a pseudo-terminal whose far end the test plays itself.
#ifndef RXP_TOOLS_RXP_HOST_TESTS_HOST_TEST_SUPPORT_H
#define RXP_TOOLS_RXP_HOST_TESTS_HOST_TEST_SUPPORT_H

#include <json/json.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hosttest {

using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

// A folder that is removed with everything in it when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child process with standard output and error sent to files. Killed if still running when
// the object goes away, so that a failing test leaves nothing behind.
class Process {
public:
    // `in_child` runs in the child before the program starts (limits, signal dispositions).
    Process(const std::vector<std::string>& argv, const std::string& out_file,
            const std::string& err_file, const std::function<void()>& in_child = nullptr);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void Signal(int signal_number);
    pid_t pid() const { return pid_; }
    // The exit code, 128 + the signal that ended it, or -1 if it did not end within `limit`
    // (it is then killed).
    int Wait(milliseconds limit);

private:
    pid_t pid_ = -1;
};

// A command line with options set: "--name value" replaces the value of an option already
// there or adds the option; an empty value removes it; "--flag" alone is added.
std::vector<std::string> WithOptions(std::vector<std::string> argv,
                                     const std::vector<std::string>& options);

// Runs a program to its end (at most `limit`) and returns its exit code as Process::Wait does.
int Run(const std::vector<std::string>& argv, const std::string& out_file,
        const std::string& err_file, milliseconds limit = milliseconds(30000));

bool WaitUntil(const std::function<bool()>& condition, milliseconds limit);
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
void WriteBytes(const std::string& path, const Bytes& bytes);
// The record with its time stamp (bytes 282..) zeroed.
Bytes WithoutTimestamp(Bytes record);
// A JSON file as it stands now (the state); null while it is missing or does not parse.
Json::Value ReadJson(const std::string& path);
// Every whole line of a JSON Lines file (a last line still being written is left out); a line
// that does not parse fails the test.
std::vector<Json::Value> ReadEvents(const std::string& path);
std::size_t CountEvents(const std::vector<Json::Value>& events, const std::string& name);
std::size_t CountLines(const std::string& text, const std::string& needle);

// The rows of the history database: device id and record, oldest first.
struct HistoryRow {
    long long device_id;
    Bytes record;
};
std::vector<HistoryRow> ReadHistory(const std::string& db_path);
// The number of history rows, or -1 while the database cannot be read; fails no test.
long long CountHistoryRows(const std::string& db_path);

// A pseudo-terminal whose slave the host opens and whose master the test reads and writes.
// With a responder, a thread answers every command frame the host sends with what the
// responder returns for it (nothing, one reply, or several frames).
class PowerLine {
public:
    // `command_number` counts the commands received so far, from 0.
    using Responder = std::function<Bytes(const Bytes& command, int command_number)>;

    // With a `link`, the host is given a symbolic link to the line, which HangUpAndServeAgain
    // points at a new line.
    explicit PowerLine(const std::string& link = "");
    ~PowerLine();
    PowerLine(const PowerLine&) = delete;
    PowerLine& operator=(const PowerLine&) = delete;

    const std::string& path() const { return link_.empty() ? slave_path_ : link_; }
    void Answer(Responder responder);
    void StopAnswering();
    // Hangs the line up (both ends closed, as when a cable is pulled), then serves a new line
    // at the link with the same responder.
    void HangUpAndServeAgain();
    // While answering: a noise byte every `every` on top of the replies; 0 stops it.
    void Chatter(milliseconds every) { chatter_ms_ = static_cast<int>(every.count()); }
    // Fills what the line holds for the test to read, so that the host's writes find it full,
    // as on a port whose peer reads nothing. Stop answering first.
    void FillTowardsTest();
    // Bytes the host wrote that no responder has read.
    Bytes Pending();
    int commands() const { return commands_.load(); }

private:
    void Loop();
    void OpenLine();

    int master_ = -1;
    int slave_ = -1;  // held open so the line stays up while the host reconnects
    std::string slave_path_;
    std::string link_;
    Responder responder_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> commands_{0};
    std::atomic<int> chatter_ms_{0};
};

// The number of a command within a cycle (0..24) from its frame, or -1.
int CommandIndex(const Bytes& frame);

}  // namespace hosttest

#endif  // RXP_TOOLS_RXP_HOST_TESTS_HOST_TEST_SUPPORT_H
