// SPDX-License-Identifier: MIT
#include "figures.h"

#include <stdarg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace testkit {
namespace {

void append_name(JsonLine* line, const char* name) {
    if (line->text.size() > 1) line->text += ',';
    line->text += '"';
    line->text += name;
    line->text += "\":";
}

std::string fixed_text(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    double rank = p / 100.0 * static_cast<double>(samples.size() - 1) + 0.5;
    auto at = static_cast<std::size_t>(rank);  // rank >= 0.5: truncation rounds to nearest
    return samples[std::min(at, samples.size() - 1)];
}

double max_of(const std::vector<double>& samples) {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

void print_row(const char* label, const char* format, ...) {
    std::printf("  %-36s ", label);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

JsonLine json_begin(const char* scenario) {
    JsonLine line{"{"};
    append_name(&line, "scenario");
    line.text += '"';
    line.text += scenario;
    line.text += '"';
    return line;
}

void json_int(JsonLine* line, const char* name, std::int64_t value) {
    append_name(line, name);
    line->text += std::to_string(value);
}

void json_uint(JsonLine* line, const char* name, std::uint64_t value) {
    append_name(line, name);
    line->text += std::to_string(value);
}

void json_fixed(JsonLine* line, const char* name, double value, int decimals) {
    append_name(line, name);
    line->text += fixed_text(value, decimals);
}

void json_bool(JsonLine* line, const char* name, bool value) {
    append_name(line, name);
    line->text += value ? "true" : "false";
}

void json_fixed_list(JsonLine* line, const char* name, const std::vector<double>& values,
                     int decimals) {
    append_name(line, name);
    line->text += '[';
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (k > 0) line->text += ',';
        line->text += std::isnan(values[k]) ? "null" : fixed_text(values[k], decimals);
    }
    line->text += ']';
}

void json_print(const JsonLine& line) { std::printf("%s}\n", line.text.c_str()); }

}  // namespace testkit
