#pragma once
#include <memory>
#include <vector>

#include "platform/ui/View.h"

namespace platform {

// Manages one view, loaded on first access of view(): loadView() then viewDidLoad().
// Create view controllers with std::make_shared.
class ViewController : public std::enable_shared_from_this<ViewController> {
public:
    virtual ~ViewController() = default;

    std::shared_ptr<View> view();
    bool isViewLoaded() const { return static_cast<bool>(view_); }
    void setView(std::shared_ptr<View> view) { view_ = std::move(view); }

    void addChildViewController(std::shared_ptr<ViewController> child);
    const std::vector<std::shared_ptr<ViewController>>& childViewControllers() const { return children_; }
    std::shared_ptr<ViewController> parentViewController() const { return parent_.lock(); }

protected:
    // Default: an empty view. Overrides call setView().
    virtual void loadView();
    virtual void viewDidLoad() {}

private:
    std::shared_ptr<View> view_;
    std::vector<std::shared_ptr<ViewController>> children_;
    std::weak_ptr<ViewController> parent_;
};

}  // namespace platform
