// What is read back from disk at start-up: defaults.json (any bytes, the file may be
// damaged) and the Dock state stored in it.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "dock/DockQuotaState.h"
#include "fuzz/FuzzInput.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        std::string pattern = (fs::temp_directory_path() / "tidemark-fuzz-defaults-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fuzz::fail("mkdtemp");
        // Every damaged file is reported; millions of lines would only slow the run.
        platform::setLogSink([](std::string_view) {});
        return pattern;
    }();
    const std::string bytes = fuzz::text(data, size);
    // The stored Dock state on its own.
    if (auto state = DockQuotaState::decodeJSON(bytes)) (void)state->encodedJSON();

    // The whole settings file: loaded (or moved aside), read, then written back.
    const std::string path = folder + "/defaults.json";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) fs::remove(entry.path(), error);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    platform::UserDefaults defaults(path);
    (void)defaults.boolForKey("Tidemark.dynamicDockIconEnabled");
    (void)defaults.doubleForKey("Tidemark.panelHeight");
    if (auto stored = defaults.dataForKey("Tidemark.dynamicDockIconState")) (void)DockQuotaState::decodeJSON(*stored);
    defaults.setDouble(420, "Tidemark.panelHeight");
    if (!platform::UserDefaults(path).hasKey("Tidemark.panelHeight")) fuzz::fail("a written value did not come back");
    return 0;
}
