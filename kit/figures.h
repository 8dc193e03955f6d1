// SPDX-License-Identifier: MIT
#pragma once
// figures: what a measurement makes of its samples, the benchmark's and the cluster test's:
// percentiles by the nearest rank and the largest sample.

#include <vector>

namespace testkit {

// The p-th percentile (0..100) of the samples by the nearest rank; 0 when there are none.
double percentile(std::vector<double> samples, double p);
// The largest sample; 0 when there are none.
double max_of(const std::vector<double>& samples);

}  // namespace testkit
