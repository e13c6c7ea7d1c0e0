#pragma once
#include <memory>
#include <string>

#include "platform/Application.h"
#include "platform/graphics/DockTileWriter.h"

namespace platform::ui {

// The headless backend's Dock: the tile is a PNG file, whatever the activation policy.
class HeadlessDock final : public Dock {
public:
    explicit HeadlessDock(std::string file = DockTileWriter::path()) : file_(std::move(file)) {}
    void setIconShown(bool) override {}
    void display(const std::shared_ptr<Image>& image) override { DockTileWriter::write(image.get(), file_); }

private:
    std::string file_;
};

}  // namespace platform::ui
