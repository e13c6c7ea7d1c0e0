#pragma once
#include <string>

namespace platform {

class Image;

// The headless Dock tile: a PNG of the current icon that a person can open.
namespace DockTileWriter {

constexpr int pixelSide = 512;

// $XDG_RUNTIME_DIR/Tidemark/dock-tile.png, or <temp dir>/Tidemark-<uid>/dock-tile.png
// when XDG_RUNTIME_DIR is unset.
std::string path();
// Writes the image rendered at 512 x 512 (atomically); no image removes the file.
bool write(const Image* image, const std::string& path);

}  // namespace DockTileWriter
}  // namespace platform
