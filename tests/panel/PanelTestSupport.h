#pragma once
// An updater double for the update controller and the panel's banner.
#include <memory>
#include <string>

#include "platform/Updater.h"

namespace paneltest {

class RecordingUpdater : public platform::Updater {
public:
    explicit RecordingUpdater(std::weak_ptr<platform::UpdaterDelegate> delegate) : delegate(std::move(delegate)) {}
    bool automaticallyChecksForUpdates() const override { return automatic; }
    void setAutomaticallyChecksForUpdates(bool value) override { automatic = value; }
    void checkForUpdatesInBackground() override { ++checks; }

    std::weak_ptr<platform::UpdaterDelegate> delegate;
    bool automatic = true;
    int checks = 0;
};

}  // namespace paneltest
