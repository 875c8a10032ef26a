#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// The payload of "taskProgress": text key to a number that may be absent. An absent value
// (a progress text that did not read as a number) travels as such; the window drops the
// whole report. -1.0 marks an error.
using ProgressReport = std::map<std::string, std::optional<double>>;

struct Notification {
    std::string name;
    std::optional<ProgressReport> userInfo;
};

// The four names that tie the workers, the window and the delegate together.
namespace notificationnames {
const std::string& taskProgress();
const std::string& downloadsDone();
const std::string& willPresentChallenge();
const std::string& wonChallenge();
}  // namespace notificationnames

// The process's default notification centre. Delivery is synchronous, on the posting thread,
// before post() returns; posting is safe from any thread, also from inside an observer.
// Observers are never removed.
class NotificationCenter {
  public:
    using Observer = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    void addObserver(const std::string& name, Observer observer);
    void post(const std::string& name, std::optional<ProgressReport> userInfo = std::nullopt);

    // Forgets every observer, as a fresh run in the same process starts with none.
    void removeAllObservers();

  private:
    std::mutex lock_;
    std::multimap<std::string, std::shared_ptr<Observer>> observers_;
};

}  // namespace vantrel
