#include "panel/ResizeHandleView.h"

#include "platform/ui/Cursor.h"

void ResizeHandleView::resetCursorRects() { addCursorRect(bounds(), platform::Cursor::resizeUpDown()); }

// Screen coordinates, not the event's window location: the window itself moves as the
// panel resizes.
void ResizeHandleView::mouseDown(const platform::Event&) { lastScreenY = platform::Event::mouseLocation().y; }

void ResizeHandleView::mouseDragged(const platform::Event&) {
    const double y = platform::Event::mouseLocation().y;
    const double delta = lastScreenY - y;
    lastScreenY = y;
    if (onDrag) onDrag(delta);
}
