// What bw2daemon costs: an idle survey (in process, and the real program's CPU and memory), a move batch
// of 10,000 files, a 1 GiB copy batch against cp -a, and a copy-mode survey over 10,000 known items.

#include "store/cache_index.h"
#include "daemon.h"
#include "private_bus.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>

#include <systemd/sd-event.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace bw;
using Clock = std::chrono::steady_clock;

struct Home {
    test::TempDir tmp{"bw2bench"};
    std::string home = tmp.path();
    std::string trash = home + "/.local/share/Trash/files/";
    std::string cache = home + "/.Binwarden2Cache";
    Home() {
        fs::create_directories(trash);
        fs::create_directories(home + "/.local/share/Trash/info");
        fs::create_directories(cache);
    }
    void configure(Daemon& daemon, int mode) const {
        daemon.setHomeFolder(home);
        daemon.setTrashPath(trash);
        daemon.setTrashCachePath(home + "/");
        daemon.setDaemonUID(static_cast<std::int32_t>(getuid()));
        daemon.setRunningMode(mode);
        daemon.setNbDaysInCache(3);
    }
    void fill(int count, std::size_t size) const {
        std::string content(size, 'x');
        for (int i = 0; i < count; ++i) {
            std::ofstream(trash + "file " + std::to_string(i)) << content;
            std::ofstream(home + "/.local/share/Trash/info/file " + std::to_string(i) + ".trashinfo")
                << "[Trash Info]\n";
        }
    }
};

// One survey of an empty trash: list the folder, find nothing, re-arm. Argument 1: as when started by the
// helper, the trash path is opened one component at a time.
void BM_IdleSurveyEmptyTrash(benchmark::State& state) {
    Home h;
    Daemon daemon;
    h.configure(daemon, 1);
    daemon.setPrivileged(state.range(0) != 0);
    daemon.setRunningStatus(Daemon::kWaiting);
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores)
        daemon.daemonIteration();
}
BENCHMARK(BM_IdleSurveyEmptyTrash)->Arg(0)->Arg(1);

// From the first survey to the index written, 10,000 files trashed at once (move mode).
void BM_MoveBatch10000(benchmark::State& state) {
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        auto h = std::make_unique<Home>();
        h->fill(10000, 100);
        Daemon daemon;
        h->configure(daemon, 1);
        daemon.setRunningStatus(Daemon::kWaiting);
        state.ResumeTiming();
        daemon.daemonIteration();
        state.PauseTiming();
        if (fs::exists(h->trash + "file 0"))
            state.SkipWithError("the batch did not move");
        daemon.joinRepairs(true);
        h.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MoveBatch10000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// 1 GiB in a tree of 64 files of 16 MiB, copy mode, against cp -a of the same tree.
struct GiBTree {
    Home h;
    GiBTree() {
        fs::create_directories(h.trash + "tree/a/b");
        std::string block(16u << 20, 'y');
        for (int i = 0; i < 64; ++i) {
            block[0] = static_cast<char>(i);
            std::ofstream(h.trash + "tree/" + (i % 2 ? "a/" : "a/b/") + "f" + std::to_string(i)) << block;
        }
    }
};

void BM_CopyBatch1GiB(benchmark::State& state) {
    GiBTree tree;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        fs::remove_all(tree.h.cache);
        fs::create_directories(tree.h.cache);
        Daemon daemon;
        tree.h.configure(daemon, 2);
        daemon.setRunningStatus(Daemon::kWaiting);
        ::sync();
        state.ResumeTiming();
        daemon.daemonIteration();
        state.PauseTiming();
        daemon.joinRepairs(true);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1ll << 30));
}
BENCHMARK(BM_CopyBatch1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_CpDashA1GiB(benchmark::State& state) {
    GiBTree tree;
    const std::string target = tree.h.home + "/cp-target";
    const std::string command = "cp -a '" + tree.h.trash + "tree' '" + target + "'";
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        state.PauseTiming();
        fs::remove_all(target);
        ::sync();
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("cp -a failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1ll << 30));
}
BENCHMARK(BM_CpDashA1GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// A copy-mode survey when all 10,000 items of the trash were copied before. Argument 0: the copies are
// in an earlier minute's batch (the steady state); 1: in the current minute's batch, whose index of
// 10,000 entries every survey of that minute rewrites.
void BM_CopySurvey10000Known(benchmark::State& state) {
    Home h;
    h.fill(10000, 100);
    Daemon daemon;
    h.configure(daemon, 2);
    daemon.setRunningStatus(Daemon::kWaiting);
    daemon.daemonIteration(); // copies everything once
    daemon.joinRepairs(true);
    if (daemon._alreadyAdded().size() != 10000)
        state.SkipWithError("the first survey did not copy everything");
    if (state.range(0) == 0) {
        for (auto& batch : fs::directory_iterator(h.cache))
            if (batch.is_directory())
                fs::rename(batch.path(), h.cache + "/2001-01-01 00_00 +0000");
    }
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores)
        daemon.daemonIteration();
    daemon.joinRepairs(true);
}
BENCHMARK(BM_CopySurvey10000Known)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// CPU time of a process over `seconds`, from its schedstat (nanoseconds on a CPU, all causes).
unsigned long long cpuNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return ns;
}

int bareTick(sd_event_source* source, std::uint64_t, void*) {
    sd_event_source_set_time_relative(source, 1000000);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    return 0;
}

// What one wake-up of a bare sd-event one-shot timer costs on this machine: the floor under any survey.
void BM_BareTimerWake(benchmark::State& state) {
    double cpuPerWakeUs = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        pid_t pid = fork();
        if (pid == 0) {
            sd_event* event = nullptr;
            sd_event_new(&event);
            sd_event_add_time_relative(event, nullptr, CLOCK_MONOTONIC, 1000000, 1000, bareTick, nullptr);
            sd_event_loop(event);
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const unsigned long long before = cpuNs(pid);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const unsigned long long after = cpuNs(pid);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        cpuPerWakeUs = static_cast<double>(after - before) / 1000.0 / 10;
    }
    state.counters["cpu_us_per_wake"] = cpuPerWakeUs;
}
BENCHMARK(BM_BareTimerWake)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The real program surveying an empty trash every second (the survey forced, as where the kernel cannot
// watch the trash): CPU per survey (from its schedstat) and resident memory. daemon_idle_bench sets this
// against the event-driven survey, which does not wake up at all.
void BM_RealDaemonIdle(benchmark::State& state) {
    test::PrivateBus bus;
    Home h;
    const std::string exe = test::buildDir() + "/libexec/binwarden2/bw2daemon";
    double cpuPerSurveyUs = 0, rssKiB = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        pid_t pid = fork();
        if (pid == 0) {
            setenv("HOME", h.home.c_str(), 1);
            setenv("BW2_SURVEY_POLL", "1", 1);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 2);
            execl(exe.c_str(), exe.c_str(), "1", h.trash.c_str(), (h.home + "/").c_str(), "0", "0", "1",
                  std::to_string(getuid()).c_str(), "3", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // start-up and its repair are done
        const unsigned long long before = cpuNs(pid);
        const int surveys = 10;
        std::this_thread::sleep_for(std::chrono::seconds(surveys));
        const unsigned long long after = cpuNs(pid);
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                rssKiB = std::stod(line.substr(6));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        cpuPerSurveyUs = static_cast<double>(after - before) / 1000.0 / surveys;
    }
    state.counters["cpu_us_per_survey"] = cpuPerSurveyUs;
    state.counters["rss_MiB"] = rssKiB / 1024.0;
}
BENCHMARK(BM_RealDaemonIdle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace
