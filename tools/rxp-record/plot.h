// Fields of the records over time, drawn by gnuplot into a PNG file.
//
// gnuplot reads a script, and text in a script can be a command: a line break ends the string
// it stands in and starts a new command (system("..."), !command), a back-quoted command in a
// double-quoted string is run. So no text from a file or the command line goes into the script
// as it is: labels (field names, the site's units, times) are single-quoted strings in which
// nothing is substituted and every control character is written as a visible escape, and the
// output file is never named to gnuplot at all: gnuplot writes the PNG to its standard output,
// which is a file rxp-record made beside --out and renames to it when gnuplot succeeded.
#ifndef RXP_TOOLS_RXP_RECORD_PLOT_H
#define RXP_TOOLS_RXP_RECORD_PLOT_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tools/common/record_fields.h"
#include "tools/common/time_text.h"
#include "tools/rxp-record/gaps.h"
#include "tools/rxp-record/units.h"

namespace rxp::record {

class Plot {
public:
    // `gap_seconds` as GapFinder takes it: 0 finds gaps from the intervals of the records.
    Plot(std::vector<const tools::RecordField*> fields, const Units& units, double gap_seconds = 0)
        : fields_(std::move(fields)), units_(units), gap_finder_(gap_seconds) {}

    // Records in time order; the lines break where records are missing (gaps.h). The records of
    // each bus address (-1: not known) have lines of their own, broken at that address's gaps.
    void Add(tools::WallClock::time_point when, const unsigned char* record, int address = -1);
    std::size_t points() const { return points_; }
    std::size_t gaps() const { return gaps_; }

    // The gnuplot script that draws the points as a PNG onto gnuplot's standard output.
    std::string Script() const;

    // Draws into `out`: the whole plot, or (when gnuplot fails) `out` as it was before; false
    // and why on standard error when it is not written.
    bool Draw(const std::string& out) const;

    // A gnuplot string taken as it is: in single quotes, a quote written twice, control
    // characters as escapes ("\x0A") that cannot end the line.
    static std::string Quoted(const std::string& text);

private:
    std::vector<const tools::RecordField*> fields_;
    const Units& units_;
    std::map<int, std::string> data_;  // gnuplot's data lines by address
    std::size_t points_ = 0;
    BusGapFinder gap_finder_;
    std::size_t gaps_ = 0;
    std::string first_, last_;
};

}  // namespace rxp::record

#endif  // RXP_TOOLS_RXP_RECORD_PLOT_H
