#include "base/Notifications.h"

#include <memory>

namespace vantrel {

namespace notificationnames {
const std::string& taskProgress() {
    static const std::string name = "taskProgress";
    return name;
}
const std::string& downloadsDone() {
    static const std::string name = "downloadsDone";
    return name;
}
const std::string& willPresentChallenge() {
    static const std::string name = "willPresentChallenge";
    return name;
}
const std::string& wonChallenge() {
    static const std::string name = "wonChallenge";
    return name;
}
}  // namespace notificationnames

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();  // lives until the process ends
    return *center;
}

void NotificationCenter::addObserver(const std::string& name, Observer observer) {
    std::lock_guard<std::mutex> guard(lock_);
    observers_.emplace(name, std::make_shared<Observer>(std::move(observer)));
}

void NotificationCenter::post(const std::string& name, std::optional<ProgressReport> userInfo) {
    // Observers run outside the lock, so one may post or register in turn.
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto [first, last] = observers_.equal_range(name);
        for (auto it = first; it != last; ++it) {
            matching.push_back(it->second);
        }
    }
    const Notification notification{name, std::move(userInfo)};
    for (const auto& observer : matching) {
        (*observer)(notification);
    }
}

void NotificationCenter::removeAllObservers() {
    std::lock_guard<std::mutex> guard(lock_);
    observers_.clear();
}

}  // namespace vantrel
