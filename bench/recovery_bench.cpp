// The recovery list and its actions at scale: listing 100,000 items in 1,000 batches (cold and warm),
// one search keystroke over that list, and recovering a folder tree compared with `cp -a` of it.
// BW_BENCH_RECOVERY_MIB sets the tree's size (64 MiB by default; 1024 for the 1 GiB figure).

#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "recovery_copy.h"
#include "recovery_list.h"
#include "recovery_list_state.h"
#include "synthetic_cache.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kBatches = 1000;
constexpr int kItemsPerBatch = 100;
constexpr double kNow = 800000000.0;

const char* const kNames[] = {"Report", "École", "notes", "Straße", "Photo", "budget 2026", "Ökonomie", "draft"};
const char* const kExtensions[] = {".pdf", ".txt", ".odt", ".jpg", ""};

std::string nameFor(int batch, int item) {
    return std::string(kNames[(batch + item) % 8]) + " " + std::to_string(batch * kItemsPerBatch + item) +
           kExtensions[item % 5];
}

// One home cache of 1,000 batches of 100 items (every tenth a folder), built once for the run.
const std::string& bigCache() {
    static std::unique_ptr<bw::test::TempDir> dir;
    static std::string cache;
    if (dir)
        return cache;
    dir = std::make_unique<bw::test::TempDir>("bw2recbench");
    cache = dir->path() + "/.Binwarden2Cache";
    bw::test::writeSyntheticCache(
        cache, kBatches, kItemsPerBatch,
        [](int b, int i) { return bw::test::SyntheticEntry{nameFor(b, i), kNow - b * 60.0 - i}; },
        [](int b) { return kNow - b * 60.0; });
    return cache;
}

// Drops the indexes' pages from the page cache, so that the listing reads them from the disk again.
void evictIndexes(const std::string& cache) {
    for (const auto& batch : fs::directory_iterator(cache)) {
        const int fd = ::open((batch.path() / bw::kCacheIndexFileName).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void BM_ListHomeCache_Warm(benchmark::State& state) {
    const std::string& cache = bigCache();
    bw::getCacheContent(cache, 0.0, kNow);
    for (auto _ : state) {
        auto items = bw::getCacheContent(cache, 0.0, kNow);
        if (items.size() != static_cast<std::size_t>(kBatches * kItemsPerBatch))
            state.SkipWithError("wrong item count");
        benchmark::DoNotOptimize(items);
    }
    state.SetItemsProcessed(state.iterations() * kBatches * kItemsPerBatch);
}
BENCHMARK(BM_ListHomeCache_Warm)->Unit(benchmark::kMillisecond)->Iterations(5);

// The part of the warm listing spent in reading the indexes alone (their format, not the listing).
void BM_ReadIndexesOnly_Warm(benchmark::State& state) {
    const std::string& cache = bigCache();
    std::vector<std::string> batches;
    for (const auto& batch : fs::directory_iterator(cache))
        batches.push_back(batch.path());
    for (auto _ : state)
        for (const std::string& batch : batches)
            benchmark::DoNotOptimize(bw::readCacheIndex(batch));
}
BENCHMARK(BM_ReadIndexesOnly_Warm)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ListHomeCache_ColdIndexes(benchmark::State& state) {
    const std::string& cache = bigCache();
    for (auto _ : state) {
        state.PauseTiming();
        evictIndexes(cache);
        state.ResumeTiming();
        benchmark::DoNotOptimize(bw::getCacheContent(cache, 0.0, kNow));
    }
    state.SetItemsProcessed(state.iterations() * kBatches * kItemsPerBatch);
}
BENCHMARK(BM_ListHomeCache_ColdIndexes)->Unit(benchmark::kMillisecond)->Iterations(3);

// Typing "ecole 4" one character at a time over the whole list; the time reported is one keystroke's.
// The first keystroke also folds every name once (first_keystroke:1); later ones reuse the folding.
void BM_SearchKeystroke(benchmark::State& state) {
    const auto all = bw::getCacheContent(bigCache(), 0.0, kNow);
    const std::string typed = "ecole 4";
    const bool first = state.range(0) == 1;
    std::size_t shown = 0;
    for (auto _ : state) {
        bw::RecoveryListState list;
        list.changeDisplaySetting(all);
        list.numberOfRows();
        if (!first) {
            list.updateSearch("e");
            list.numberOfRows();
        }
        const auto start = std::chrono::steady_clock::now();
        const std::size_t from = first ? 1 : 2, to = first ? 1 : typed.size();
        for (std::size_t n = from; n <= to; ++n) {
            list.updateSearch(typed.substr(0, n));
            shown = list.numberOfRows();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds / static_cast<double>(to - from + 1));
    }
    state.counters["rows_shown_at_end"] = static_cast<double>(shown);
}
BENCHMARK(BM_SearchKeystroke)
    ->Arg(1)
    ->ArgName("first_keystroke")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_SearchKeystroke)
    ->Arg(0)
    ->ArgName("first_keystroke")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runCpA(const std::string& from, const std::string& to) {
    const char* argv[] = {"cp", "-a", "--", from.c_str(), to.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A tree of `mib` MiB: 4 MiB files in nested folders plus 2,000 small files.
void BM_RecoverTreeVersusCpA(benchmark::State& state) {
    const char* env = std::getenv("BW_BENCH_RECOVERY_MIB");
    const long mib = env ? std::max(8L, std::atol(env)) : 64;
    bw::test::TempDir tmp("bw2recbench");
    const std::string batch = tmp.path() + "/cache/batch";
    const std::string stored = bw::newStoredItemName();
    const std::string tree = batch + "/" + stored;
    const std::string chunk(4 << 20, 'z');
    for (long i = 0; i < mib / 4; ++i) {
        const std::string folder = tree + "/d" + std::to_string(i % 16) + "/e" + std::to_string(i % 5);
        fs::create_directories(folder);
        std::ofstream(folder + "/big" + std::to_string(i)) << chunk;
    }
    for (int i = 0; i < 2000; ++i) {
        fs::create_directories(tree + "/small/" + std::to_string(i % 50));
        std::ofstream(tree + "/small/" + std::to_string(i % 50) + "/f" + std::to_string(i)) << std::string(500, 's');
    }
    ::sync();
    bw::RecoveryItem item;
    item.batchFolder = batch;
    item.storedName = stored;
    item.rawItemPath = tree;
    item.displayName = "Tree";
    item.isFolder = true;

    double recoverTotal = 0, cpTotal = 0;
    int round = 0;
    for (auto _ : state) {
        const std::string out = tmp.path() + "/out" + std::to_string(round++);
        fs::create_directories(out + "/lib");
        fs::create_directories(out + "/cp");
        // Alternate which goes first so that neither always meets a warmer cache.
        double recoverSeconds = 0, cpSeconds = 0;
        // Each copy starts with nothing of the other's left to write back, so neither pays for the other.
        auto recover = [&] {
            ::sync();
            recoverSeconds = secondsOf([&] {
                if (!bw::recoverItemTo(item, out + "/lib").ok)
                    state.SkipWithError("recovery failed");
            });
        };
        auto copy = [&] {
            ::sync();
            cpSeconds = secondsOf([&] {
                if (runCpA(tree, out + "/cp/Tree") != 0)
                    state.SkipWithError("cp -a failed");
            });
        };
        if (round % 2) {
            recover();
            copy();
        } else {
            copy();
            recover();
        }
        state.SetIterationTime(recoverSeconds);
        recoverTotal += recoverSeconds;
        cpTotal += cpSeconds;
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();
    }
    state.counters["MiB"] = static_cast<double>(mib);
    state.counters["cp_a_s"] = cpTotal / static_cast<double>(state.iterations());
    state.counters["recover_s"] = recoverTotal / static_cast<double>(state.iterations());
    state.counters["ratio_recover_to_cp"] = cpTotal > 0 ? recoverTotal / cpTotal : 0;
}
BENCHMARK(BM_RecoverTreeVersusCpA)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

} // namespace
