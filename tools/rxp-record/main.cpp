// rxp-record: shows stored measurement records by field name, as a table, JSON Lines, CSV or a
// plot over time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "protocol/reply_layout.h"
#include "tools/common/hex.h"
#include "tools/common/history_db.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"
#include "tools/rxp-record/gaps.h"
#include "tools/rxp-record/plot.h"
#include "tools/rxp-record/record_view.h"
#include "tools/rxp-record/text_input.h"
#include "tools/rxp-record/units.h"

namespace po = boost::program_options;
using rxp::record::Item;

namespace {

constexpr int kExitShown = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    R"(rxp-record: shows power-system measurement records (289 bytes) by field name.

Values as unsigned numbers, status bytes with the alarm of every set bit, the time stamp as a
date and time. Records come from a file (the 289 bytes; with --hex, as hex text), from
standard input (hex text, one record a line, or the events file of rxp-host, whose
publications are taken), or from rows of the bench host's history database.

Usage: rxp-record [FILE | -] [--hex] [options]
       rxp-record --db FILE [--last N | --row ID | --since TIME --until TIME] [options]

Examples:
  rxp-record --db history.db                 the last stored record
  rxp-record --db history.db --last 5 --format json
  rxp-record --db history.db --format csv --fields phase_a_value1,dc_value1 \
             --since 2024-05-01 --until 2024-05-02
  rxp-record --db history.db --plot dc_value1,dc_value2 --out dc.png --units site-units.json
  rxp-record cached-record.bin
  rxp-record < events.jsonl --format csv     every publication of an events file
  echo 0100000098080000... | rxp-record      hex text, white space allowed

--format json prints one JSON object per record and line (JSON Lines), Chinese texts as UTF-8;
--format csv one line per record: time, row and the fields (--fields, default all of them).
Times: ISO 8601, "2024-05-01", "2024-05-01T12:00", "2024-05-01T12:00:00+02:00"; without an
offset, local time. A database row's time is the time it was stored; a record from a file or
standard input has the time of its publication event, or else its own time stamp.
With --db, CSV and plots take every row in the range, the table and JSON the last one.
A history of several bus addresses shows each row's: a column "address" after "row" in CSV,
a member "address" in JSON, "address N" in the table. A selection without rows prints
nothing and exits 1, "no record in the range".
--address N takes only rows of the device at bus address N; rows stored before the history
carried addresses (one device) have none and are left out then.
--units FILE: the site's units, {"phase_a_value1": {"scale": 0.1, "unit": "V"}, ...};
"modules[*].value2" names a value of every module. Without it, values are shown as stored.
--plot draws with gnuplot (Debian: gnuplot-nox). Where cycles are missing (a time between two
records more than 5 times the usual interval, or more than --gap SECONDS), the lines break
instead of bridging the outage; --mark-gaps marks the same places in a CSV. In a history of
several addresses each address's records are measured on their own, and each has its lines.

Standard input and hex files are read a line at a time, so an events file of any size can be
read. A line that cannot be read (cut short by a crash, two events on one line, not hex text)
is named with its number and left out; the other records are still shown, and the exit code
is 1. Messages show control characters of file contents as escapes (\n, \x1B).

Exit codes: 0 every record shown; 1 a record of the wrong size, unreadable input, a bad line,
a database or row that is not there, no record in the range, a plot that failed (the file
--out is then left as it was); 2 a usage error (also a time that is not one, such as
2026-02-30, or an option given an empty value).
)";

struct Options {
    std::string file;
    bool hex = false;
    std::string db;
    long long last = 0;
    long long row = 0;
    long long address = -1;  // -1: rows of every address
    std::string format = "table";
    std::string fields;
    std::string since;
    std::string until;
    std::string plot;
    std::string out;
    std::string units;
    double gap = 0;  // seconds; 0: from the intervals of the records
    bool mark_gaps = false;
};

// A file of hex digits and white space that holds at least a record's worth of digits.
bool LooksLikeHex(const rxp::record::Bytes& content) {
    std::size_t digits = 0;
    for (unsigned char c : content) {
        if (std::isxdigit(c) != 0) {
            ++digits;
        } else if (std::isspace(c) == 0) {
            return false;
        }
    }
    return digits >= 2 * rxp::kRecordSize;
}

// A message on standard error; file contents and names in it are shown with their control
// characters escaped.
void Say(const std::string& text) {
    std::cerr << "rxp-record: " << rxp::record::Printable(text) << std::endl;
}

// Shows records in the chosen format, one at a time.
class Output {
public:
    explicit Output(const Options& opt) : opt_(opt), gaps_(opt.gap) {
        if (!opt.units.empty()) units_ = rxp::record::Units::Load(opt.units);
        if (opt.format == "csv") {
            fields_ = opt.fields.empty() ? AllFields() : rxp::record::FieldsByName(opt.fields);
        }
        if (!opt.plot.empty()) {
            plot_.reset(
                new rxp::record::Plot(rxp::record::FieldsByName(opt.plot), units_, opt.gap));
        }
        if (!opt.since.empty()) since_ = rxp::tools::ParseIsoTime(opt.since);
        if (!opt.until.empty()) until_ = rxp::tools::ParseIsoTime(opt.until);
    }

    // False when the record is refused.
    bool Show(const Item& item, bool in_range_checked) {
        const rxp::record::Bytes& record = item.record;
        const std::string problem = rxp::record::SizeProblem(record.size());
        if (!problem.empty()) {
            Say(item.origin.label +
                (item.origin.row != 0 ? " row " + std::to_string(item.origin.row) : "") +
                ": refused: " + problem + (LooksLikeHex(record) ? " (hex text? add --hex)" : ""));
            return false;
        }
        rxp::tools::WallClock::time_point when{};
        if (!in_range_checked || plot_ || opt_.mark_gaps) {
            if (item.time.empty()) {
                if (plot_ || opt_.mark_gaps || !opt_.since.empty() || !opt_.until.empty()) {
                    Say(item.origin.label + ": record without a time, left out");
                    return true;
                }
            } else {
                try {
                    when = rxp::tools::ParseIsoTime(item.time);
                } catch (const std::exception& e) {
                    Say(item.origin.label + ": refused: its time " + e.what());
                    return false;
                }
                if (!in_range_checked && !InRange(when)) return true;
            }
        }
        ++shown_;
        if (plot_) {
            plot_->Add(when, record.data(), item.origin.address);
        } else if (opt_.format == "csv") {
            // The head with the first line: a selection without rows prints nothing.
            if (shown_ == 1) {
                std::string head = rxp::record::CsvHead(fields_, units_, item.origin.shows_address);
                if (opt_.mark_gaps) head.insert(head.size() - 1, ",gap_seconds");
                out_ << head;
            }
            std::string line =
                rxp::record::CsvLine(item.time, item.origin.row, record.data(), fields_, units_,
                                     item.origin.shows_address ? &item.origin : nullptr);
            if (opt_.mark_gaps) {
                // The last cell, before the line's end: the seconds without records before it.
                const double gap = gaps_.Next(item.origin.address, when);
                std::ostringstream cell;
                if (gap > 0) cell << gap;
                line.insert(line.size() - 1, "," + cell.str());
            }
            out_ << line;
        } else if (opt_.format == "json") {
            out_ << rxp::record::RecordJsonText(record.data(), item.origin) << "\n";
        } else {
            if (shown_ > 1) out_ << "\n";
            out_ << rxp::record::FormatTable(record.data(), item.origin, units_);
        }
        if (out_.tellp() > (1 << 16)) Flush();
        return true;
    }

    // Ends the output; false when nothing was shown of a range (`range`: the rows were chosen
    // by time, every row by default) or the plot failed.
    bool Finish(bool range = false) {
        Flush();
        if (shown_ == 0 && (range || plot_ || !opt_.since.empty() || !opt_.until.empty())) {
            Say("no record in the range");
            return false;
        }
        return !plot_ || plot_->Draw(opt_.out);
    }

private:
    static std::vector<const rxp::tools::RecordField*> AllFields() {
        std::vector<const rxp::tools::RecordField*> all;
        for (const rxp::tools::RecordField& f : rxp::tools::RecordFields()) all.push_back(&f);
        return all;
    }
    bool InRange(rxp::tools::WallClock::time_point when) const {
        return (opt_.since.empty() || when >= since_) && (opt_.until.empty() || when < until_);
    }
    void Flush() {
        std::cout << out_.str() << std::flush;
        out_.str("");
    }

    const Options& opt_;
    rxp::record::Units units_;
    std::vector<const rxp::tools::RecordField*> fields_;
    std::unique_ptr<rxp::record::Plot> plot_;
    rxp::record::BusGapFinder gaps_;  // --mark-gaps
    rxp::tools::WallClock::time_point since_{}, until_{};
    std::ostringstream out_;
    std::size_t shown_ = 0;
};

int FromDatabase(const Options& opt, Output& output) {
    rxp::history::HistoryDb db(opt.db, rxp::history::HistoryDb::Mode::kReadOnly);
    // A history of several devices: every row says whose it is.
    const bool shows_address = db.SeveralAddresses();
    bool all = true;
    auto show = [&](const rxp::history::Row& row, bool in_range) {
        const rxp::record::Origin origin{opt.db, row.id, row.time, shows_address, row.address};
        all = output.Show({row.record, origin, row.time}, in_range) && all;
        return true;
    };
    const bool by_number = opt.row != 0 || opt.last != 0;
    const bool range =
        !opt.since.empty() || !opt.until.empty() || !opt.plot.empty() || opt.format == "csv";
    if (opt.row != 0) {
        rxp::history::Row row;
        if (!db.Find(opt.row, &row) || (opt.address >= 0 && row.address != opt.address)) {
            Say(opt.db + ": no row " + std::to_string(opt.row) +
                (opt.address >= 0 ? " of address " + std::to_string(opt.address) : ""));
            return kExitRefused;
        }
        show(row, true);
    } else if (range && !by_number) {
        // The range goes to SQLite as instants with their offset, found through the index.
        const std::string since = opt.since.empty()
                                      ? "0001-01-01T00:00:00Z"
                                      : rxp::tools::IsoTime(rxp::tools::ParseIsoTime(opt.since));
        const std::string until = opt.until.empty()
                                      ? "9999-12-31T23:59:59Z"
                                      : rxp::tools::IsoTime(rxp::tools::ParseIsoTime(opt.until));
        db.Between(
            since, until, [&](const rxp::history::Row& row) { return show(row, true); },
            static_cast<int>(opt.address));
    } else {
        const std::vector<rxp::history::Row> rows =
            db.Last(opt.last > 0 ? opt.last : 1, static_cast<int>(opt.address));
        if (rows.empty()) {
            Say(opt.db + ": no record in the range" +
                (opt.address >= 0 ? " of address " + std::to_string(opt.address) : ""));
            return kExitRefused;
        }
        for (const rxp::history::Row& row : rows) show(row, true);
    }
    const bool finished = output.Finish(range && !by_number);
    return all && finished ? kExitShown : kExitRefused;
}

// Names the first bad lines of a text input one by one, then counts the rest.
class BadLines {
public:
    void operator()(const std::string& why) {
        if (++count_ <= kNamed) Say(why);
    }
    void Finish(const std::string& label) const {
        if (count_ == 0) return;
        Say(label + ": " + std::to_string(count_) + (count_ == 1 ? " line" : " lines") +
            " left out" +
            (count_ > kNamed ? " (the first " + std::to_string(kNamed) + " named above)" : "") +
            ", the other records shown");
    }

private:
    static constexpr std::size_t kNamed = 20;
    std::size_t count_ = 0;
};

// A record file: at most this much is read, more than a record and its hex text with spaces.
constexpr std::size_t kMaxRecordFile = 1 << 16;

// Standard input or a file of hex text, read a line at a time; or a file of the record's bytes.
int FromInput(const Options& opt, Output& output) {
    const bool from_stdin = opt.file.empty() || opt.file == "-";
    const std::string label = from_stdin ? "standard input" : opt.file;
    bool all = true;
    std::size_t records = 0;
    if (from_stdin || opt.hex) {
        std::ifstream file;
        if (!from_stdin) {
            struct stat st {};
            if (stat(opt.file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                Say(opt.file + ": is a directory, not a record");
                return kExitRefused;
            }
            file.open(opt.file, std::ios::binary);
            if (!file) {
                Say(opt.file + ": cannot read the file");
                return kExitRefused;
            }
        }
        BadLines bad;
        const rxp::record::TextCounts counts = rxp::record::ReadTextRecords(
            from_stdin ? std::cin : file, label,
            [&](const Item& item) { all = output.Show(item, false) && all; },
            [&](const std::string& why) { bad(why); });
        bad.Finish(label);
        all = all && counts.bad_lines == 0;
        records = counts.records;
    } else {
        const int fd = open(opt.file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            Say(opt.file + ": cannot read the file: " + std::strerror(errno));
            if (fd >= 0) close(fd);
            return kExitRefused;
        }
        if (S_ISDIR(st.st_mode)) {
            close(fd);
            Say(opt.file + ": is a directory, not a record");
            return kExitRefused;
        }
        // Read as far as a record can be: /dev/zero or a FIFO never ends.
        rxp::record::Bytes content(kMaxRecordFile + 1);
        std::size_t size = 0;
        while (size < content.size()) {
            const ssize_t n = read(fd, content.data() + size, content.size() - size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                Say(opt.file + ": cannot read the file: " + std::strerror(errno));
                close(fd);
                return kExitRefused;
            }
            if (n == 0) break;
            size += static_cast<std::size_t>(n);
        }
        close(fd);
        if (size > kMaxRecordFile) {
            Say(opt.file + ": refused: " +
                (S_ISREG(st.st_mode) ? std::to_string(st.st_size) + " bytes"
                                     : "more than " + std::to_string(kMaxRecordFile) + " bytes") +
                ", but a record is exactly " + std::to_string(rxp::kRecordSize) + " bytes");
            return kExitRefused;
        }
        content.resize(size);
        Item item{content, {label, 0, ""}, rxp::record::RecordTimeText(content)};
        all = output.Show(item, false);
        records = 1;
    }
    if (records == 0) {
        Say(label + ": no record in it");
        return kExitRefused;
    }
    const bool finished = output.Finish();
    return all && finished ? kExitShown : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    Options opt;
    po::options_description desc("Options", 100);
    // clang-format off
    desc.add_options()
        ("help,h", "show this help")
        ("version", "show the version and exit")
        ("hex", po::bool_switch(&opt.hex), "FILE holds hex text rather than the 289 bytes")
        ("db", po::value(&opt.db)->value_name("FILE"), "read rows of a history database")
        ("last", po::value(&opt.last)->value_name("N"), "the last N rows, oldest first (default 1)")
        ("row", po::value(&opt.row)->value_name("ID"), "the row with this id")
        ("address", po::value(&opt.address)->value_name("N"),
         "only rows of the device at bus address N, 0..255")
        ("since", po::value(&opt.since)->value_name("TIME"), "records from this time on")
        ("until", po::value(&opt.until)->value_name("TIME"), "records before this time")
        ("format", po::value(&opt.format)->default_value("table")->value_name("table|json|csv"),
         "aligned table for people, JSON Lines or CSV for programs")
        ("fields", po::value(&opt.fields)->value_name("NAME[,NAME...]"),
         "with --format csv: these fields, in this order (default: all)")
        ("plot", po::value(&opt.plot)->value_name("NAME[,NAME...]"),
         "draw these fields over time into the PNG file --out")
        ("out", po::value(&opt.out)->value_name("FILE.png"), "where --plot draws")
        ("units", po::value(&opt.units)->value_name("FILE"),
         "the site's scale and unit of each field (JSON)")
        ("mark-gaps", po::bool_switch(&opt.mark_gaps),
         "with --format csv: a last column gap_seconds, the time without records before the "
         "row when cycles are missing there")
        ("gap", po::value(&opt.gap)->value_name("SECONDS"),
         "a time between two records of a device longer than SECONDS is a gap (default: 5 "
         "times the usual interval between its records before it)");
    // clang-format on
    po::options_description hidden;
    hidden.add_options()("file", po::value(&opt.file));
    po::options_description all;
    all.add(desc).add(hidden);
    po::positional_options_description positional;
    positional.add("file", 1);

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << "rxp-record: " << rxp::record::Printable(e.what())
                  << "\n(rxp-record --help shows the options)" << std::endl;
        return kExitUsage;
    }
    if (vm.count("help") != 0) {
        std::cout << kUsage << "\n" << desc << std::endl;
        return kExitShown;
    }
    if (vm.count("version") != 0) {
        std::cout << rxp::tools::VersionLine("rxp-record") << std::endl;
        return kExitShown;
    }
    auto usage_error = [](const std::string& what) {
        std::cerr << "rxp-record: " << rxp::record::Printable(what)
                  << "\n(rxp-record --help shows the options)" << std::endl;
        return kExitUsage;
    };
    // An option given an empty value is a mistake (an unset variable in a script), not the
    // option left out.
    for (const auto& given : vm) {
        const std::string* text = boost::any_cast<std::string>(&given.second.value());
        if (!given.second.defaulted() && text != nullptr && text->empty()) {
            return usage_error(given.first == "file"
                                   ? "an empty FILE name (- reads standard input)"
                                   : "--" + given.first + " needs a value, got an empty one");
        }
    }
    if (opt.format != "table" && opt.format != "json" && opt.format != "csv") {
        return usage_error("--format " + opt.format + ": expected table, json or csv");
    }
    if (!opt.db.empty() && !opt.file.empty()) return usage_error("give a FILE or --db, not both");
    if (opt.db.empty() && (vm.count("last") != 0 || vm.count("row") != 0)) {
        return usage_error("--last and --row read a history database: add --db FILE");
    }
    if (vm.count("last") != 0 && vm.count("row") != 0) {
        return usage_error("give --last or --row, not both");
    }
    if (vm.count("last") != 0 && opt.last < 1) return usage_error("--last must be 1 or more");
    if (vm.count("row") != 0 && opt.row < 1) return usage_error("--row must be 1 or more");
    if (vm.count("address") != 0) {
        if (opt.db.empty())
            return usage_error("--address chooses rows of a history database: add --db FILE");
        if (opt.address < 0 || opt.address > 255) return usage_error("--address must be 0..255");
    }
    if ((vm.count("last") != 0 || vm.count("row") != 0) &&
        (!opt.since.empty() || !opt.until.empty())) {
        return usage_error(
            "--since and --until choose rows by time, --last and --row by number: "
            "give one kind");
    }
    for (const std::string* time : {&opt.since, &opt.until}) {
        try {
            if (!time->empty()) rxp::tools::ParseIsoTime(*time);
        } catch (const std::exception& e) {
            return usage_error(std::string(time == &opt.since ? "--since " : "--until ") +
                               e.what());
        }
    }
    if (!opt.fields.empty() && opt.format != "csv") {
        return usage_error("--fields goes with --format csv");
    }
    if (opt.plot.empty() != opt.out.empty()) return usage_error("--plot and --out go together");
    if (opt.mark_gaps && opt.format != "csv")
        return usage_error("--mark-gaps goes with --format csv");
    if (vm.count("gap") != 0) {
        if (!(opt.gap > 0 && opt.gap <= 31536000)) {
            return usage_error("--gap must be more than 0 seconds, at most a year");
        }
        if (!opt.mark_gaps && opt.plot.empty()) {
            return usage_error("--gap goes with --plot or --mark-gaps");
        }
    }
    if (opt.db.empty() && opt.file.empty() && isatty(STDIN_FILENO) != 0) {
        return usage_error("give a FILE, --db FILE, or hex text on standard input");
    }

    try {
        Output output(opt);
        return opt.db.empty() ? FromInput(opt, output) : FromDatabase(opt, output);
    } catch (const std::exception& e) {
        Say(e.what());
        return kExitRefused;
    }
}
