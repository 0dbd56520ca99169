// What the tray's refresh costs the main thread after a cache notification: the menu must stay open to
// clicks and the bus dispatched while the total size of a large cache is measured.

#include "Binwarden_2_MenuAppDelegate.h"
#include "MainController.h"
#include "bus/notification_names.h"
#include "private_bus.h"
#include "settings/settings.h"
#include "temp_dir.h"

#include <QApplication>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// A home whose cache holds `batches` batch folders of 50 files each.
std::unique_ptr<bw::test::TempDir> makeHome(int batches) {
    auto home = std::make_unique<bw::test::TempDir>("bw2bench");
    for (int b = 0; b < batches; ++b) {
        std::string batch = home->path() + "/.Binwarden2Cache/2026-03-10 10_" + std::to_string(b);
        std::filesystem::create_directories(batch);
        for (int i = 0; i < 50; ++i)
            std::ofstream(batch + "/ITEM-" + std::to_string(i)) << std::string(1000, 'x');
    }
    std::filesystem::create_directories(home->path() + "/.config");
    return home;
}

void BM_MenuRefreshAfterCacheNotification(benchmark::State& state) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "menu_display_bench";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    (void)app;
    bw::test::PrivateBus bus;
    auto home = makeHome(static_cast<int>(state.range(0)));
    setenv("HOME", home->path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home->path() + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home->path() + "/.local/share").c_str(), 1);
    bw::Binwarden_2_MenuAppDelegate delegate;
    bw::MainController controller(&delegate);
    controller.awakeFromNib();
    bw::Notification silent;
    silent.name = bw::notif::kCacheUpdateSilent;
    silent.senderUid = getuid();
    for (auto _ : state) {
        controller.cacheDidUpdateNotification(silent);
        controller.menuDisplay(); // timed: the main thread's part
        state.PauseTiming();
        while (controller.runningWorkers() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 50);
}
BENCHMARK(BM_MenuRefreshAfterCacheNotification)->Arg(200)->Unit(benchmark::kMillisecond);

} // namespace
