#include "panel/TidemarkUpdateController.h"

#include <gtest/gtest.h>

#include <fstream>

#include "PanelTestSupport.h"
#include "support/TestSupport.h"

using paneltest::RecordingUpdater;

namespace {

struct Installation {
    testsupport::TemporaryDirectory directory;
    explicit Installation(const char* info) {
        if (info) std::ofstream(directory.path() + "/Info.json") << info;
    }
    platform::Bundle bundle() const { return platform::Bundle(directory.path() + "/Tidemark"); }
};

struct Factory {
    int calls = 0;
    bool automatic = true;
    std::shared_ptr<RecordingUpdater> made;
    platform::UpdaterFactory function() {
        return [this](std::weak_ptr<platform::UpdaterDelegate> delegate) {
            ++calls;
            made = std::make_shared<RecordingUpdater>(delegate);
            made->automatic = automatic;
            return made;
        };
    }
};

}  // namespace

TEST(TidemarkUpdateController, WithoutAFeedThereIsNoUpdaterAndNoCheck) {
    for (const char* info : {static_cast<const char*>(nullptr), "{}", "{\"CFBundleVersion\": \"1\"}", "not json"}) {
        Installation installation(info);
        Factory factory;
        TidemarkUpdateController controller(installation.bundle(), factory.function());
        EXPECT_EQ(factory.calls, 0) << (info ? info : "no Info.json");
        EXPECT_FALSE(controller.updaterController);
        EXPECT_FALSE(controller.immediateInstallHandler);
        EXPECT_FALSE(controller.onReadyToInstall);
    }
}

TEST(TidemarkUpdateController, WithAFeedTheUpdaterStartsAndChecksOnceWhenAutomaticChecksAreOn) {
    Installation installation(R"({"SUFeedURL": "https://updates.example/feed.json"})");
    {
        Factory factory;
        TidemarkUpdateController controller(installation.bundle(), factory.function());
        EXPECT_EQ(factory.calls, 1);
        EXPECT_EQ(controller.updaterController, factory.made);
        EXPECT_EQ(factory.made->checks, 1);
        EXPECT_EQ(factory.made->delegate.lock().get(), &controller) << "the controller is the delegate";
    }
    Factory manual;
    manual.automatic = false;
    TidemarkUpdateController controller(installation.bundle(), manual.function());
    EXPECT_EQ(manual.calls, 1);
    EXPECT_EQ(manual.made->checks, 0) << "started, but no check of its own";

    std::weak_ptr<platform::UpdaterDelegate> delegate;
    {
        Factory factory;
        auto scoped = std::make_unique<TidemarkUpdateController>(installation.bundle(), factory.function());
        delegate = factory.made->delegate;
        scoped.reset();
    }
    EXPECT_FALSE(delegate.lock()) << "the updater holds the controller only weakly";
}

TEST(TidemarkUpdateController, ReadyReportsKeepTheLatestHandlerAndTellThePanel) {
    Installation installation(R"({"SUFeedURL": "https://updates.example/feed.json"})");
    Factory factory;
    TidemarkUpdateController controller(installation.bundle(), factory.function());
    auto delegate = factory.made->delegate.lock();
    ASSERT_TRUE(delegate);

    int firstInstalls = 0, secondInstalls = 0;
    EXPECT_TRUE(delegate->updaterWillInstallUpdateOnQuit("2.0.0", [&] { ++firstInstalls; }))
        << "answers true even with nobody listening";
    ASSERT_TRUE(controller.immediateInstallHandler);

    std::vector<std::string> versions;
    controller.onReadyToInstall = [&](const std::string& version) { versions.push_back(version); };
    EXPECT_TRUE(delegate->updaterWillInstallUpdateOnQuit("2.3.0", [&] { ++secondInstalls; }));
    EXPECT_TRUE(delegate->updaterWillInstallUpdateOnQuit("2.4.0", [&] { ++secondInstalls; }));
    EXPECT_EQ(versions, (std::vector<std::string>{"2.3.0", "2.4.0"}));
    controller.immediateInstallHandler();
    EXPECT_EQ(firstInstalls, 0);
    EXPECT_EQ(secondInstalls, 1);
    EXPECT_EQ(factory.made->checks, 1);
}
