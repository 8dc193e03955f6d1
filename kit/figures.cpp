// SPDX-License-Identifier: MIT
#include "figures.h"

#include <algorithm>

namespace testkit {

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

}  // namespace testkit
