#include "bench/bench_workflow_stats.h"

#include <algorithm>

namespace qel::bench {

Summary summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty())
        return summary;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    summary.min = samples.front();
    summary.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // ceil(0.9 n) in whole numbers: 0.9 has no exact binary form.
    const std::size_t rank = (9 * n + 9) / 10;
    summary.p90 = samples[rank - 1];
    return summary;
}

}  // namespace qel::bench
