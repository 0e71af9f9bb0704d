// The bench host's own bookkeeping: alarm state per ordinal, the texts it shows people (the hint
// for a port the user may not open among them), and the cut-back of a partial line in its
// append-only files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/power_model.h"
#include "tools/common/line_file.h"
#include "tools/rxp-host/alarm_book.h"
#include "tools/rxp-host/serial_line.h"
#include "tools/rxp-host/summary.h"
#include "tools/rxp-host/tests/host_test_support.h"

namespace {

using rxphost::AlarmBook;
using rxphost::AlarmChange;

TEST(HostAlarmBook, FirstPassRaisesTrueStatesAndSaysNothingOfFalseOnes) {
    AlarmBook book;
    EXPECT_EQ(book.Update(1, true), AlarmChange::kRaised);
    EXPECT_EQ(book.Update(2, false), AlarmChange::kNone);
    EXPECT_EQ(book.active(), 1u);
}

TEST(HostAlarmBook, ChangesAreReportedOnceAndRepeatsAreQuiet) {
    AlarmBook book;
    const struct {
        unsigned short ordinal;
        bool state;
        AlarmChange change;
        std::size_t active;
    } steps[] = {
        {52, false, AlarmChange::kNone, 0}, {52, true, AlarmChange::kRaised, 1},
        {52, true, AlarmChange::kNone, 1},  {52, false, AlarmChange::kCleared, 0},
        {52, false, AlarmChange::kNone, 0}, {65535, true, AlarmChange::kRaised, 1},
        {0, true, AlarmChange::kRaised, 2}, {65535, false, AlarmChange::kCleared, 1},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(book.Update(s.ordinal, s.state), s.change) << s.ordinal << " " << s.state;
        EXPECT_EQ(book.active(), s.active);
    }
}

TEST(HostAlarmBook, OrdinalsSharingASignalKeyKeepTheirOwnState) {
    // Ordinal 17 (phase C missing) and 52 (module 7 fan) both report "alert_c_0".
    AlarmBook book;
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(book.Update(17, false), AlarmChange::kNone);
        EXPECT_EQ(book.Update(52, true), pass == 0 ? AlarmChange::kRaised : AlarmChange::kNone);
        EXPECT_EQ(book.Update(57, false), AlarmChange::kNone);
    }
}

TEST(HostSummary, ShowsStatusBytesModulesWithBitsAndEveryAlarmChange) {
    rxptest::PowerModel model{};
    model.phase_status[0] = 0x80;
    model.phase_status[2] = 0x01;
    model.ac_frequency_state = 2;
    model.modules[6].status = 0x10;
    model.modules[19].status = 0x03;
    model.breaker2_state = 2;
    model.dc_status[1] = 0x04;
    const rxptest::Bytes record = [&] {
        rxptest::Bytes r = model.ExpectedRecord(1);
        r.resize(289, 0);
        return r;
    }();
    rxphost::CycleReport report{
        "cycle 4",
        "2024-05-01T12:00:03",
        1.2915,
        record.data(),
        {{52, "alert_c_0", "06025", "整流模块风扇告警", "模块7模块风扇故障", true},
         {1, "alert_a_7", "06016", "交流输入停电告警", "交流掉电", false}},
        3};
    EXPECT_EQ(rxphost::FormatCycleReport(report),
              "cycle 4  2024-05-01T12:00:03  1.292 s\n"
              "  AC       phase A 0x80  phase B 0x00  phase C 0x01  frequency state 2\n"
              "  modules  7:0x10  20:0x03\n"
              "  DC       status 00 04 00 00 00 00  breakers 0 2  lightning switch 0\n"
              "  raised   #52  06025 整流模块风扇告警  模块7模块风扇故障  (rectifier module fan: "
              "module 7 fan fault)\n"
              "  cleared  #1  06016 交流输入停电告警  交流掉电  (AC input power failure: AC power "
              "lost)\n"
              "  alarms   2 changes, 3 active\n");
}

// Joining a group is the fix only for a user not yet in it, and only for a group that may read
// and write the port; a user in it by the group database whose host runs without it logs in
// again. (The other cases, end to end: HostMessages.)
TEST(HostPermissionHint, AdvisesJoiningTheGroupOnlyWhenThatLetsTheUserIn) {
    const struct {
        rxphost::PortPermission p;
        const char* hint;
    } cases[] = {
        {{"root", "dialout", false, 0660, "ana", {"ana"}, false, true},
         "the user 'ana' is in the dialout group, but this rxp-host runs without it (groups ana); "
         "log in again, or restart the service, to take it up"},
        {{"root", "root", true, 0660, "rxp-host", {"rxp-host", "dialout"}, false, false},
         "the port is owned by root:root with mode 0660; the user 'rxp-host' (groups rxp-host, "
         "dialout) may not read and write it"},
    };
    for (const auto& c : cases) EXPECT_EQ(rxphost::PermissionHint(c.p), c.hint);
}

// The cut-back after a short write takes off the host's own partial line only: a file another
// program changed meanwhile is left as it is, and zero bytes are never left at the end.
TEST(LineFileCutBack, TakesOffItsOwnPartialLineOnlyAndNeverLeavesZeroBytes) {
    struct Case {
        const char* name;
        std::string content;  // the file after the short write
        off_t before;         // where the line began
        std::size_t written;  // the bytes of it written
        std::string expected;
    };
    const Case cases[] = {
        {"OwnPartialLine", "a\n{\"ev", 2, 4, "a\n"},
        {"RewrittenMeanwhile", "another program's line\n", 10, 3, "another program's line\n"},
        {"TruncatedMeanwhile", "", 10, 3, ""},
    };
    hosttest::TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.File(c.name);
        hosttest::WriteText(path, c.content);
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(rxp::tools::CutBackPartialLine(fd, c.before, c.written),
                  c.expected.size() == static_cast<std::size_t>(c.before))
            << c.name;
        ::close(fd);
        EXPECT_EQ(hosttest::ReadText(path), c.expected) << c.name;
    }
    // Cut back just after another program truncated the file: the gap of zeros goes again.
    const std::string path = dir.File("gap");
    hosttest::WriteText(path, "a line\n" + std::string(5000, '\0'));
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(rxp::tools::TrimZeroTail(fd));
    ::close(fd);
    EXPECT_EQ(hosttest::ReadText(path), "a line\n");
}

}  // namespace
