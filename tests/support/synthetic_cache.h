#pragma once
// A cache of many batches written straight to disk, for benchmarks and tests that need volume rather than
// a daemon: each batch folder holds its stored items (every tenth a folder, the rest one-byte files) and
// the index naming them.

#include <functional>
#include <string>

namespace bw::test {

struct SyntheticEntry {
    std::string displayName;
    double addDate; // seconds since the reference date
};

// Writes batches "batch 0" … "batch <batches - 1>" into `cache` with `itemsPerBatch` items each; `entry`
// gives each item's name and date, `lastAddition` each batch's last-addition time.
void writeSyntheticCache(const std::string& cache, int batches, int itemsPerBatch,
                         const std::function<SyntheticEntry(int batch, int item)>& entry,
                         const std::function<double(int batch)>& lastAddition);

} // namespace bw::test
