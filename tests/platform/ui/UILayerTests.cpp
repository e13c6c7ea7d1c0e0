#include <gtest/gtest.h>

#include "platform/Application.h"
#include "platform/RunLoop.h"
#include "platform/ui/Button.h"
#include "platform/ui/HTTPCookie.h"
#include "platform/ui/HeadlessDriver.h"
#include "platform/ui/Menu.h"
#include "platform/ui/Popover.h"
#include "platform/ui/Screen.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"

using namespace platform;

namespace {

struct Flipped : View {
    bool isFlipped() const override { return true; }
};

}  // namespace

TEST(HeadlessLayout, EdgesAndHeightsSolveIntoFramesAndConstantsApplyAtTheNextLayout) {
    auto content = std::make_shared<View>(Rect{{0, 0}, {420, 640}});
    auto fill = std::make_shared<View>();
    auto top = std::make_shared<View>();
    auto bottom = std::make_shared<Flipped>();
    for (auto& v : {fill, top, std::shared_ptr<View>(bottom)}) {
        v->setTranslatesAutoresizingMaskIntoConstraints(false);
        content->addSubview(v);
    }
    auto fillTop = fill->topAnchor().constraintEqualTo(content->topAnchor());
    LayoutConstraint::activate({
        fillTop,
        fill->leadingAnchor().constraintEqualTo(content->leadingAnchor()),
        fill->trailingAnchor().constraintEqualTo(content->trailingAnchor()),
        fill->bottomAnchor().constraintEqualTo(content->bottomAnchor()),
        top->topAnchor().constraintEqualTo(content->topAnchor()),
        top->leadingAnchor().constraintEqualTo(content->leadingAnchor(), 10),
        top->trailingAnchor().constraintEqualTo(content->trailingAnchor(), -10),
        top->heightAnchor().constraintEqualToConstant(42),
        bottom->bottomAnchor().constraintEqualTo(content->bottomAnchor()),
        bottom->heightAnchor().constraintEqualToConstant(6),
    });
    content->layoutSubtreeIfNeeded();
    EXPECT_EQ(fill->frame(), (Rect{{0, 0}, {420, 640}}));
    // y up: the top strip sits at the top of the content.
    EXPECT_EQ(top->frame(), (Rect{{10, 598}, {400, 42}}));
    EXPECT_EQ(bottom->frame().minY(), 0);
    EXPECT_EQ(bottom->frame().height(), 6);

    fillTop->setConstant(42);
    EXPECT_EQ(fill->frame().height(), 640) << "a new constant waits for the next layout";
    content->layoutSubtreeIfNeeded();
    EXPECT_EQ(fill->frame(), (Rect{{0, 0}, {420, 598}}));

    content->setFrame({{0, 0}, {420, 300}});
    content->layoutSubtreeIfNeeded();
    EXPECT_EQ(fill->frame().height(), 258);
    EXPECT_EQ(top->frame().minY(), 258);

    fillTop->setActive(false);
    EXPECT_EQ(content->constraints().size(), 9u);
    // A view left to its own frame keeps it.
    auto free = std::make_shared<View>(Rect{{5, 5}, {7, 7}});
    content->addSubview(free);
    content->layoutSubtreeIfNeeded();
    EXPECT_EQ(free->frame(), (Rect{{5, 5}, {7, 7}}));
}

TEST(HeadlessViews, ViewControllerLoadsItsViewOnceAndHiddenViewsGetNoEvents) {
    struct Counting : ViewController {
        int loads = 0, didLoads = 0;
        void loadView() override {
            ++loads;
            setView(std::make_shared<View>());
        }
        void viewDidLoad() override { ++didLoads; }
    };
    auto controller = std::make_shared<Counting>();
    EXPECT_FALSE(controller->isViewLoaded());
    auto first = controller->view();
    EXPECT_EQ(controller->view(), first);
    EXPECT_EQ(controller->loads, 1);
    EXPECT_EQ(controller->didLoads, 1);

    auto parent = std::make_shared<View>();
    auto button = std::make_shared<Button>();
    parent->addSubview(button);
    int actions = 0;
    button->setAction([&] { ++actions; });
    EXPECT_TRUE(uitest::click(*button, uitest::MouseButton::left));
    EXPECT_EQ(actions, 1) << "default: acts on left mouse up only";
    uitest::click(*button, uitest::MouseButton::right);
    EXPECT_EQ(actions, 1);
    button->setEnabled(false);
    uitest::click(*button, uitest::MouseButton::left);
    EXPECT_EQ(actions, 1);
    button->setEnabled(true);
    parent->setHidden(true);
    EXPECT_FALSE(uitest::click(*button, uitest::MouseButton::left));
    EXPECT_EQ(actions, 1);
}

TEST(HeadlessViews, TheCurrentEventAndPointerAreThoseOfTheEventBeingHandled) {
    auto button = std::make_shared<StatusBarButton>();
    button->sendActionOn(eventMask(EventType::leftMouseUp) | eventMask(EventType::rightMouseDown));
    std::vector<EventType> seen;
    button->setAction([&] {
        auto event = Application::shared().currentEvent();
        ASSERT_TRUE(event);
        seen.push_back(event->type);
    });
    EXPECT_FALSE(Application::shared().currentEvent());
    uitest::press(*button, uitest::MouseButton::left, {3, 4});
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(Event::mouseLocation(), (Point{3, 4}));
    uitest::release(*button, uitest::MouseButton::left);
    uitest::press(*button, uitest::MouseButton::right);
    uitest::release(*button, uitest::MouseButton::right);
    EXPECT_EQ(seen, (std::vector<EventType>{EventType::leftMouseUp, EventType::rightMouseDown}));
    EXPECT_FALSE(Application::shared().currentEvent()) << "cleared after the dispatch";
    EXPECT_EQ(button->bounds().maxY(), StatusBar::thickness);
}

TEST(HeadlessMenus, PopUpAsksTheDelegateAndAChoiceClosesBeforeTheItemActs) {
    struct Delegate : MenuDelegate {
        std::vector<std::string> events;
        void menuWillOpen(Menu&) override { events.push_back("open"); }
        void menuDidClose(Menu&) override { events.push_back("close"); }
    };
    auto delegate = std::make_shared<Delegate>();
    Menu menu;
    menu.setDelegate(delegate);
    auto item = std::make_shared<MenuItem>("Go", [&] { delegate->events.push_back("action"); }, "g");
    auto disabled = std::make_shared<MenuItem>("Off", [&] { delegate->events.push_back("disabled"); }, "");
    disabled->setEnabled(false);
    menu.addItem(item);
    menu.addItem(MenuItem::separatorItem());
    menu.addItem(disabled);

    EXPECT_FALSE(uitest::chooseMenuItem(menu, "Go")) << "not open";
    auto anchor = std::make_shared<View>();
    menu.popUp(nullptr, {0, 30}, anchor);
    EXPECT_TRUE(menu.isOpen());
    EXPECT_EQ(menu.lastPopUp()->location, (Point{0, 30}));
    EXPECT_EQ(menu.lastPopUp()->view.lock(), anchor);
    EXPECT_FALSE(uitest::chooseMenuItem(menu, "Off"));
    EXPECT_FALSE(menu.chooseItem(menu.items()[1])) << "separator";
    EXPECT_TRUE(uitest::chooseMenuItem(menu, "Go"));
    EXPECT_FALSE(menu.isOpen());
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"open", "close", "action"}));
    EXPECT_TRUE(menu.items()[1]->isSeparatorItem());
}

TEST(HeadlessPopover, TransientClosesOnAClickOutsideApplicationDefinedDoesNot) {
    struct Delegate : PopoverDelegate {
        int closes = 0;
        void popoverDidClose(Popover&) override { ++closes; }
    };
    auto delegate = std::make_shared<Delegate>();
    auto content = std::make_shared<ViewController>();
    Popover popover;
    popover.setDelegate(delegate);
    popover.setContentViewController(content);
    popover.setContentSize({420, 640});
    EXPECT_EQ(content->view()->frame().size, (Size{420, 640}));

    auto anchor = std::make_shared<View>(Rect{{0, 0}, {24, 24}});
    popover.setBehavior(PopoverBehavior::applicationDefined);
    popover.show(anchor->bounds(), anchor, RectEdge::minY);
    EXPECT_FALSE(uitest::clickOutside(popover));
    EXPECT_TRUE(popover.isShown());
    popover.performClose();
    EXPECT_FALSE(popover.isShown());
    EXPECT_EQ(delegate->closes, 1);
    popover.performClose();
    EXPECT_EQ(delegate->closes, 1) << "closing a closed popover tells nobody";

    popover.setBehavior(PopoverBehavior::transient);
    popover.show(anchor->bounds(), anchor, RectEdge::minY);
    popover.setContentSize({420, 700});
    EXPECT_EQ(content->view()->frame().size, (Size{420, 700})) << "resizes while shown";
    EXPECT_TRUE(uitest::clickOutside(popover));
    EXPECT_FALSE(popover.isShown());
    EXPECT_EQ(delegate->closes, 2);
    EXPECT_EQ(popover.preferredEdge(), RectEdge::minY);
}

TEST(HeadlessScreen, DefaultsToA1440By875VisibleFrameAndCanBeReplacedOrRemoved) {
    ASSERT_TRUE(Screen::main());
    EXPECT_EQ(Screen::main()->visibleFrame.size, (Size{1440, 875}));
    Screen::setHeadlessMainScreen(Screen{{{0, 0}, {800, 600}}, {{0, 0}, {800, 560}}});
    EXPECT_EQ(Screen::main()->visibleFrame.height(), 560);
    Screen::setHeadlessMainScreen(std::nullopt);
    EXPECT_FALSE(Screen::main());
    Screen::setHeadlessMainScreen(Screen::headlessDefault());
}

TEST(HTTPCookies, BuiltFromPropertiesOrNotAtAll) {
    namespace key = HTTPCookiePropertyKey;
    HTTPCookie::Properties good{{key::originURL, "http://127.0.0.1:5230"},
                                {key::path, "/"},
                                {key::name, "tidemark_token"},
                                {key::value, "ABC"},
                                {key::discard, "TRUE"},
                                {key::httpOnly, "TRUE"},
                                {key::sameSite, "Strict"}};
    auto cookie = HTTPCookie::make(good);
    ASSERT_TRUE(cookie);
    EXPECT_EQ(cookie->domain(), "127.0.0.1");
    EXPECT_TRUE(cookie->isSessionOnly());
    EXPECT_TRUE(cookie->isHTTPOnly());
    EXPECT_FALSE(cookie->isSecure());
    EXPECT_EQ(cookie->sameSitePolicy(), "Strict");
    EXPECT_FALSE(cookie->expiresDate());

    auto without = [&](const char* k) {
        auto p = good;
        p.erase(k);
        return HTTPCookie::make(p);
    };
    auto with = [&](const char* k, std::string v) {
        auto p = good;
        p[k] = std::move(v);
        return HTTPCookie::make(p);
    };
    EXPECT_FALSE(without(key::name));
    EXPECT_FALSE(without(key::value));
    EXPECT_FALSE(without(key::path));
    EXPECT_FALSE(without(key::originURL)) << "no domain at all";
    EXPECT_FALSE(with(key::originURL, "not a url"));
    EXPECT_FALSE(with(key::name, ""));
    EXPECT_FALSE(with(key::name, "a b"));
    EXPECT_FALSE(with(key::name, "a=b"));
    EXPECT_FALSE(with(key::value, "a;b")) << "would smuggle a second cookie";
    EXPECT_FALSE(with(key::value, "a\r\nSet-Cookie: x=1"));
    EXPECT_FALSE(with(key::path, "relative"));
    EXPECT_FALSE(with(key::sameSite, "Sometimes"));
    EXPECT_FALSE(with(key::expires, "tomorrow"));
    EXPECT_TRUE(with(key::value, ""));
    EXPECT_TRUE(with(key::domain, ".example.com"));

    // Expiry values past what the clock holds (found by fuzzing: the conversion to the
    // clock's integer nanoseconds overflowed) are held at the clock's ends.
    EXPECT_FALSE(with(key::expires, "nan"));
    const auto now = std::chrono::system_clock::now();
    const auto url = *platform::URL::parse("http://127.0.0.1:5230/");
    for (const char* future : {"1e300", "inf", "1e10", "9300000000"}) {
        auto far = with(key::expires, future);
        ASSERT_TRUE(far) << future;
        EXPECT_TRUE(far->matches(url, now)) << future << " lies in the future";
        EXPECT_GT(*far->expiresDate(), now + std::chrono::hours(24 * 365 * 200)) << future;
    }
    for (const char* past : {"-1e300", "-inf", "-1e10", "-9300000000"}) {
        auto gone = with(key::expires, past);
        ASSERT_TRUE(gone) << past;
        EXPECT_FALSE(gone->matches(url, now)) << past << " lies in the past";
    }
}

TEST(HTTPCookies, MatchingByHostPathSchemeAndExpiryAndReplacementInTheStore) {
    namespace key = HTTPCookiePropertyKey;
    auto make = [](HTTPCookie::Properties p) { return *HTTPCookie::make(p); };
    auto hostOnly = make({{key::originURL, "http://127.0.0.1:1"}, {key::path, "/"}, {key::name, "a"}, {key::value, "1"}});
    auto url = [](const char* text) { return *URL::parse(text); };
    EXPECT_TRUE(hostOnly.matches(url("http://127.0.0.1:9/x?y")));
    EXPECT_FALSE(hostOnly.matches(url("http://localhost:1/")));
    EXPECT_FALSE(hostOnly.matches(url("http://sub.127.0.0.1/")));
    EXPECT_FALSE(hostOnly.matches(url("ftp://127.0.0.1/")));

    auto api = make({{key::domain, "example.com"}, {key::path, "/api"}, {key::name, "b"}, {key::value, "2"},
                     {key::secure, "TRUE"}});
    EXPECT_TRUE(api.matches(url("https://www.example.com/api/x")));
    EXPECT_TRUE(api.matches(url("https://example.com/api")));
    EXPECT_FALSE(api.matches(url("https://example.com/apiary")));
    EXPECT_FALSE(api.matches(url("http://example.com/api"))) << "secure";
    EXPECT_FALSE(api.matches(url("https://badexample.com/api")));

    auto expired = make({{key::originURL, "http://127.0.0.1"}, {key::path, "/"}, {key::name, "c"}, {key::value, "3"},
                         {key::expires, "1000"}});
    EXPECT_FALSE(expired.matches(url("http://127.0.0.1/")));

    RunLoop::main().useManualClock(false);
    HTTPCookieStore store;
    int completions = 0;
    store.setCookie(hostOnly, [&] { ++completions; });
    store.setCookie(make({{key::originURL, "http://127.0.0.1:2"}, {key::path, "/"}, {key::name, "a"}, {key::value, "new"}}),
                    [&] { ++completions; });
    EXPECT_EQ(completions, 0) << "completions come later, on the main queue";
    RunLoop::main().runPending();
    EXPECT_EQ(completions, 2);
    ASSERT_EQ(store.cookies().size(), 1u) << "same name, domain and path: replaced";
    EXPECT_EQ(store.cookieHeaderForURL(url("http://127.0.0.1/")), "a=new");
    store.setCookie(make({{key::originURL, "http://127.0.0.1"}, {key::path, "/deep"}, {key::name, "d"}, {key::value, "4"}}));
    EXPECT_EQ(store.cookieHeaderForURL(url("http://127.0.0.1/deep/x")), "d=4; a=new");
    store.setCookie(expired);
    EXPECT_EQ(store.cookies().size(), 2u) << "an expired cookie is not kept";
    EXPECT_FALSE(store.cookieHeaderForURL(url("http://10.0.0.1/")));
}
