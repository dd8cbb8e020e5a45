#include "report.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tolmi_gcp::bench {
namespace {

TEST(BenchReport, PercentilePicksTheSampleBelowWhichTheFractionLies) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);  // unsorted on purpose
  EXPECT_EQ(percentile(hundred, 0.99), 99);
  EXPECT_EQ(percentile(hundred, 0.5), 50);
  EXPECT_EQ(percentile(hundred, 1.0), 100);
  EXPECT_EQ(percentile({3, 1, 2}, 0.5), 2);
  EXPECT_EQ(percentile({7}, 0.99), 7);
  EXPECT_EQ(percentile({7}, 0), 7);
}

TEST(BenchReport, TableAlignsColumnsAndNamesEachBenchmarkOnce) {
  Table table;
  table.add("BM_A", "time per iteration", number(1.5, 3, "us"));
  table.add("BM_A", "items per second", number(12345.6, 0));
  table.add("discovery, 4 networks", "ratio to the floor", number(1.25, 2));
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  table.print(out);
  std::fclose(out);
  std::string printed(text, size);
  std::free(text);
  EXPECT_EQ(printed,
            "| benchmark             | figure             |    value |\n"
            "|-----------------------|--------------------|---------:|\n"
            "| BM_A                  | time per iteration | 1.500 us |\n"
            "|                       | items per second   |    12346 |\n"
            "| discovery, 4 networks | ratio to the floor |     1.25 |\n");
}

TEST(BenchReport, ProcessMeasuresReadThisProcess) {
  EXPECT_GT(ownPeakKib(), 0);
  EXPECT_GE(processCpuSeconds(getpid()), 0);
  EXPECT_THROW(processCpuSeconds(-5), std::runtime_error);
}

}  // namespace
}  // namespace tolmi_gcp::bench
