#include <gtest/gtest.h>

#include <vector>

#include "bench/bench_workflow_stats.h"

namespace qel::bench {
namespace {

struct SummaryCase {
    const char* name;
    std::vector<double> samples;
    double median;
    double min;
    double p90;
};

class SummarizeTest : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(SummarizeTest, GivesMedianMinimumAndNinetiethPercentile) {
    const SummaryCase& c = GetParam();
    const Summary s = summarize(c.samples);
    EXPECT_EQ(s.count, c.samples.size());
    EXPECT_DOUBLE_EQ(s.median, c.median);
    EXPECT_DOUBLE_EQ(s.min, c.min);
    EXPECT_DOUBLE_EQ(s.p90, c.p90);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SummarizeTest,
    ::testing::Values(SummaryCase{"None", {}, 0, 0, 0}, SummaryCase{"One", {7}, 7, 7, 7},
                      SummaryCase{"OddCountUnsorted", {5, 1, 4, 2, 3}, 3, 1, 5},
                      // An even count has no middle sample: the two around it are averaged.
                      SummaryCase{"EvenCountAveragesTheMiddlePair", {4, 1, 3, 2}, 2.5, 1, 4},
                      // Nearest rank: the 9th of 10 and the 10th of 11 (ceil(9.9) = 10).
                      SummaryCase{"TenSamples", {10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 5.5, 1, 9},
                      SummaryCase{"ElevenSamples", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 6, 1, 10}),
    [](const ::testing::TestParamInfo<SummaryCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qel::bench
