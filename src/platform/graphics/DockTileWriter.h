#pragma once
#include <memory>
#include <string>

#include "platform/Application.h"

namespace platform {

class Application;
class Image;

// The headless Dock tile: a PNG of the current icon that a person can open.
namespace DockTileWriter {

constexpr int pixelSide = 512;

// $XDG_RUNTIME_DIR/Tidemark/dock-tile.png, or <temp dir>/Tidemark-<uid>/dock-tile.png
// when XDG_RUNTIME_DIR is unset.
std::string path();
// Writes the image rendered at 512 x 512 (atomically); no image removes the file.
bool write(const Image* image, const std::string& path);

// The headless backend's Dock: the tile is the file, whatever the activation policy.
class FileDock final : public Dock {
public:
    explicit FileDock(std::string file = path()) : file_(std::move(file)) {}
    void setIconShown(bool) override {}
    void display(const std::shared_ptr<Image>& image) override { write(image.get(), file_); }

private:
    std::string file_;
};

}  // namespace DockTileWriter
}  // namespace platform
