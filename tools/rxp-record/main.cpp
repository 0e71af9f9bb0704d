// rxp-record: shows a stored measurement record by field name.
#include <unistd.h>

#include <boost/program_options.hpp>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "protocol/reply_layout.h"
#include "tools/common/history_db.h"
#include "tools/common/version.h"
#include "tools/rxp-record/record_view.h"

namespace po = boost::program_options;

namespace {

constexpr int kExitShown = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    R"(rxp-record: shows a power-system measurement record (289 bytes) by field name.

Values as unsigned numbers, status bytes with the alarm of every set bit, the time stamp as a
date and time. The record comes from a file (the 289 bytes; with --hex, as hex text), from hex
text on standard input, or from rows of the bench host's history database.

Usage: rxp-record [FILE | -] [--hex] [--format table|json]
       rxp-record --db FILE [--last N | --row ID] [--format table|json]

Examples:
  rxp-record --db history.db                 the last stored record
  rxp-record --db history.db --last 5 --format json
  rxp-record cached-record.bin
  echo 0100000098080000... | rxp-record      hex text, white space allowed

--format json prints one JSON object per record and line (JSON Lines), Chinese texts as UTF-8.

Exit codes: 0 every record shown; 1 a record of the wrong size, unreadable input, bad hex or
a database or row that is not there; 2 a usage error.
)";

struct Options {
    std::string file;
    bool hex = false;
    std::string db;
    long long last = 0;
    long long row = 0;
    std::string format = "table";
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

bool Show(const rxp::record::Bytes& record, const rxp::record::Origin& origin, const Options& opt) {
    const std::string problem = rxp::record::SizeProblem(record.size());
    if (!problem.empty()) {
        std::cerr << "rxp-record: " << origin.label;
        if (origin.row != 0) std::cerr << " row " << origin.row;
        std::cerr << ": refused: " << problem;
        if (LooksLikeHex(record)) std::cerr << " (hex text? add --hex)";
        std::cerr << std::endl;
        return false;
    }
    if (opt.format == "json") {
        std::cout << rxp::record::FormatJsonLine(rxp::record::ToJson(record.data(), origin))
                  << "\n";
    } else {
        std::cout << rxp::record::FormatTable(record.data(), origin);
    }
    return true;
}

int FromDatabase(const Options& opt) {
    rxp::history::HistoryDb db(opt.db, rxp::history::HistoryDb::Mode::kReadOnly);
    std::vector<rxp::history::Row> rows;
    if (opt.row != 0) {
        rxp::history::Row row;
        if (!db.Find(opt.row, &row)) {
            std::cerr << "rxp-record: " << opt.db << ": no row " << opt.row << std::endl;
            return kExitRefused;
        }
        rows.push_back(row);
    } else {
        rows = db.Last(opt.last > 0 ? opt.last : 1);
        if (rows.empty()) {
            std::cerr << "rxp-record: " << opt.db << ": no records stored yet" << std::endl;
            return kExitRefused;
        }
    }
    bool all = true;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0 && opt.format == "table") std::cout << "\n";
        all = Show(rows[i].record, {opt.db, rows[i].id, rows[i].time}, opt) && all;
    }
    return all ? kExitShown : kExitRefused;
}

int FromInput(const Options& opt) {
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
    rxp::record::Bytes record;
    if (from_stdin || opt.hex) {
        try {
            record = rxp::record::ParseHex(content);
        } catch (const std::exception& e) {
            std::cerr << "rxp-record: " << label << ": not hex text: " << e.what() << std::endl;
            return kExitRefused;
        }
    } else {
        record.assign(content.begin(), content.end());
    }
    return Show(record, {label, 0, ""}, opt) ? kExitShown : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
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
        ("format", po::value(&opt.format)->default_value("table")->value_name("table|json"),
         "aligned table for people, or JSON Lines for programs");
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
    if (opt.format != "table" && opt.format != "json") {
        return usage_error("--format " + opt.format + ": expected table or json");
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
    if (opt.db.empty() && opt.file.empty() && isatty(STDIN_FILENO) != 0) {
        return usage_error("give a FILE, --db FILE, or hex text on standard input");
    }

    try {
        return opt.db.empty() ? FromInput(opt) : FromDatabase(opt);
    } catch (const std::exception& e) {
        std::cerr << "rxp-record: " << e.what() << std::endl;
        return kExitRefused;
    }
}
