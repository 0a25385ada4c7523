#pragma once

#include "WatcherUnit.h"

#include <optional>
#include <string>

namespace strataloom {

// Whether the watcher runs in the background, now and at every login, and
// switching that; the window's dialog reads and flips it through this.
class WatcherService {
public:
    virtual ~WatcherService() = default;
    // True when the watcher is set to run (enabled or active); none, with the
    // reason, when that cannot be known or changed here.
    virtual std::optional<bool> isSwitchedOn(std::string* error = nullptr) = 0;
    // Enables and starts the watcher, or stops and disables it.
    virtual bool switchOn(bool on, std::string* error = nullptr) = 0;
};

// The systemd user unit strataloom-watch.service, through the service
// manager's D-Bus interface on the session bus.
class SystemdWatcherService final : public WatcherService {
public:
    static constexpr const char* kUnit = kWatcherUnitName;

    // `unitFile` is what enabling is given: the unit's name, or its path when
    // the manager does not search the folder it was installed into (see
    // watcherUnitReference()); every other call names the unit.
    explicit SystemdWatcherService(std::string unitFile = watcherUnitReference());

    std::optional<bool> isSwitchedOn(std::string* error = nullptr) override;
    bool switchOn(bool on, std::string* error = nullptr) override;

private:
    std::string m_unitFile;
};

} // namespace strataloom
