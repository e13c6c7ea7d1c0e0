#pragma once
#include <functional>

#include "platform/ui/View.h"

// The thin strip along the bottom of the panel: vertical drags become height deltas
// (positive = taller). Its own coordinates are flipped.
class ResizeHandleView : public platform::View {
public:
    explicit ResizeHandleView(platform::Rect frame = {}) : View(frame) {}

    std::function<void(double delta)> onDrag;
    double lastScreenY = 0;

    bool isFlipped() const override { return true; }
    void resetCursorRects() override;
    void mouseDown(const platform::Event& event) override;
    void mouseDragged(const platform::Event& event) override;
};
