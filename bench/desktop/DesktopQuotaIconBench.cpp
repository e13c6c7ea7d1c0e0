// Cost of one quota icon update on the desktop: the image drawn at every tray pixmap
// size and handed to hosts (NewIcon, NewToolTip) by the "Tidemark Quota" item, beside the
// headless reference (the 512 px PNG tile written to a file).
// Needs a display and a session bus: xvfb-run -a dbus-run-session -- build/bench/DesktopQuotaIconBench
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <filesystem>

#include "dock/DockQuotaIconController.h"
#include "platform/Application.h"
#include "platform/graphics/Image.h"
#include "platform/ui/gtk/DesktopBackend.h"
#include "platform/ui/gtk/DesktopDock.h"
#include "platform/ui/headless/HeadlessDock.h"

namespace {

DockQuotaProvider sample(int i) {
    return DockQuotaProvider{"claude", "Claude", "#D97757", "ok", double(i % 100), std::to_string(i % 100) + "%"};
}

std::shared_ptr<platform::ui::DesktopBackend>& backend() {
    static std::shared_ptr<platform::ui::DesktopBackend> shared = [] {
        auto opened = platform::ui::DesktopBackend::open();
        if (opened) platform::ui::Backend::install(opened);
        return opened;
    }();
    return shared;
}

void drain() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

// Drawing alone: the six pixmaps of one new icon.
void BM_DrawAllPixmapSizes(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        auto image = DockQuotaIconController::renderIcon(sample(++i));
        for (int size : platform::ui::DesktopDock::pixmapSizes)
            benchmark::DoNotOptimize(platform::ui::StatusNotifierItem::Pixmap::from(*image, size));
    }
}
BENCHMARK(BM_DrawAllPixmapSizes)->Unit(benchmark::kMillisecond);

// One rotation step on the desktop: a new image drawn at every size, the signals sent
// and flushed to the bus.
void BM_DesktopIconUpdate(benchmark::State& state) {
    if (!backend()) {
        state.SkipWithError("no display");
        return;
    }
    platform::ui::DesktopDock dock(*backend());
    dock.setIconShown(true);
    if (!dock.isIconShown()) {
        state.SkipWithError("no session bus");
        return;
    }
    drain();
    int i = 0;
    for (auto _ : state) {
        dock.display(DockQuotaIconController::renderIcon(sample(++i)));
        drain();
    }
    state.counters["draws"] = double(dock.drawCount());
}
BENCHMARK(BM_DesktopIconUpdate)->Unit(benchmark::kMillisecond);

// A display() of the image already drawn: only the signals.
void BM_DesktopRedisplaySameIcon(benchmark::State& state) {
    if (!backend()) {
        state.SkipWithError("no display");
        return;
    }
    platform::ui::DesktopDock dock(*backend());
    dock.setIconShown(true);
    auto image = DockQuotaIconController::renderIcon(sample(1));
    dock.display(image);
    drain();
    for (auto _ : state) {
        dock.display(image);
        drain();
    }
}
BENCHMARK(BM_DesktopRedisplaySameIcon)->Unit(benchmark::kMicrosecond);

// The headless reference: the tile drawn once at 512 px and written as a PNG file.
void BM_HeadlessTileUpdate(benchmark::State& state) {
    const std::string directory = std::filesystem::temp_directory_path() / "tidemark-bench-tile";
    std::filesystem::create_directories(directory);
    platform::ui::HeadlessDock dock(directory + "/dock-tile.png");
    int i = 0;
    for (auto _ : state) dock.display(DockQuotaIconController::renderIcon(sample(++i)));
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_HeadlessTileUpdate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
