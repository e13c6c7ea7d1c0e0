#include "platform/graphics/DockTileWriter.h"

#include <filesystem>

#include "platform/Application.h"
#include "platform/FileManager.h"
#include "platform/graphics/Image.h"

namespace platform::DockTileWriter {

std::string path() { return runtimeDirectory() + "/dock-tile.png"; }

bool write(const Image* image, const std::string& file) {
    std::error_code error;
    if (!image) {
        std::filesystem::remove(file, error);
        return !error;
    }
    auto png = image->pngData(pixelSide, pixelSide);
    if (!png) return false;
    // Only the user should read what the tile shows; in a shared /tmp someone else may
    // have made the folder first, and then it is not used.
    const std::string directory = std::filesystem::path(file).parent_path().string();
    if (FileManager::createPrivateDirectory(directory)) return false;
    return !FileManager::writeAtomically(file, *png).has_value();
}

}  // namespace platform::DockTileWriter
