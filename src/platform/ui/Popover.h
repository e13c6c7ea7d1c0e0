#pragma once
#include <memory>
#include <optional>

#include "platform/Geometry.h"
#include "platform/ui/ViewController.h"

namespace platform {

class Popover;

// With the platform's numbering: applicationDefined closes only when told to;
// transient also closes when the user clicks elsewhere.
enum class PopoverBehavior : int { applicationDefined = 0, transient = 1, semitransient = 2 };
enum class RectEdge : int { minX = 0, minY = 1, maxX = 2, maxY = 3 };
enum class Appearance { aqua, darkAqua };

class PopoverDelegate {
public:
    virtual ~PopoverDelegate() = default;
    // After the popover has closed, whatever closed it.
    virtual void popoverDidClose(Popover&) {}
};

// A panel attached to a rectangle of a view. Its content view controller's view fills
// the content size. This class keeps the state both backends share (the headless one
// is exactly this); the desktop backend also puts it on screen through the hooks.
class Popover {
public:
    // Made by the UI backend.
    static std::shared_ptr<Popover> make();
    virtual ~Popover() = default;

    PopoverBehavior behavior() const { return behavior_; }
    void setBehavior(PopoverBehavior behavior) { behavior_ = behavior; }
    bool animates() const { return animates_; }
    void setAnimates(bool animates) { animates_ = animates; }
    void setDelegate(std::weak_ptr<PopoverDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<PopoverDelegate> delegate() const { return delegate_.lock(); }
    std::optional<Appearance> appearance() const { return appearance_; }
    void setAppearance(std::optional<Appearance> appearance) { appearance_ = appearance; }

    Size contentSize() const { return contentSize_; }
    // Resizes the content view at once, shown or not.
    void setContentSize(Size size);
    std::shared_ptr<ViewController> contentViewController() const { return contentViewController_; }
    void setContentViewController(std::shared_ptr<ViewController> controller);

    bool isShown() const { return isShown_; }
    // Shows the popover against a rectangle of the view, or moves it there when shown.
    void show(Rect positioningRect, std::shared_ptr<View> positioningView, RectEdge preferredEdge);
    // Closes the popover if shown and tells the delegate.
    void performClose();
    void close();

    // The user clicked outside the popover: a transient one closes. True when it closed.
    bool handleClickOutside();

    // Where it was last shown.
    Rect positioningRect() const { return positioningRect_; }
    std::shared_ptr<View> positioningView() const { return positioningView_.lock(); }
    std::optional<RectEdge> preferredEdge() const { return preferredEdge_; }
    unsigned long showCount() const { return showCount_; }

protected:
    // Presentation hooks, after the state has changed.
    virtual void didShow() {}
    virtual void didClose() {}
    virtual void didResize() {}

private:
    void sizeContentView();

    PopoverBehavior behavior_ = PopoverBehavior::applicationDefined;
    bool animates_ = true;
    std::weak_ptr<PopoverDelegate> delegate_;
    std::optional<Appearance> appearance_;
    Size contentSize_;
    std::shared_ptr<ViewController> contentViewController_;
    bool isShown_ = false;
    Rect positioningRect_;
    std::weak_ptr<View> positioningView_;
    std::optional<RectEdge> preferredEdge_;
    unsigned long showCount_ = 0;
};

}  // namespace platform
