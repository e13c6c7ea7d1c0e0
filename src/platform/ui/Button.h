#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/graphics/Color.h"
#include "platform/graphics/Font.h"
#include "platform/ui/View.h"

namespace platform {

class Image;

// A push button. Its action is one closure (what the platform expresses as target and
// action); it runs for the event types in the send-action mask, left mouse up unless
// changed, and only while the button is enabled.
class Button : public View {
public:
    using Action = std::function<void()>;

    explicit Button(Rect frame = {});

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    std::shared_ptr<Image> image() const { return image_; }
    void setImage(std::shared_ptr<Image> image) { image_ = std::move(image); }

    void setAction(Action action) { action_ = std::move(action); }
    bool hasAction() const { return static_cast<bool>(action_); }
    void sendActionOn(EventMask mask) { sendActionMask_ = mask; }
    EventMask sendActionMask() const { return sendActionMask_; }

    bool isEnabled() const { return isEnabled_; }
    void setEnabled(bool enabled) { isEnabled_ = enabled; }
    bool isBordered() const { return isBordered_; }
    void setBordered(bool bordered) { isBordered_ = bordered; }
    const Font& font() const { return font_; }
    void setFont(Font font) { font_ = std::move(font); }
    std::optional<Color> contentTintColor() const { return contentTintColor_; }
    void setContentTintColor(std::optional<Color> color) { contentTintColor_ = color; }

    // Runs the action if the button is enabled; true when it ran.
    bool sendAction();

    void mouseDown(const Event& event) override;
    void mouseUp(const Event& event) override;
    void rightMouseDown(const Event& event) override;
    void rightMouseUp(const Event& event) override;

private:
    void handle(const Event& event);

    std::string title_;
    std::shared_ptr<Image> image_;
    Action action_;
    EventMask sendActionMask_ = eventMask(EventType::leftMouseUp);
    bool isEnabled_ = true;
    bool isBordered_ = true;
    Font font_ = Font::systemFont(13);
    std::optional<Color> contentTintColor_;
};

}  // namespace platform
