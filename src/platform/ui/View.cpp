#include "platform/ui/View.h"

#include <algorithm>

#include "platform/Application.h"

namespace platform {

namespace {
Point currentMouseLocation;
}

Point Event::mouseLocation() { return currentMouseLocation; }
void Event::setMouseLocation(Point location) { currentMouseLocation = location; }

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintEqualTo(const LayoutAnchor& other, double constant) const {
    return std::make_shared<LayoutConstraint>(view_, attribute_, other.view_, other.attribute_, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintEqualToConstant(double constant) const {
    return std::make_shared<LayoutConstraint>(view_, attribute_, std::weak_ptr<View>{}, std::nullopt, constant);
}

LayoutConstraint::LayoutConstraint(std::weak_ptr<View> first, LayoutAttribute firstAttribute, std::weak_ptr<View> second,
                                   std::optional<LayoutAttribute> secondAttribute, double constant)
    : first_(std::move(first)),
      firstAttribute_(firstAttribute),
      second_(std::move(second)),
      secondAttribute_(secondAttribute),
      constant_(constant) {}

void LayoutConstraint::activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& constraint : constraints) constraint->setActive(true);
}

void LayoutConstraint::setActive(bool active) {
    if (active == isActive_) return;
    auto first = first_.lock();
    if (!first) return;
    if (active) {
        // Kept by the view whose subviews it places.
        auto owner = first->superview();
        if (!owner) owner = first;
        owner->constraints_.push_back(shared_from_this());
        owner_ = owner;
    } else if (auto owner = owner_.lock()) {
        auto& list = owner->constraints_;
        list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& c) { return c.get() == this; }),
                   list.end());
    }
    isActive_ = active;
}

View::View(Rect frame) : frame_(frame) {}
View::~View() = default;

void View::addSubview(std::shared_ptr<View> view) {
    if (!view || view.get() == this) return;
    view->removeFromSuperview();
    view->superview_ = weak_from_this();
    subviews_.push_back(std::move(view));
}

void View::removeFromSuperview() {
    auto parent = superview_.lock();
    if (!parent) return;
    auto& list = parent->subviews_;
    list.erase(std::remove_if(list.begin(), list.end(), [this](const auto& v) { return v.get() == this; }), list.end());
    superview_.reset();
}

bool View::isHiddenOrHasHiddenAncestor() const {
    for (const View* v = this; v; v = v->superview_.lock().get())
        if (v->isHidden_) return true;
    return false;
}

void View::setWantsLayer(bool wants) {
    wantsLayer_ = wants;
    if (wants && !layer_) layer_.emplace();
    if (!wants) layer_.reset();
}

namespace {

struct Span {
    std::optional<double> start, end, size;
};

// The value of an edge or dimension of `reference` measured in `parent`'s layout space
// (x from the left, y downwards from the top).
std::optional<double> attributeValue(const View& parent, const View& reference, LayoutAttribute attribute) {
    const double height = parent.bounds().height();
    if (&reference == &parent) {
        switch (attribute) {
            case LayoutAttribute::leading: return 0.0;
            case LayoutAttribute::trailing:
            case LayoutAttribute::width: return parent.bounds().width();
            case LayoutAttribute::top: return 0.0;
            case LayoutAttribute::bottom:
            case LayoutAttribute::height: return height;
        }
    }
    if (reference.superview().get() != &parent) return std::nullopt;
    const Rect f = reference.frame();
    const double top = parent.isFlipped() ? f.minY() : height - f.maxY();
    switch (attribute) {
        case LayoutAttribute::leading: return f.minX();
        case LayoutAttribute::trailing: return f.maxX();
        case LayoutAttribute::width: return f.width();
        case LayoutAttribute::top: return top;
        case LayoutAttribute::bottom: return top + f.height();
        case LayoutAttribute::height: return f.height();
    }
    return std::nullopt;
}

std::pair<double, double> solve(const Span& span, double currentStart, double currentSize) {
    if (span.start && span.end) return {*span.start, *span.end - *span.start};
    if (span.start && span.size) return {*span.start, *span.size};
    if (span.end && span.size) return {*span.end - *span.size, *span.size};
    if (span.start) return {*span.start, currentSize};
    if (span.end) return {*span.end - currentSize, currentSize};
    if (span.size) return {currentStart, *span.size};
    return {currentStart, currentSize};
}

}  // namespace

void View::layoutSubviews() {
    const double height = bounds().height();
    for (const auto& child : subviews_) {
        if (child->translatesAutoresizingMask_) continue;
        Span horizontal, vertical;
        auto apply = [&](const LayoutConstraint& c) {
            if (!c.isActive() || c.firstItem() != child) return;
            std::optional<double> value = c.constant();
            if (c.secondAttribute()) {
                auto second = c.secondItem();
                if (!second) return;
                auto base = attributeValue(*this, *second, *c.secondAttribute());
                if (!base) return;
                *value += *base;
            }
            switch (c.firstAttribute()) {
                case LayoutAttribute::leading: horizontal.start = value; break;
                case LayoutAttribute::trailing: horizontal.end = value; break;
                case LayoutAttribute::width: horizontal.size = value; break;
                case LayoutAttribute::top: vertical.start = value; break;
                case LayoutAttribute::bottom: vertical.end = value; break;
                case LayoutAttribute::height: vertical.size = value; break;
            }
        };
        for (const auto& c : constraints_) apply(*c);
        for (const auto& c : child->constraints_)
            if (!c->secondAttribute()) apply(*c);

        const Rect old = child->frame();
        const double oldTop = isFlipped() ? old.minY() : height - old.maxY();
        auto [x, w] = solve(horizontal, old.minX(), old.width());
        auto [top, h] = solve(vertical, oldTop, old.height());
        const double y = isFlipped() ? top : height - top - h;
        child->frame_ = Rect{{x, y}, {w, h}};
    }
}

void View::layoutSubtreeIfNeeded() {
    layoutSubviews();
    discardCursorRects();
    resetCursorRects();
    for (const auto& child : subviews_) child->layoutSubtreeIfNeeded();
}

bool View::dispatchEvent(const Event& event) {
    if (isHiddenOrHasHiddenAncestor()) return false;
    Event::setMouseLocation(event.locationInWindow);
    auto& application = Application::shared();
    auto previous = application.currentEvent();
    application.setCurrentEvent(std::make_shared<const Event>(event));
    switch (event.type) {
        case EventType::leftMouseDown: mouseDown(event); break;
        case EventType::leftMouseUp: mouseUp(event); break;
        case EventType::rightMouseDown: rightMouseDown(event); break;
        case EventType::rightMouseUp: rightMouseUp(event); break;
        case EventType::leftMouseDragged: mouseDragged(event); break;
        case EventType::mouseMoved:
        case EventType::rightMouseDragged: break;
    }
    application.setCurrentEvent(std::move(previous));
    return true;
}

}  // namespace platform
