// The "dockQuota" message body: JSON from the page, then the payload validation.
#include <cmath>

#include "dock/DockQuotaIconController.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto body = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) return 0;
    const auto state = DockQuotaIconController::parseState(body);
    if (!state) return 0;
    if (state->providers.size() > 32) fuzz::fail("more than 32 providers");
    for (const auto& provider : state->providers) {
        if (provider.percent && !(*provider.percent >= 0 && *provider.percent <= 100)) fuzz::fail("percent out of 0-100");
        if (provider.name.empty()) fuzz::fail("empty name kept");
    }
    if (!state->enabled && !state->providers.empty()) fuzz::fail("disabled state with providers");
    // What is accepted must also persist and come back.
    if (state->enabled) {
        const auto encoded = state->encodedJSON();
        if (encoded && !DockQuotaState::decodeJSON(*encoded)) fuzz::fail("an accepted state does not decode");
    }
    return 0;
}
