// What the file engine costs against cp: a tree of mixed sizes (10 files of 100 MiB and 10,000 of 4 KiB,
// about 1 GiB at full size) copied by the engine and by `cp -a` in the same run, on the temporary
// folder's file system; and, when run as root with mkfs.btrfs or mkfs.xfs at hand, on a loop image of
// that file system against `cp -a --reflink=never`, where the engine's reflinks should win by far.
//
// BW_BENCH_COPY_SCALE scales the tree (default 0.05, so that `make bench` stays short; 1 is the full
// 1 GiB tree). Every timing ends with syncfs of the destination, so that data still in the page cache
// counts for both. The counter "cp_over_engine" is cp's time divided by the engine's: above 1 the
// engine is faster.

#include "files/copy_file.h"
#include "files/unique_fd.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using bw::KOR_CopyFile;
using bw::UniqueFd;
using Clock = std::chrono::steady_clock;

double scale() {
    const char* text = std::getenv("BW_BENCH_COPY_SCALE");
    const double value = text ? std::atof(text) : 0.05;
    return value > 0 && value <= 4 ? value : 0.05;
}

// The tree under `root`/tree: 10 large files (100 MiB each at full scale) and 10,000 small ones of 4 KiB
// spread over 100 folders. Large files hold distinct data, so nothing can be deduplicated.
std::int64_t makeTree(const std::string& root, double s) {
    const std::string tree = root + "/tree";
    fs::create_directories(tree + "/large");
    const std::size_t largeSize = static_cast<std::size_t>(100.0 * s * (1 << 20)) & ~std::size_t(4095);
    const int smallCount = std::max(1, static_cast<int>(10000 * s));
    std::int64_t total = 0;
    std::string block(largeSize, '\0');
    for (int i = 0; i < 10; ++i) {
        for (std::size_t k = 0; k < block.size(); k += 512)
            block[k] = static_cast<char>(i * 31 + k / 512);
        std::ofstream(tree + "/large/file" + std::to_string(i), std::ios::binary) << block;
        total += static_cast<std::int64_t>(block.size());
    }
    std::string small(4096, 's');
    for (int i = 0; i < smallCount; ++i) {
        const std::string folder = tree + "/small/d" + std::to_string(i % 100);
        if (i < 100)
            fs::create_directories(folder);
        small[0] = static_cast<char>(i);
        std::ofstream(folder + "/f" + std::to_string(i), std::ios::binary) << small;
        total += 4096;
    }
    ::sync();
    return total;
}

void syncOf(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::syncfs(fd.get());
}

double secondsOf(const std::function<bool()>& work, const std::string& syncPath, bool& ok) {
    const auto start = Clock::now();
    ok = work();
    syncOf(syncPath);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One round: the engine's copy, then cp's with `cpOptions`, of root/tree; iteration time is the engine's.
void compareWithCp(benchmark::State& state, const std::string& root, const char* cpOptions, std::int64_t bytes) {
    const std::string engineCopy = root + "/engine-copy";
    const std::string cpCopy = root + "/cp-copy";
    double engineTotal = 0, cpTotal = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        fs::remove_all(engineCopy);
        fs::remove_all(cpCopy);
        fs::create_directories(engineCopy);
        syncOf(root);
        bool ok = false;
        const double engine = secondsOf(
            [&] { return KOR_CopyFile().copyFile(root + "/tree", engineCopy, true) == KOR_CopyFile::kSuccess; },
            root, ok);
        if (!ok) {
            state.SkipWithError("the engine's copy failed");
            return;
        }
        syncOf(root);
        const std::string command = std::string("cp ") + cpOptions + " '" + root + "/tree' '" + cpCopy + "'";
        const double cp = secondsOf([&] { return std::system(command.c_str()) == 0; }, root, ok);
        if (!ok) {
            state.SkipWithError("cp failed");
            return;
        }
        state.SetIterationTime(engine);
        engineTotal += engine;
        cpTotal += cp;
    }
    state.counters["cp_seconds"] = benchmark::Counter(cpTotal / static_cast<double>(state.iterations()));
    state.counters["cp_over_engine"] = benchmark::Counter(engineTotal > 0 ? cpTotal / engineTotal : 0);
    state.counters["tree_MiB"] = benchmark::Counter(static_cast<double>(bytes) / (1 << 20));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
    fs::remove_all(engineCopy);
    fs::remove_all(cpCopy);
}

void BM_EngineVsCpDashA(benchmark::State& state) {
    bw::test::TempDir tmp("bw2copybench");
    const std::int64_t bytes = makeTree(tmp.path(), scale());
    compareWithCp(state, tmp.path(), "-a", bytes);
}
BENCHMARK(BM_EngineVsCpDashA)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

// A loop image of a file system that can reflink, made and mounted for the benchmark.
class LoopVolume {
public:
    LoopVolume(const std::string& folder, const std::string& type, std::int64_t bytes) : m_mount(folder + "/mnt") {
        const std::string mkfs = "/usr/sbin/mkfs." + type;
        if (geteuid() != 0 || ::access(mkfs.c_str(), X_OK) != 0)
            return;
        const std::string image = folder + "/image";
        fs::create_directories(m_mount);
        {
            std::ofstream(image).close();
        }
        fs::resize_file(image, static_cast<std::uintmax_t>(bytes));
        const std::string make = mkfs + " -q " + (type == "btrfs" ? "-f " : "-f -m reflink=1 ") + image +
                                 " >/dev/null 2>&1";
        const std::string mount = "mount -o loop '" + image + "' '" + m_mount + "' >/dev/null 2>&1";
        m_mounted = std::system(make.c_str()) == 0 && std::system(mount.c_str()) == 0;
    }
    ~LoopVolume() {
        if (m_mounted)
            ::umount2(m_mount.c_str(), 0);
    }
    LoopVolume(const LoopVolume&) = delete;
    LoopVolume& operator=(const LoopVolume&) = delete;
    bool mounted() const { return m_mounted; }
    const std::string& path() const { return m_mount; }

private:
    std::string m_mount;
    bool m_mounted = false;
};

// Argument 0: btrfs, 1: xfs.
void BM_EngineVsCpNoReflink(benchmark::State& state) {
    const std::string type = state.range(0) == 0 ? "btrfs" : "xfs";
    bw::test::TempDir tmp("bw2reflinkbench");
    const double s = scale();
    // Room for the tree, the engine's copy (shared extents) and cp's full copy, plus metadata.
    const std::int64_t room = static_cast<std::int64_t>(3.0 * s * (1ll << 30)) + (512ll << 20);
    LoopVolume volume(tmp.path(), type, room);
    if (!volume.mounted()) {
        state.SkipWithError(("needs root and mkfs." + type + " for a loop image").c_str());
        return;
    }
    const std::int64_t bytes = makeTree(volume.path(), s);
    state.SetLabel(type);
    compareWithCp(state, volume.path(), "-a --reflink=never", bytes);
}
BENCHMARK(BM_EngineVsCpNoReflink)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

} // namespace
