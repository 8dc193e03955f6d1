// SPDX-License-Identifier: MIT
#pragma once
// figures: what the benchmark prints. Percentiles of its samples, the rows of the human table
// and the one JSON line per scenario run, which is what CTest's smoke run and anyone comparing
// runs read.

#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

// The p-th percentile (0..100) of the samples by the nearest rank; 0 when there are none.
double percentile(std::vector<double> samples, double p);
// The largest sample; 0 when there are none.
double max_of(const std::vector<double>& samples);

// A table row: two spaces, the label padded to 36 columns, then the printf-formatted value.
void print_row(const char* label, const char* format, ...) __attribute__((format(printf, 2, 3)));

// One JSON object on one line, built field by field in the order the calls come.
struct JsonLine {
    std::string text;  // "{" and the fields so far; json_print closes it
};

JsonLine json_begin(const char* scenario);
void json_int(JsonLine* line, const char* name, std::int64_t value);
void json_uint(JsonLine* line, const char* name, std::uint64_t value);
// value with the given number of decimals, as printf's %.Nf writes it.
void json_fixed(JsonLine* line, const char* name, double value, int decimals);
void json_bool(JsonLine* line, const char* name, bool value);
// An array of numbers, each with the given number of decimals; a NaN is written as null (no
// figure for that one).
void json_fixed_list(JsonLine* line, const char* name, const std::vector<double>& values,
                     int decimals);
// Closes the object and prints it on standard output as one line.
void json_print(const JsonLine& line);

}  // namespace testkit
