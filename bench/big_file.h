// The phone's store of the transfer benchmarks: big.bin of the given size.
#pragma once

#include <cstdint>
#include <memory>

#include "quorvalen/sim/file_store.h"

namespace quorvalen::bench {

inline std::unique_ptr<sim::MemoryStore> StoreWithBigFile(size_t bytes, uint32_t seed = 1) {
  auto store = std::make_unique<sim::MemoryStore>();
  store->Write({}, "big.bin", sim::SampleBytes(seed, bytes));
  return store;
}

}  // namespace quorvalen::bench
