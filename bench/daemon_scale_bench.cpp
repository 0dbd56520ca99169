// Large batches, end to end: the real bw2daemon in move mode while one process renames n files into
// the trash as fast as it can. Reports when the trash was empty, when every item was listed by an
// index, how many entries the indexes hold against the items stored, and the daemon's peak memory.

#include "store/cache_index.h"
#include "private_bus.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Whether a folder holds anything: the first entry is enough, so that watching costs the daemon little.
bool isEmpty(const std::string& folder) {
    bool empty = true;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                empty = false;
                break;
            }
        }
        closedir(dir);
    }
    return empty;
}

struct CacheCount {
    std::size_t listed = 0;  // index entries over every batch folder
    std::size_t stored = 0;  // stored items over every batch folder
    std::size_t batches = 0; // batch folders
};

CacheCount countCache(const std::string& cache) {
    CacheCount count;
    for (const auto& batch : fs::directory_iterator(cache)) {
        if (!batch.is_directory())
            continue;
        ++count.batches;
        if (auto index = bw::readCacheIndex(batch.path().string()); index && index->indexTable())
            count.listed += index->indexTable()->size();
        for (const auto& item : fs::directory_iterator(batch.path()))
            if (item.path().filename().string().rfind(bw::kCacheIndexFileName, 0) != 0)
                ++count.stored;
    }
    return count;
}

double peakMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

void BM_RealDaemonMoveAtOnce(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    bw::test::PrivateBus bus;
    const std::string exe = bw::test::buildDir() + "/libexec/binwarden2/bw2daemon";
    double renamedSeconds = 0, emptiedSeconds = 0, listedSeconds = 0, peak = 0;
    CacheCount final;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        bw::test::TempDir tmp("bw2scale");
        const std::string home = tmp.path();
        const std::string trash = home + "/.local/share/Trash/files/";
        const std::string staging = home + "/staging";
        const std::string cache = home + "/.Binwarden2Cache";
        fs::create_directories(trash);
        fs::create_directories(home + "/.local/share/Trash/info");
        fs::create_directories(cache);
        fs::create_directories(staging);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string name = staging + "/file " + std::to_string(i);
            int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::close(fd);
        }
        pid_t pid = fork();
        if (pid == 0) {
            setenv("HOME", home.c_str(), 1);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            execl(exe.c_str(), exe.c_str(), "1", trash.c_str(), (home + "/").c_str(), "0", "0", "1",
                  std::to_string(getuid()).c_str(), "3", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // started and surveying
        state.ResumeTiming();

        const auto start = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            const std::string name = "file " + std::to_string(i);
            ::rename((staging + "/" + name).c_str(), (trash + name).c_str());
        }
        renamedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        const auto deadline = start + std::chrono::seconds(300);
        while (!isEmpty(trash) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        emptiedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        CacheCount count;
        while (Clock::now() < deadline) {
            count = countCache(cache);
            if (count.listed >= n)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        listedSeconds = std::chrono::duration<double>(Clock::now() - start).count();

        state.PauseTiming();
        peak = peakMiB(pid);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        // What stays after the daemon has quit, read by a reader of its own.
        final = countCache(cache);
        std::fprintf(stderr,
                     "%zu items: all in the trash after %.2f s, trash emptied after %.2f s, listed after %.2f s, "
                     "%zu listed of %zu stored in %zu batch folder(s), peak %.0f MiB\n",
                     n, renamedSeconds, emptiedSeconds, listedSeconds, final.listed, final.stored, final.batches, peak);
        if (final.listed != n || final.stored != n) {
            state.SkipWithError("not every item is stored and listed");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["renamed_s"] = renamedSeconds;
    state.counters["trash_emptied_s"] = emptiedSeconds;
    state.counters["all_listed_s"] = listedSeconds;
    state.counters["listed"] = static_cast<double>(final.listed);
    state.counters["stored"] = static_cast<double>(final.stored);
    state.counters["batches"] = static_cast<double>(final.batches);
    state.counters["peak_MiB"] = peak;
}
BENCHMARK(BM_RealDaemonMoveAtOnce)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(250000)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

} // namespace
