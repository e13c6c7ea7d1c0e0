// Cost of one Dock icon update: drawing the 512 x 512 icon (what every rotation step and
// every headless tile write pays) and validating a full 32-provider payload.
#include <benchmark/benchmark.h>

#include "dock/DockQuotaIconController.h"
#include "platform/graphics/Image.h"

namespace {

DockQuotaProvider sample() { return DockQuotaProvider{"claude", "Claude", "#D97757", "ok", 62.5, "62%"}; }

void BM_RenderIconBitmap(benchmark::State& state) {
    auto image = DockQuotaIconController::renderIcon(sample());
    for (auto _ : state) benchmark::DoNotOptimize(image->bitmap(512, 512));
}
BENCHMARK(BM_RenderIconBitmap)->Unit(benchmark::kMillisecond);

void BM_RenderIconPNG(benchmark::State& state) {
    auto image = DockQuotaIconController::renderIcon(sample());
    for (auto _ : state) benchmark::DoNotOptimize(image->pngData(512, 512));
}
BENCHMARK(BM_RenderIconPNG)->Unit(benchmark::kMillisecond);

void BM_ParseFullPayload(benchmark::State& state) {
    nlohmann::json providers = nlohmann::json::array();
    for (int i = 0; i < 32; ++i)
        providers.push_back({{"id", "provider-" + std::to_string(i)}, {"name", "  Provider \u00e9 " + std::to_string(i)},
                             {"color", "#D97757"}, {"status", "ok"}, {"percent", i * 3.1}, {"displayValue", "12.5k"}});
    nlohmann::json payload{{"enabled", true}, {"selection", "auto"}, {"providers", providers}};
    for (auto _ : state) benchmark::DoNotOptimize(DockQuotaIconController::parseState(payload));
}
BENCHMARK(BM_ParseFullPayload)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
