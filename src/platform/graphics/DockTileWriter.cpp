#include "platform/graphics/DockTileWriter.h"

#include <unistd.h>

#include <filesystem>

#include "platform/Application.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/graphics/Image.h"

namespace platform::DockTileWriter {

std::string path() {
    auto runtime = environmentValue("XDG_RUNTIME_DIR");
    if (runtime && !runtime->empty()) return *runtime + "/Tidemark/dock-tile.png";
    std::error_code error;
    std::string temp = std::filesystem::temp_directory_path(error).string();
    if (error || temp.empty()) temp = "/tmp";
    return temp + "/Tidemark-" + std::to_string(getuid()) + "/dock-tile.png";
}

bool write(const Image* image, const std::string& file) {
    std::error_code error;
    if (!image) {
        std::filesystem::remove(file, error);
        return !error;
    }
    auto png = image->pngData(pixelSide, pixelSide);
    if (!png) return false;
    std::filesystem::path directory = std::filesystem::path(file).parent_path();
    std::filesystem::create_directories(directory, error);
    if (error) return false;
    // Only the user should read what the tile shows.
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, error);
    return !FileManager::writeAtomically(file, *png).has_value();
}

void install(Application& application) {
    application.dockTile().setDisplayHandler([&application] {
        auto image = application.applicationIconImage();
        write(image.get(), path());
    });
}

}  // namespace platform::DockTileWriter
