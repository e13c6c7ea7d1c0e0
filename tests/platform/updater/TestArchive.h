#pragma once
// Builds .tar.gz archives in memory, including ones no honest packer would make.
#include <string>
#include <vector>

namespace updatertest {

struct ArchiveEntry {
    enum class Kind { file, directory, symlink, hardlink, fifo };
    std::string path;
    std::string contents;  // a file's bytes, or a link's target
    unsigned mode = 0644;
    Kind kind = Kind::file;
};

std::string makeTarGz(const std::vector<ArchiveEntry>& entries);

inline ArchiveEntry executable(std::string path, std::string script) {
    return {std::move(path), std::move(script), 0755, ArchiveEntry::Kind::file};
}

}  // namespace updatertest
