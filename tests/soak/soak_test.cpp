// The soak's fixed run in make test: 500 operations over twenty seeds, which
// between them take every configuration, with faults and disturbances; no
// promise broken.
#include <gtest/gtest.h>

#include <set>

#include "soak/soak.h"

namespace quorvalen::soak {
namespace {

TEST(Soak, FiveHundredOperationsBreakNoPromise) {
  const auto configs = AllConfigs();
  int operations = 0, successes = 0;
  std::set<std::string> covered;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    const Config& config = configs[seed % configs.size()];
    covered.insert(config.Name());
    const Result r = soak::Run(seed, 25, config);
    operations += r.operations;
    successes += r.successes;
    for (const std::string& problem : r.problems) {
      ADD_FAILURE() << "seed " << seed << " " << config.Name() << ": " << problem
                    << "\n  replay: build/tests/soak --seeds " << seed << " --count 25";
    }
  }
  EXPECT_EQ(operations, 500);
  EXPECT_EQ(covered.size(), configs.size());
  // Faults make many operations fail, but not all: the road is exercised.
  EXPECT_GT(successes, 100);
}

}  // namespace
}  // namespace quorvalen::soak
