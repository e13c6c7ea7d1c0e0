#pragma once
#include <memory>
#include <optional>
#include <vector>

#include "platform/Geometry.h"
#include "platform/graphics/Color.h"
#include "platform/ui/Cursor.h"
#include "platform/ui/Event.h"

namespace platform {

class View;

// What a layer-backed view draws behind its content.
struct Layer {
    Color backgroundColor = Color::clear();
    bool isOpaque = false;
};

enum class LayoutAttribute { leading, trailing, top, bottom, width, height };

class LayoutConstraint;

// One edge or dimension of a view, from which constraints are made.
class LayoutAnchor {
public:
    LayoutAnchor(std::weak_ptr<View> view, LayoutAttribute attribute) : view_(std::move(view)), attribute_(attribute) {}
    // this = other + constant. Edges measure downwards and rightwards from the top left.
    std::shared_ptr<LayoutConstraint> constraintEqualTo(const LayoutAnchor& other, double constant = 0) const;
    // A dimension equal to a constant.
    std::shared_ptr<LayoutConstraint> constraintEqualToConstant(double constant) const;

private:
    std::weak_ptr<View> view_;
    LayoutAttribute attribute_;
};

// first.attribute = second.attribute + constant, or first.attribute = constant. Only
// active constraints take part in layout; a new constant applies at the next layout.
// Create them with the anchors (they live in std::shared_ptr).
class LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
public:
    LayoutConstraint(std::weak_ptr<View> first, LayoutAttribute firstAttribute, std::weak_ptr<View> second,
                     std::optional<LayoutAttribute> secondAttribute, double constant);

    static void activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
    void setActive(bool active);
    bool isActive() const { return isActive_; }

    double constant() const { return constant_; }
    void setConstant(double constant) { constant_ = constant; }

    std::shared_ptr<View> firstItem() const { return first_.lock(); }
    LayoutAttribute firstAttribute() const { return firstAttribute_; }
    std::shared_ptr<View> secondItem() const { return second_.lock(); }
    std::optional<LayoutAttribute> secondAttribute() const { return secondAttribute_; }

private:
    std::weak_ptr<View> first_;
    LayoutAttribute firstAttribute_;
    std::weak_ptr<View> second_;
    std::optional<LayoutAttribute> secondAttribute_;
    double constant_;
    bool isActive_ = false;
    std::weak_ptr<View> owner_;
};

// A rectangle of the user interface. Create views with std::make_shared. Frames are in
// the superview's coordinates, y up unless the superview is flipped.
class View : public std::enable_shared_from_this<View> {
public:
    explicit View(Rect frame = {});
    virtual ~View();

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    Rect bounds() const { return Rect{{0, 0}, frame_.size}; }
    virtual bool isFlipped() const { return false; }

    void addSubview(std::shared_ptr<View> view);
    void removeFromSuperview();
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    std::shared_ptr<View> superview() const { return superview_.lock(); }

    bool isHidden() const { return isHidden_; }
    void setHidden(bool hidden) { isHidden_ = hidden; }
    bool isHiddenOrHasHiddenAncestor() const;

    bool wantsLayer() const { return wantsLayer_; }
    void setWantsLayer(bool wants);
    // Absent unless the view is layer-backed.
    Layer* layer() { return layer_ ? &*layer_ : nullptr; }

    bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizingMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool value) { translatesAutoresizingMask_ = value; }

    LayoutAnchor topAnchor() { return {weak_from_this(), LayoutAttribute::top}; }
    LayoutAnchor bottomAnchor() { return {weak_from_this(), LayoutAttribute::bottom}; }
    LayoutAnchor leadingAnchor() { return {weak_from_this(), LayoutAttribute::leading}; }
    LayoutAnchor trailingAnchor() { return {weak_from_this(), LayoutAttribute::trailing}; }
    LayoutAnchor widthAnchor() { return {weak_from_this(), LayoutAttribute::width}; }
    LayoutAnchor heightAnchor() { return {weak_from_this(), LayoutAttribute::height}; }
    // Active constraints kept by this view (those between its subviews and itself).
    const std::vector<std::shared_ptr<LayoutConstraint>>& constraints() const { return constraints_; }

    // Solves the frames of the subtree from its constraints and refreshes cursor rects.
    void layoutSubtreeIfNeeded();

    // Cursor rectangles: the platform discards them and asks resetCursorRects() again
    // after every layout.
    virtual void resetCursorRects() {}
    void addCursorRect(Rect rect, Cursor cursor) { cursorRects_.push_back({rect, cursor}); }
    void discardCursorRects() { cursorRects_.clear(); }
    const std::vector<CursorRect>& cursorRects() const { return cursorRects_; }

    // Event handlers, called by dispatchEvent().
    virtual void mouseDown(const Event&) {}
    virtual void mouseDragged(const Event&) {}
    virtual void mouseUp(const Event&) {}
    virtual void rightMouseDown(const Event&) {}
    virtual void rightMouseUp(const Event&) {}

    // How the backend delivers one mouse event: it records the pointer position (the
    // event's location, in screen coordinates), makes the event the application's
    // current event while the handler runs and calls the handler. Hidden views get
    // nothing. False when the event was not delivered.
    bool dispatchEvent(const Event& event);

private:
    friend class LayoutConstraint;
    void layoutSubviews();

    Rect frame_;
    std::vector<std::shared_ptr<View>> subviews_;
    std::weak_ptr<View> superview_;
    bool isHidden_ = false;
    bool wantsLayer_ = false;
    std::optional<Layer> layer_;
    bool translatesAutoresizingMask_ = true;
    std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
    std::vector<CursorRect> cursorRects_;
};

}  // namespace platform
