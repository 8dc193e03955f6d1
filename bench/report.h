// SPDX-License-Identifier: MIT
#pragma once
// report: what one scenario run prints. The run fills one list of its figures, once; the table
// that people read and the JSON line that CTest's smoke run and comparisons between runs read
// are both printed from that list, so neither shows a figure the other has under another value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum FigureKind : std::int32_t { FIGURE_NUMBER = 1, FIGURE_FLAG = 2, FIGURE_LIST = 3 };

struct Figure {
    std::string name;  // the JSON key; the table's rows name the figure by it too
    FigureKind kind;
    double value;                // NUMBER; FLAG: 1 or 0
    std::vector<double> values;  // LIST; a NaN is no figure (null in JSON)
    int decimals;                // as JSON writes it: 0 for a count
    bool in_json;                // false for one only the table shows, such as a fixed rate
};

// A line of the table: two spaces, the label padded to 36 columns, a space, the format. Label
// and format are printf texts whose conversions show the named figures in turn, the label's
// first: %d as a whole number, %f with the decimals the conversion says, %s a flag as yes or
// no. "name[k]" names element k of a list (see element).
struct ReportRow {
    std::string label;
    std::string format;
    std::vector<std::string> shows;
};

struct Report {
    std::string scenario;         // the JSON line's first field and the heading's first word
    ReportRow heading;            // the table's first line, after "scenario: "; no label
    std::vector<Figure> figures;  // in the JSON line's order
    std::vector<ReportRow> rows;  // in the table's order
};

// Why a run has no figures: no listener received a stream byte; or it did not start, where
// the harness has printed why already.
extern const char* const NO_STREAM_BYTE;
extern const char* const NOT_STARTED;

Report report_begin(const char* scenario, const std::string& heading,
                    std::vector<std::string> shows = {});
void add_number(Report* report, const char* name, double value, int decimals);
// A whole number: bytes, listeners, descriptors. Every count the benchmark makes is far below
// 2^53, so the double holds it exactly.
template <typename Whole>
void add_count(Report* report, const char* name, Whole value) {
    add_number(report, name, static_cast<double>(value), 0);
}
void add_flag(Report* report, const char* name, bool value);
void add_list(Report* report, const char* name, std::vector<double> values, int decimals);
// Figures the table shows and the JSON line leaves out.
void add_table_number(Report* report, const char* name, double value);
void add_table_list(Report* report, const char* name, std::vector<double> values);
void add_row(Report* report, const std::string& label, const std::string& format,
             std::vector<std::string> shows = {});
// The name a row gives element k of the list called name.
std::string element(const char* name, std::size_t k);

void print_table(const Report& report);
void print_json(const Report& report);

// The one end of every scenario run. failure is nullptr when the run has figures: then the
// table and the JSON line, and true. Otherwise false, after one line "scenario: failure"
// unless failure is NOT_STARTED.
bool end_run(const Report& report, const char* failure);
