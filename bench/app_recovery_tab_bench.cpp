// The Recovery tab on a cache of 100,000 items (1,000 batches of 100), offscreen: opening the tab (the
// list read with its automatic window, the table filled and its first screen painted), and one keystroke
// in the search field (the list filtered and the visible rows painted again).

#include "AppContext.h"
#include "RecoveryController.h"
#include "RecoveryTableModel.h"
#include "RecoveryTableView.h"
#include "store/cache_index.h"
#include "store/cache_paths.h"
#include "recovery_list.h"
#include "plist/reference_time.h"
#include "synthetic_cache.h"
#include "temp_dir.h"

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

namespace fs = std::filesystem;

constexpr int kBatches = 1000;
constexpr int kItemsPerBatch = 100;

const char* const kNames[] = {"Report", "École", "notes", "Straße", "Photo", "budget 2026", "Ökonomie", "draft"};
const char* const kExtensions[] = {".pdf", ".txt", ".odt", ".jpg", ""};

// A scratch home whose cache was filled within the last hour, the Qt application offscreen, and a
// context that touches nothing outside them (no system bus).
struct Scene {
    bw::test::TempDir home{"bw2tabbench"};
    std::unique_ptr<QApplication> app;
    std::unique_ptr<bw::NotificationBus> bus;
    std::unique_ptr<bw::AppContext> context;
    std::unique_ptr<QWidget> window;

    Scene() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + home.path() + "/no-bus").c_str(), 1);
        static int argc = 1;
        static char name[] = "app_recovery_tab_bench";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        const double now = bw::timeIntervalSinceReferenceDate();
        const std::string cache = bw::homeCacheFolder(home.path());
        bw::test::writeSyntheticCache(
            cache, kBatches, kItemsPerBatch,
            [now](int b, int i) {
                const int n = b * kItemsPerBatch + i;
                return bw::test::SyntheticEntry{
                    std::string(kNames[n % 8]) + " " + std::to_string(n) + kExtensions[i % 5], now - b - i / 100.0};
            },
            [now](int b) { return now - b; });
        bus = std::make_unique<bw::NotificationBus>();
        bw::AppServices services;
        services.mountedVolumes = [] { return std::vector<std::string>{"/"}; };
        context.reset(new bw::AppContext{*bus, bw::DefaultsStore(home.path() + "/prefs.plist"),
                                         bw::AccessKeychain("bw2bench"), std::move(services), getuid(),
                                         home.path(), home.path() + "/support"});
        window = std::make_unique<QWidget>();
        window->resize(680, 520);
    }
};

// Torn down by main while Qt is still whole: a static destroyed after main returns would take its
// widgets down after Qt's own globals.
std::unique_ptr<Scene>& sceneHolder() {
    static std::unique_ptr<Scene> instance;
    return instance;
}

Scene& scene() {
    if (!sceneHolder())
        sceneHolder() = std::make_unique<Scene>();
    return *sceneHolder();
}

std::unique_ptr<bw::RecoveryController> openTab(Scene& s) {
    auto tab = std::make_unique<bw::RecoveryController>(*s.context, s.window.get());
    tab->page()->setParent(s.window.get());
    tab->page()->resize(s.window->size());
    tab->loadGUI();
    return tab;
}

void BM_OpenRecoveryTab(benchmark::State& state) {
    Scene& s = scene();
    int rows = 0;
    for (auto _ : state) {
        auto tab = openTab(s);
        tab->page()->show();
        QPixmap painted = tab->itemTable()->viewport()->grab();
        benchmark::DoNotOptimize(painted);
        rows = tab->model()->rowCount();
        state.PauseTiming();
        tab.reset();
        state.ResumeTiming();
    }
    if (rows != kBatches * kItemsPerBatch)
        state.SkipWithError("not every item listed");
    state.counters["rows"] = rows;
}
BENCHMARK(BM_OpenRecoveryTab)->Unit(benchmark::kMillisecond)->Iterations(3);

// One keystroke in the search field, the visible rows painted again: the first one ("e" over the
// whole list, which also folds every name once: first:1) and a later one ("ecole " → "ecole 4").
void BM_SearchKeystroke(benchmark::State& state) {
    Scene& s = scene();
    const bool first = state.range(0) == 1;
    const QString before = first ? QString() : QString::fromUtf8("ecole "), after = first ? "e" : "ecole 4";
    int shown = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto tab = openTab(s);
        tab->page()->show();
        tab->searchTF()->setText(first ? QString() : QString("e"));
        tab->searchTF()->setText(before);
        tab->itemTable()->viewport()->grab();
        state.ResumeTiming();
        tab->searchTF()->setText(after);
        QPixmap painted = tab->itemTable()->viewport()->grab();
        benchmark::DoNotOptimize(painted);
        shown = tab->model()->rowCount();
        state.PauseTiming();
        tab.reset();
        state.ResumeTiming();
    }
    if (shown == 0)
        state.SkipWithError("the search found nothing");
    state.counters["shown"] = shown;
}
BENCHMARK(BM_SearchKeystroke)->Arg(1)->Arg(0)->ArgName("first")->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sceneHolder().reset();
    return 0;
}
