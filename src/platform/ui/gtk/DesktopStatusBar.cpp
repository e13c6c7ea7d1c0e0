#include "platform/ui/gtk/DesktopStatusBar.h"

#include <gtk/gtk.h>

#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/graphics/Image.h"
#include "platform/ui/gtk/DesktopBackend.h"
#include "platform/ui/gtk/DesktopGeometry.h"

namespace platform::ui {

namespace {

constexpr const char* themedIconName = "tidemark-symbolic";

}  // namespace

DesktopStatusItem::DesktopStatusItem(double length, DesktopBackend& backend, std::string objectPath)
    : StatusItem(length), backend_(backend) {
    GDBusConnection* bus = backend_.sessionBus();
    if (!bus) return;
    const std::string menuPath = objectPath + "/Menu";
    std::weak_ptr<bool> alive = alive_;
    menuExporter_ = std::make_unique<DBusMenuExporter>(
        bus, menuPath,
        DBusMenuExporter::Handlers{[this, alive]() -> std::shared_ptr<Menu> {
                                       if (alive.expired()) return nullptr;
                                       return openForHost();
                                   },
                                   [this, alive]() -> std::shared_ptr<Menu> {
                                       if (alive.expired()) return nullptr;
                                       return backend_.lastPoppedUpMenu();
                                   }});
    item_ = std::make_unique<StatusNotifierItem>(
        bus, "tidemark", "Tidemark", objectPath, menuPath,
        StatusNotifierItem::Handlers{[this](int x, int y) { click(x, y, false); },
                                     [this](int x, int y) { click(x, y, true); },
                                     [&backend](bool present) { backend.setTrayHostPresent(present); }});
    // The owner sets the image right after creating the item.
    DispatchQueue::main()->async([this, alive] {
        if (!alive.expired()) refreshIcon();
    });
}

DesktopStatusItem::~DesktopStatusItem() { alive_.reset(); }

void DesktopStatusItem::refreshIcon() {
    if (!item_) return;
    std::vector<StatusNotifierItem::Pixmap> pixmaps;
    if (auto b = button(); b && b->image()) {
        for (int size : {22, 44})
            if (auto p = StatusNotifierItem::Pixmap::from(*b->image(), size)) pixmaps.push_back(std::move(*p));
    }
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    const bool themed = theme && gtk_icon_theme_has_icon(theme, themedIconName);
    item_->setIcon(std::move(pixmaps), themed ? themedIconName : "");
    item_->setToolTip("Tidemark", "");
}

void DesktopStatusItem::activate(int x, int y) { click(x, y, false); }

void DesktopStatusItem::click(int x, int y, bool right) {
    auto b = button();
    if (!b) return;
    if (!right && backend_.closedByFocusOutJustNow()) return;
    Point at = (x == 0 && y == 0) ? pointerPosition() : Point{static_cast<double>(x), static_cast<double>(y)};
    const double half = StatusBar::thickness / 2;
    b->setScreenFrame(Rect{{at.x - half, at.y - half}, {StatusBar::thickness, StatusBar::thickness}});
    if (right) backend_.setMenuPresentation(DesktopBackend::MenuPresentation::onScreen, int(at.x), int(at.y));
    Event event{right ? EventType::rightMouseDown : EventType::leftMouseUp, toScreenPoint(at)};
    b->dispatchEvent(event);
}

std::shared_ptr<Menu> DesktopStatusItem::openForHost() {
    auto b = button();
    if (!b) return nullptr;
    backend_.setMenuPresentation(DesktopBackend::MenuPresentation::exported, 0, 0);
    b->dispatchEvent(Event{EventType::rightMouseDown, Event::mouseLocation()});
    backend_.setMenuPresentation(DesktopBackend::MenuPresentation::onScreen, 0, 0);
    return backend_.lastPoppedUpMenu();
}

std::shared_ptr<StatusItem> DesktopStatusBar::makeItem(double length) {
    const std::string path = created_++ == 0 ? "/StatusNotifierItem" : "/StatusNotifierItem" + std::to_string(created_);
    return std::make_shared<DesktopStatusItem>(length, backend_, path);
}

}  // namespace platform::ui
