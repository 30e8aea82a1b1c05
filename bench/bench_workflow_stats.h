#pragma once

#include <cstddef>
#include <vector>

namespace qel::bench {

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double min = 0;
    double p90 = 0;  // nearest rank: at least 90 % of the samples are at or below it
};

// Summary of a set of samples; all zero for none.
Summary summarize(std::vector<double> samples);

}  // namespace qel::bench
