// SPDX-License-Identifier: MIT
#include "report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

const char* const NO_STREAM_BYTE = "no listener received a stream byte";
const char* const NOT_STARTED = "";

namespace {

Figure* add_figure(Report* report, const char* name, FigureKind kind, int decimals) {
    report->figures.push_back(Figure{name, kind, 0, {}, decimals, true});
    return &report->figures.back();
}

// The value a row names: a figure's, or element k of a list's as "name[k]". NaN for a name
// the report does not hold, which then shows as "nan" where the table expected a figure.
double shown_value(const Report& report, const std::string& ref) {
    std::size_t open = ref.find('[');
    std::string name = ref.substr(0, open);
    for (const Figure& f : report.figures) {
        if (f.name != name) continue;
        if (open == std::string::npos) return f.value;
        std::size_t k = std::strtoul(ref.c_str() + open + 1, nullptr, 10);
        return k < f.values.size() ? f.values[k] : NAN;
    }
    return NAN;
}

// One conversion: format is its text without the letter ("%10.2").
std::string convert(const std::string& format, char conversion, double value) {
    char text[128];
    if (conversion == 's') {
        std::snprintf(text, sizeof text, (format + "s").c_str(), value != 0 ? "yes" : "no");
    } else if (conversion == 'd' && std::isfinite(value)) {
        std::snprintf(text, sizeof text, (format + "lld").c_str(), static_cast<long long>(value));
    } else {
        std::snprintf(text, sizeof text, (format + "f").c_str(), value);
    }
    return text;
}

// The text with each conversion replaced by the next of the shown figures, from *next on.
std::string render(const Report& report, const std::string& text,
                   const std::vector<std::string>& shows, std::size_t* next) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t letter = text[i] == '%' ? text.find_first_of("dfs%", i + 1) : std::string::npos;
        if (letter == std::string::npos) {
            out += text[i];
            continue;
        }
        std::string format = text.substr(i, letter - i);
        i = letter;
        if (text[letter] == '%') {
            out += '%';
            continue;
        }
        double value = *next < shows.size() ? shown_value(report, shows[*next]) : NAN;
        *next += 1;
        out += convert(format, text[letter], value);
    }
    return out;
}

std::string fixed_text(double value, int decimals) {
    if (std::isnan(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

Report report_begin(const char* scenario, const std::string& heading,
                    std::vector<std::string> shows) {
    Report report{};
    report.scenario = scenario;
    report.heading = ReportRow{"", heading, std::move(shows)};
    return report;
}

void add_number(Report* report, const char* name, double value, int decimals) {
    add_figure(report, name, FIGURE_NUMBER, decimals)->value = value;
}

void add_flag(Report* report, const char* name, bool value) {
    add_figure(report, name, FIGURE_FLAG, 0)->value = value ? 1 : 0;
}

void add_list(Report* report, const char* name, std::vector<double> values, int decimals) {
    add_figure(report, name, FIGURE_LIST, decimals)->values = std::move(values);
}

void add_table_number(Report* report, const char* name, double value) {
    Figure* f = add_figure(report, name, FIGURE_NUMBER, 0);
    f->value = value;
    f->in_json = false;
}

void add_table_list(Report* report, const char* name, std::vector<double> values) {
    Figure* f = add_figure(report, name, FIGURE_LIST, 0);
    f->values = std::move(values);
    f->in_json = false;
}

void add_row(Report* report, const std::string& label, const std::string& format,
             std::vector<std::string> shows) {
    report->rows.push_back(ReportRow{label, format, std::move(shows)});
}

std::string element(const char* name, std::size_t k) {
    return std::string(name) + "[" + std::to_string(k) + "]";
}

void print_table(const Report& report) {
    std::size_t next = 0;
    std::string heading = render(report, report.heading.format, report.heading.shows, &next);
    std::printf("\n%s: %s\n", report.scenario.c_str(), heading.c_str());
    for (const ReportRow& row : report.rows) {
        next = 0;
        std::string label = render(report, row.label, row.shows, &next);
        std::string value = render(report, row.format, row.shows, &next);
        std::printf("  %-36s %s\n", label.c_str(), value.c_str());
    }
}

void print_json(const Report& report) {
    std::string line = "{\"scenario\":\"" + report.scenario + "\"";
    for (const Figure& f : report.figures) {
        if (!f.in_json) continue;
        line += ",\"" + f.name + "\":";
        if (f.kind == FIGURE_FLAG) {
            line += f.value != 0 ? "true" : "false";
        } else if (f.kind == FIGURE_NUMBER) {
            line += fixed_text(f.value, f.decimals);
        } else {
            line += '[';
            for (std::size_t k = 0; k < f.values.size(); ++k) {
                if (k > 0) line += ',';
                line += fixed_text(f.values[k], f.decimals);
            }
            line += ']';
        }
    }
    std::printf("%s}\n", line.c_str());
}

bool end_run(const Report& report, const char* failure) {
    if (failure != nullptr && failure[0] != '\0') {
        std::printf("\n%s: %s\n", report.scenario.c_str(), failure);
    } else if (failure == nullptr) {
        print_table(report);
        print_json(report);
    }
    std::fflush(stdout);
    return failure == nullptr;
}
