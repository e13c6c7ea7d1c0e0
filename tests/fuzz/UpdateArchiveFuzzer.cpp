// The update archive: whatever bytes arrive are unpacked into a fresh folder, and nothing
// may land outside it.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fuzz/FuzzInput.h"
#include "platform/updater/ArchiveExtractor.h"

namespace fs = std::filesystem;

namespace {

// A parent with the archive file, the destination folder and a sibling that must stay empty.
struct Scratch {
    std::string root;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "tidemark-fuzz-archive-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fuzz::fail("mkdtemp");
        root = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

size_t entriesBelow(const fs::path& folder) {
    std::error_code error;
    size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::none, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Scratch scratch;
    const fs::path archive = fs::path(scratch.root) / "update.tar.gz";
    const fs::path destination = fs::path(scratch.root) / "staging";
    const fs::path sibling = fs::path(scratch.root) / "outside";
    std::error_code error;
    fs::remove_all(destination, error);
    fs::create_directory(destination);
    fs::create_directory(sibling, error);
    std::ofstream(archive, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                     static_cast<std::streamsize>(size));
    (void)platform::ArchiveExtractor::extractTarGz(archive.string(), destination.string());
    // Only our three entries may stand beside each other, and the sibling stays empty.
    size_t top = 0;
    for (const auto& entry : fs::directory_iterator(scratch.root, error)) {
        (void)entry;
        ++top;
    }
    if (top != 3) fuzz::fail("the archive wrote beside its folder");
    if (entriesBelow(sibling) != 0) fuzz::fail("the archive wrote into another folder");
    fs::permissions(destination, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(destination, error);
    return 0;
}
