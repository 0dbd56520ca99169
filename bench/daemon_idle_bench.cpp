// What an idle bw2daemon costs, its one-second survey (the fallback, forced) and its event-driven survey side
// by side over the same window: wake-ups (voluntary context switches of all its threads) and CPU time per
// idle minute. The window is BW_BENCH_IDLE_SECONDS long (60 by default; CI sets it shorter).

#include "private_bus.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Usage {
    unsigned long long wakeUps = 0; // voluntary context switches
    unsigned long long cpuNs = 0;   // time on a CPU
};

// Summed over every thread the process has now.
Usage usageOf(pid_t pid) {
    Usage usage;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return usage;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = tasks + "/" + entry->d_name;
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                usage.wakeUps += std::stoull(line.substr(std::strlen("voluntary_ctxt_switches:")));
        std::ifstream schedstat(task + "/schedstat");
        unsigned long long ns = 0;
        schedstat >> ns;
        usage.cpuNs += ns;
    }
    closedir(dir);
    return usage;
}

double idleSeconds() {
    const char* text = std::getenv("BW_BENCH_IDLE_SECONDS");
    const double seconds = text && *text ? std::atof(text) : 60.0;
    return seconds > 0 ? seconds : 60.0;
}

// One daemon in move mode over an empty trash of its own home; poll forces the one-second survey.
pid_t startDaemon(const std::string& home, bool poll) {
    const std::string trash = home + "/.local/share/Trash/files/";
    fs::create_directories(trash);
    fs::create_directories(home + "/.local/share/Trash/info");
    fs::create_directories(home + "/.Binwarden2Cache");
    const std::string exe = bw::test::buildDir() + "/libexec/binwarden2/bw2daemon";
    pid_t pid = fork();
    if (pid == 0) {
        setenv("HOME", home.c_str(), 1);
        if (poll)
            setenv("BW2_SURVEY_POLL", "1", 1);
        else
            unsetenv("BW2_SURVEY_POLL");
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execl(exe.c_str(), exe.c_str(), "1", trash.c_str(), (home + "/").c_str(), "0", "0", "1",
              std::to_string(getuid()).c_str(), "3", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

void BM_IdleDaemonPollAgainstEvents(benchmark::State& state) {
    bw::test::PrivateBus bus;
    const double seconds = idleSeconds();
    double pollWakeUps = 0, eventWakeUps = 0, pollCpuMs = 0, eventCpuMs = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        bw::test::TempDir pollHome("bw2idlepoll");
        bw::test::TempDir eventHome("bw2idleevent");
        const pid_t poll = startDaemon(pollHome.path(), true);
        const pid_t event = startDaemon(eventHome.path(), false);
        std::this_thread::sleep_for(std::chrono::milliseconds(3000)); // start-up, first survey and repair done
        const Usage pollBefore = usageOf(poll), eventBefore = usageOf(event);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const Usage pollAfter = usageOf(poll), eventAfter = usageOf(event);
        const bool bothRan = kill(poll, 0) == 0 && kill(event, 0) == 0;
        for (pid_t pid : {poll, event}) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!bothRan) {
            state.SkipWithError("a daemon ended before the window was over");
            break;
        }
        const double perMinute = 60.0 / seconds;
        pollWakeUps = static_cast<double>(pollAfter.wakeUps - pollBefore.wakeUps);
        eventWakeUps = static_cast<double>(eventAfter.wakeUps - eventBefore.wakeUps);
        pollCpuMs = static_cast<double>(pollAfter.cpuNs - pollBefore.cpuNs) / 1e6 * perMinute;
        eventCpuMs = static_cast<double>(eventAfter.cpuNs - eventBefore.cpuNs) / 1e6 * perMinute;
        std::fprintf(stderr,
                     "idle for %.0f s: one-second survey %.0f wake-ups, %.3f ms CPU per minute; "
                     "event survey %.0f wake-ups, %.3f ms CPU per minute\n",
                     seconds, pollWakeUps, pollCpuMs, eventWakeUps, eventCpuMs);
    }
    state.counters["idle_s"] = seconds;
    state.counters["poll_wakeups"] = pollWakeUps;
    state.counters["event_wakeups"] = eventWakeUps;
    state.counters["poll_cpu_ms_per_min"] = pollCpuMs;
    state.counters["event_cpu_ms_per_min"] = eventCpuMs;
}
BENCHMARK(BM_IdleDaemonPollAgainstEvents)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

} // namespace
