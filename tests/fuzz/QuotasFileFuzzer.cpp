// quotas.json, written by the user (or anything running as the user).
#include "QuotaService.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t logged = 0;
    const auto entries = QuotaService::parseQuotasFile(fuzz::text(data, size), [&](const std::string&) { ++logged; });
    if (entries.size() + 3 > QuotaService::maxProviders) fuzz::fail("more providers than the Dock accepts");
    for (const auto& entry : entries)
        if (entry.command.empty() || entry.command.front().empty()) fuzz::fail("an entry without a program");
    return 0;
}
