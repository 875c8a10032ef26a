// The notification centre: synchronous delivery on the posting thread, posting from
// many threads and from inside an observer.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Notifications.h"

namespace vantrel {
namespace {

class NotificationsTest : public ::testing::Test {
  protected:
    void SetUp() override { NotificationCenter::defaultCenter().removeAllObservers(); }
    void TearDown() override { NotificationCenter::defaultCenter().removeAllObservers(); }
    NotificationCenter& center = NotificationCenter::defaultCenter();
};

TEST_F(NotificationsTest, DeliveryIsSynchronousOnThePostingThreadToEveryObserverOfTheName) {
    std::vector<std::string> calls;
    std::thread::id deliveredOn;
    center.addObserver("wonChallenge", [&](const Notification& n) {
        calls.push_back("first " + n.name);
        deliveredOn = std::this_thread::get_id();
        EXPECT_FALSE(n.userInfo);
    });
    center.addObserver("wonChallenge", [&](const Notification&) { calls.push_back("second"); });
    center.addObserver("downloadsDone", [&](const Notification&) { calls.push_back("other"); });

    std::thread poster([&] {
        center.post(notificationnames::wonChallenge());
        // Delivered before post() returned.
        EXPECT_EQ(calls, (std::vector<std::string>{"first wonChallenge", "second"}));
        EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    });
    poster.join();
    center.post("nobody listens");
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(NotificationsTest, ManyThreadsMayPostAndObserversMayPostOrRegisterInTurn) {
    std::atomic<int> progress{0};
    std::atomic<int> done{0};
    center.addObserver("taskProgress", [&](const Notification&) {
        if (progress.fetch_add(1) % 100 == 0) {
            center.post("downloadsDone");  // posting from inside an observer
            center.addObserver("late", [](const Notification&) {});
        }
    });
    center.addObserver("downloadsDone", [&](const Notification&) { done.fetch_add(1); });

    constexpr int kThreads = 8;
    constexpr int kPosts = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i) {
                center.post("taskProgress", ProgressReport{{"Download", t * 1.0 + i}});
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_EQ(progress.load(), kThreads * kPosts);
    EXPECT_EQ(done.load(), kThreads * kPosts / 100);
}

}  // namespace
}  // namespace vantrel
