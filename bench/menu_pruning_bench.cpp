// The agent's recurring disk work: the total size of a cache (the menu's walk) and one pruning pass
// that has nothing to remove (what every cache notification costs).

#include "store/cache_index.h"
#include "cache_pruning.h"
#include "files/folder_size.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

namespace {

// A cache of `batches` batch folders, each with an index and `items` items, every fifth a folder of
// three files.
std::unique_ptr<bw::test::TempDir> makeCache(int batches, int items) {
    auto dir = std::make_unique<bw::test::TempDir>("bw2bench");
    for (int b = 0; b < batches; ++b) {
        std::string batch = dir->path() + "/2026-03-" + std::to_string(10 + b % 20) + " 10_" + std::to_string(b);
        std::filesystem::create_directories(batch);
        bw::BWIndexTable table;
        for (int i = 0; i < items; ++i) {
            std::string name = "ITEM-" + std::to_string(i);
            if (i % 5 == 0) {
                std::filesystem::create_directories(batch + "/" + name + "/sub");
                for (int f = 0; f < 3; ++f)
                    std::ofstream(batch + "/" + name + "/sub/f" + std::to_string(f)) << std::string(100, 'x');
            } else {
                std::ofstream(batch + "/" + name) << std::string(1000, 'x');
            }
            table[name] = {"name " + std::to_string(i), 800000000.0 + b * 86400.0};
        }
        bw::BWCacheIndex index;
        index.setIndexTable(table);
        index.setCacheLastAdditionTime(800000000.0 + b * 86400.0);
        index.setCacheSize(static_cast<std::uint64_t>(items) * 1000);
        bw::writeCacheIndex(index, batch, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    }
    return dir;
}

void BM_CacheSizeWalk(benchmark::State& state) {
    auto cache = makeCache(static_cast<int>(state.range(0)), 50);
    bw::FolderSizer sizer;
    for (auto _ : state)
        benchmark::DoNotOptimize(sizer.getFolderSize(cache->path()));
    state.SetItemsProcessed(state.iterations() * state.range(0) * 50);
}
BENCHMARK(BM_CacheSizeWalk)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);

void BM_PruningPassNothingToRemove(benchmark::State& state) {
    auto cache = makeCache(static_cast<int>(state.range(0)), 50);
    auto sizes = [](const std::string&, std::uint64_t& f, std::uint64_t& t) {
        f = 500;
        t = 1000;
        return true;
    };
    for (auto _ : state) {
        auto report = bw::pruneCache(cache->path(), 10000, 15, 1000, sizes, [](const std::string&) { return false; });
        benchmark::DoNotOptimize(report.cacheSize);
    }
}
BENCHMARK(BM_PruningPassNothingToRemove)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);

} // namespace
