// rxp-record: shows stored measurement records by field name, as a table, JSON Lines, CSV or a
// plot over time.
#include <sys/wait.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "protocol/reply_layout.h"
#include "tools/common/hex.h"
#include "tools/common/history_db.h"
#include "tools/common/time_text.h"
#include "tools/common/version.h"
#include "tools/rxp-record/record_view.h"
#include "tools/rxp-record/units.h"

namespace po = boost::program_options;

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
--address N takes only rows of the device at bus address N; rows stored before the history
carried addresses (one device) have none and are left out then.
--units FILE: the site's units, {"phase_a_value1": {"scale": 0.1, "unit": "V"}, ...};
"modules[*].value2" names a value of every module. Without it, values are shown as stored.
--plot draws with gnuplot (Debian: gnuplot-nox).

Exit codes: 0 every record shown; 1 a record of the wrong size, unreadable input, bad hex or
a database or row that is not there, no record in the range, a plot that failed; 2 a usage
error.
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
};

// One record to show, with where it came from and its time.
struct Item {
    rxp::record::Bytes record;
    rxp::record::Origin origin;
    std::string time;  // ISO 8601; empty when unknown
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

std::string TimeOfRecord(const rxp::record::Bytes& record) {
    if (record.size() != rxp::kRecordSize) return "";
    const rxp::tools::RecordTime t = rxp::tools::ReadRecordTime(record.data());
    return t.IsValid() ? t.Text() : "";
}

// Points of the plotted fields over time, drawn by gnuplot at the end.
class Plot {
public:
    Plot(std::vector<const rxp::tools::RecordField*> fields, const rxp::record::Units& units)
        : fields_(std::move(fields)), units_(units) {}

    void Add(rxp::tools::WallClock::time_point when, const unsigned char* record) {
        // gnuplot shows times as UTC: shifted by the local offset, the axis reads local time.
        const std::time_t t = rxp::tools::WallClock::to_time_t(when);
        std::tm local{};
        localtime_r(&t, &local);
        data_ += std::to_string(static_cast<long long>(t) + local.tm_gmtoff);
        for (const rxp::tools::RecordField* f : fields_) {
            data_ += " " + units_.Value(*f, rxp::tools::ReadField(record, *f));
        }
        data_ += "\n";
        if (points_++ == 0) first_ = rxp::tools::IsoTime(when);
        last_ = rxp::tools::IsoTime(when);
    }
    std::size_t points() const { return points_; }

    // Writes the PNG; false (and why on standard error) when gnuplot fails.
    bool Draw(const std::string& out) const {
        std::string unit;  // the y axis is labelled when all fields share a unit
        bool shared = true;
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            const rxp::record::Unit* u = units_.For(*fields_[i]);
            const std::string this_unit = u == nullptr ? "" : u->unit;
            if (i == 0) unit = this_unit;
            shared = shared && this_unit == unit;
        }
        std::string names;
        for (const rxp::tools::RecordField* f : fields_)
            names += (names.empty() ? "" : ", ") + f->name;
        std::ostringstream script;
        script << "set terminal pngcairo noenhanced size 960,480 font 'sans,10'\n"
               << "set output " << Quoted(out) << "\n"
               << "set xdata time\nset timefmt '%s'\nset format x \"%m-%d\\n%H:%M\"\n"
               << "set xlabel " << Quoted("local time, " + first_.substr(19) + " from UTC") << "\n"
               << (shared && !unit.empty() ? "set ylabel " + Quoted(unit) + "\n" : "")
               << "set grid\nset key below\n"
               << "set title " << Quoted(names + ": " + first_ + " to " + last_) << "\n"
               << "$data << EOD\n"
               << data_ << "EOD\nplot ";
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            script << (i == 0 ? "" : ", ") << "$data using 1:" << i + 2
                   << " with lines linewidth 1.5 title " << Quoted(units_.Label(*fields_[i]));
        }
        script << "\n";
        // gnuplot's own messages go to standard error, beside ours. A gnuplot that is not
        // there, or stops early, closes the pipe: that is its exit status to report, not a
        // SIGPIPE to die of.
        FILE* gnuplot = popen("gnuplot 1>&2", "w");
        if (gnuplot == nullptr) {
            std::cerr << "rxp-record: cannot start gnuplot" << std::endl;
            return false;
        }
        const std::string text = script.str();
        void (*previous)(int) = std::signal(SIGPIPE, SIG_IGN);
        std::fwrite(text.data(), 1, text.size(), gnuplot);
        const int status = pclose(gnuplot);
        std::signal(SIGPIPE, previous);
        if (status != 0) {
            std::cerr << "rxp-record: gnuplot failed"
                      << (WIFEXITED(status) && WEXITSTATUS(status) == 127
                              ? ": not installed (Debian: apt-get install gnuplot-nox)"
                              : "")
                      << "; " << out << " not written" << std::endl;
            return false;
        }
        return true;
    }

private:
    // A gnuplot string in single quotes, where a quote is written twice.
    static std::string Quoted(const std::string& text) {
        std::string q = "'";
        for (char c : text) q += c == '\'' ? std::string("''") : std::string(1, c);
        return q + "'";
    }

    std::vector<const rxp::tools::RecordField*> fields_;
    const rxp::record::Units& units_;
    std::string data_;
    std::size_t points_ = 0;
    std::string first_, last_;
};

// Shows records in the chosen format, one at a time.
class Output {
public:
    explicit Output(const Options& opt) : opt_(opt) {
        if (!opt.units.empty()) units_ = rxp::record::Units::Load(opt.units);
        if (opt.format == "csv") {
            fields_ = opt.fields.empty() ? AllFields() : rxp::record::FieldsByName(opt.fields);
            out_ << rxp::record::CsvHead(fields_, units_);
        }
        if (!opt.plot.empty()) plot_.reset(new Plot(rxp::record::FieldsByName(opt.plot), units_));
        if (!opt.since.empty()) since_ = rxp::tools::ParseIsoTime(opt.since);
        if (!opt.until.empty()) until_ = rxp::tools::ParseIsoTime(opt.until);
    }

    // False when the record is refused.
    bool Show(const Item& item, bool in_range_checked) {
        const rxp::record::Bytes& record = item.record;
        const std::string problem = rxp::record::SizeProblem(record.size());
        if (!problem.empty()) {
            std::cerr << "rxp-record: " << item.origin.label;
            if (item.origin.row != 0) std::cerr << " row " << item.origin.row;
            std::cerr << ": refused: " << problem;
            if (LooksLikeHex(record)) std::cerr << " (hex text? add --hex)";
            std::cerr << std::endl;
            return false;
        }
        rxp::tools::WallClock::time_point when{};
        if (!in_range_checked || plot_) {
            if (item.time.empty()) {
                if (plot_ || !opt_.since.empty() || !opt_.until.empty()) {
                    std::cerr << "rxp-record: " << item.origin.label
                              << ": record without a time, left out" << std::endl;
                    return true;
                }
            } else {
                when = rxp::tools::ParseIsoTime(item.time);
                if (!in_range_checked && !InRange(when)) return true;
            }
        }
        ++shown_;
        if (plot_) {
            plot_->Add(when, record.data());
        } else if (opt_.format == "csv") {
            out_ << rxp::record::CsvLine(item.time, item.origin.row, record.data(), fields_,
                                         units_);
        } else if (opt_.format == "json") {
            out_ << rxp::record::FormatJsonLine(rxp::record::ToJson(record.data(), item.origin))
                 << "\n";
        } else {
            if (shown_ > 1) out_ << "\n";
            out_ << rxp::record::FormatTable(record.data(), item.origin, units_);
        }
        if (out_.tellp() > (1 << 16)) Flush();
        return true;
    }

    // Ends the output; false when nothing was shown of a range or the plot failed.
    bool Finish() {
        Flush();
        if (shown_ == 0 && (plot_ || !opt_.since.empty() || !opt_.until.empty())) {
            std::cerr << "rxp-record: no record in the range" << std::endl;
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
    std::unique_ptr<Plot> plot_;
    rxp::tools::WallClock::time_point since_{}, until_{};
    std::ostringstream out_;
    std::size_t shown_ = 0;
};

int FromDatabase(const Options& opt, Output& output) {
    rxp::history::HistoryDb db(opt.db, rxp::history::HistoryDb::Mode::kReadOnly);
    bool all = true;
    auto show = [&](const rxp::history::Row& row, bool in_range) {
        all = output.Show({row.record, {opt.db, row.id, row.time}, row.time}, in_range) && all;
        return true;
    };
    const bool by_number = opt.row != 0 || opt.last != 0;
    const bool range =
        !opt.since.empty() || !opt.until.empty() || !opt.plot.empty() || opt.format == "csv";
    if (opt.row != 0) {
        rxp::history::Row row;
        if (!db.Find(opt.row, &row) || (opt.address >= 0 && row.address != opt.address)) {
            std::cerr << "rxp-record: " << opt.db << ": no row " << opt.row;
            if (opt.address >= 0) std::cerr << " of address " << opt.address;
            std::cerr << std::endl;
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
            std::cerr << "rxp-record: " << opt.db << ": no records stored yet";
            if (opt.address >= 0) std::cerr << " of address " << opt.address;
            std::cerr << std::endl;
            return kExitRefused;
        }
        for (const rxp::history::Row& row : rows) show(row, true);
    }
    const bool finished = output.Finish();
    return all && finished ? kExitShown : kExitRefused;
}

// Standard input or a hex file: hex text, one record a line (or one record over several lines),
// or an events file whose publications are the records.
std::vector<Item> ItemsFromText(const std::string& content, const std::string& label) {
    std::vector<Item> items;
    std::istringstream lines(content);
    std::string line;
    const std::size_t first = content.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && content[first] == '{') {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        for (unsigned number = 1; std::getline(lines, line); ++number) {
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            Json::Value event;
            std::string errors;
            if (!reader->parse(line.data(), line.data() + line.size(), &event, &errors) ||
                !event.isObject()) {
                throw std::runtime_error(label + ": line " + std::to_string(number) +
                                         ": not an event (JSON object)");
            }
            if (event["event"].asString() != "publish") continue;
            const std::string where = label + " line " + std::to_string(number);
            try {
                items.push_back({rxp::hex::Parse(event["record"].asString()),
                                 {where, 0, ""},
                                 event["time"].asString()});
            } catch (const std::exception& e) {
                throw std::runtime_error(where + ": record is not hex text: " + e.what());
            }
        }
        return items;
    }
    rxp::record::Bytes whole;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        try {
            items.push_back(
                {rxp::hex::Parse(line), {label + " line " + std::to_string(number), 0, ""}, ""});
        } catch (const std::exception& e) {
            throw std::runtime_error(label + ": line " + std::to_string(number) +
                                     ": not hex text: " + e.what());
        }
        whole.insert(whole.end(), items.back().record.begin(), items.back().record.end());
    }
    // One record written over several lines.
    if (items.size() > 1 && whole.size() == rxp::kRecordSize)
        items.assign(1, {whole, {label, 0, ""}, ""});
    if (items.size() == 1) items[0].origin.label = label;
    for (Item& item : items) item.time = TimeOfRecord(item.record);
    return items;
}

int FromInput(const Options& opt, Output& output) {
    const bool from_stdin = opt.file.empty() || opt.file == "-";
    std::string content;
    if (from_stdin) {
        content.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::error_code ec;
        if (std::filesystem::is_directory(opt.file, ec)) {
            std::cerr << "rxp-record: " << opt.file << ": is a directory, not a record"
                      << std::endl;
            return kExitRefused;
        }
        std::ifstream in(opt.file, std::ios::binary);
        if (!in) {
            std::cerr << "rxp-record: " << opt.file << ": cannot read the file" << std::endl;
            return kExitRefused;
        }
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::string label = from_stdin ? "standard input" : opt.file;
    std::vector<Item> items;
    if (from_stdin || opt.hex) {
        items = ItemsFromText(content, label);
    } else {
        rxp::record::Bytes record(content.begin(), content.end());
        items.push_back({record, {label, 0, ""}, TimeOfRecord(record)});
    }
    if (items.empty()) {
        std::cerr << "rxp-record: " << label << ": no record in it" << std::endl;
        return kExitRefused;
    }
    bool all = true;
    for (const Item& item : items) all = output.Show(item, false) && all;
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
         "the site's scale and unit of each field (JSON)");
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
        std::cerr << "rxp-record: " << e.what() << "\n(rxp-record --help shows the options)"
                  << std::endl;
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
        std::cerr << "rxp-record: " << what << "\n(rxp-record --help shows the options)"
                  << std::endl;
        return kExitUsage;
    };
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
    if (opt.db.empty() && opt.file.empty() && isatty(STDIN_FILENO) != 0) {
        return usage_error("give a FILE, --db FILE, or hex text on standard input");
    }

    try {
        Output output(opt);
        return opt.db.empty() ? FromInput(opt, output) : FromDatabase(opt, output);
    } catch (const std::exception& e) {
        std::cerr << "rxp-record: " << e.what() << std::endl;
        return kExitRefused;
    }
}
