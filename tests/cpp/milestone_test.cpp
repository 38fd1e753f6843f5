// The milestone's waiting logic on a scripted clock: every wake-up, early or
// late, and every slice it asks the platform to wait is decided by the test,
// so the outcomes are exact and do not depend on the machine's load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "util/duration.h"
#include "util/sync.h"

namespace vorel {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::minutes;
using std::chrono::seconds;

// What each wait of a scripted milestone does. A wake-up says how much time
// passes before it (the whole slice when not given: a time-out) and what
// happens meanwhile, with the milestone's lock released as a real wait
// releases it. With no wake-up left, a wait times out after exactly its slice.
struct WaitScript {
  struct Wake {
    std::optional<Steady::duration> after;
    std::function<void()> meanwhile;
  };
  Steady::time_point now{hours(1)};
  std::deque<Wake> wakes;
  std::vector<Steady::duration> slices;  // what every wait asked for, in order
};

class ScriptedWaiting {
 public:
  static constexpr size_t kMostWaits = 1000;

  explicit ScriptedWaiting(WaitScript& script) : script_(&script) {}
  Steady::time_point now() const { return script_->now; }
  void wait(std::condition_variable&, std::unique_lock<std::mutex>& lock, Steady::duration slice) {
    // A wait that never ends would hang the test: far more waits than any
    // script here needs end it with an exception that fails the test.
    if (script_->slices.size() >= kMostWaits) throw std::runtime_error("the wait never ends");
    script_->slices.push_back(slice);
    WaitScript::Wake wake;
    if (!script_->wakes.empty()) {
      wake = std::move(script_->wakes.front());
      script_->wakes.pop_front();
    }
    if (wake.meanwhile) {
      lock.unlock();
      wake.meanwhile();
      lock.lock();
    }
    // The clock stops at the end of its range rather than wrap.
    const Steady::duration passed = wake.after.value_or(slice);
    const bool past_the_end = Steady::time_point::max() - script_->now < passed;
    script_->now = past_the_end ? Steady::time_point::max() : script_->now + passed;
  }

 private:
  WaitScript* script_;
};

using ScriptedMilestone = BasicMilestone<ScriptedWaiting>;

Duration secs(double s) { return duration_from_secs(s).value(); }

using Slices = std::vector<Steady::duration>;

TEST(Milestone, ATimeOutEndsExactlyAtItsDeadline) {
  WaitScript script;
  ScriptedMilestone milestone{ScriptedWaiting(script)};
  const Steady::time_point start = script.now;
  EXPECT_FALSE(milestone.wait(secs(2.5)));
  EXPECT_EQ(script.slices, (Slices{milliseconds(2500)}));
  EXPECT_EQ(script.now, start + milliseconds(2500));

  // Nothing to wait for: no wait at all.
  script.slices.clear();
  EXPECT_FALSE(milestone.wait(Duration{}));
  EXPECT_TRUE(script.slices.empty());
  EXPECT_EQ(script.now, start + milliseconds(2500));
}

TEST(Milestone, EarlyWakeUpsWaitForTheTimeLeftOnly) {
  WaitScript script;
  ScriptedMilestone milestone{ScriptedWaiting(script)};
  const Steady::time_point start = script.now;
  // Woken after 1 s, after 0.5 s more, then at once (spurious), then nothing.
  script.wakes = {{seconds(1), {}}, {milliseconds(500), {}}, {Steady::duration::zero(), {}}};
  EXPECT_FALSE(milestone.wait(secs(2.5)));
  EXPECT_EQ(script.slices, (Slices{milliseconds(2500), milliseconds(1500), milliseconds(1000),
                                   milliseconds(1000)}));
  EXPECT_EQ(script.now, start + milliseconds(2500));

  // A wake-up later than the slice asked for ends the wait: no more waiting.
  script.slices.clear();
  script.wakes = {{seconds(3), {}}};
  EXPECT_FALSE(milestone.wait(secs(2.0)));
  EXPECT_EQ(script.slices, (Slices{seconds(2)}));
}

TEST(Milestone, AWaitReturnsTheFlagWhateverTheTimeLeft) {
  WaitScript script;
  ScriptedMilestone milestone{ScriptedWaiting(script)};
  const Steady::time_point start = script.now;
  // Reached during the wait: it ends there.
  script.wakes = {{milliseconds(300), [&] { milestone.reach(); }}};
  EXPECT_TRUE(milestone.wait(secs(2.5)));
  EXPECT_EQ(script.slices, (Slices{milliseconds(2500)}));
  EXPECT_EQ(script.now, start + milliseconds(300));

  // Reached just as the time ran out: the flag, not the deadline, decides.
  milestone.clear();
  script.slices.clear();
  script.wakes = {{std::nullopt, [&] { milestone.reach(); }}};
  EXPECT_TRUE(milestone.wait(secs(1.0)));
  EXPECT_EQ(script.slices, (Slices{seconds(1)}));

  // Reached and cleared again before the waiter ran: it waits on, for the
  // time left, and reports the flag as it is at the end.
  milestone.clear();
  script.slices.clear();
  script.wakes = {{milliseconds(300), [&] {
                     milestone.reach();
                     milestone.clear();
                   }}};
  EXPECT_FALSE(milestone.wait(secs(2.5)));
  EXPECT_EQ(script.slices, (Slices{milliseconds(2500), milliseconds(2200)}));
}

TEST(Milestone, ReachedClearedAndReachedAgain) {
  WaitScript script;
  ScriptedMilestone milestone{ScriptedWaiting(script)};
  milestone.reach();
  EXPECT_TRUE(milestone.reached());
  EXPECT_TRUE(milestone.wait(secs(1.0)));
  EXPECT_TRUE(milestone.wait(Duration{}));
  EXPECT_TRUE(script.slices.empty()) << "a reached milestone is not waited for";

  milestone.clear();
  EXPECT_FALSE(milestone.reached());
  EXPECT_FALSE(milestone.wait(secs(1.0)));
  EXPECT_EQ(script.slices, (Slices{seconds(1)}));

  milestone.reach();
  EXPECT_TRUE(milestone.wait(secs(1.0)));
  EXPECT_EQ(script.slices.size(), 1u);
}

TEST(Milestone, AHugeTimeOutIsCutIntoSlicesThatNeverOverflow) {
  const Duration forever{UINT64_MAX, 999'999'999};
  {
    // Three slices of an hour time out; the fourth ends with the reach.
    WaitScript script;
    ScriptedMilestone milestone{ScriptedWaiting(script)};
    const Steady::time_point start = script.now;
    script.wakes = {{}, {}, {}, {std::nullopt, [&] { milestone.reach(); }}};
    EXPECT_TRUE(milestone.wait(forever));
    EXPECT_EQ(script.slices, (Slices{hours(1), hours(1), hours(1), hours(1)}));
    EXPECT_EQ(script.now, start + hours(4));
  }
  {
    // Near the end of the clock's range the deadline saturates at its last
    // value: the slices shrink to what is left and the wait ends there.
    WaitScript script;
    script.now = Steady::time_point::max() - minutes(150);
    ScriptedMilestone milestone{ScriptedWaiting(script)};
    EXPECT_FALSE(milestone.wait(forever));
    EXPECT_EQ(script.slices, (Slices{hours(1), hours(1), minutes(30)}));
    EXPECT_EQ(script.now, Steady::time_point::max());
  }
}

// Real condition waits on a clock that stands still, so a waiter can only be
// woken by a notification. A waiter that no notification reaches within a
// generous bound gives up and moves the clock past every deadline: a lost
// wake-up fails the test instead of hanging it.
struct NotifiedOnly {
  std::atomic<int> blocked{0};
  std::atomic<bool> gave_up{false};
};

class NotifiedWaiting {
 public:
  explicit NotifiedWaiting(NotifiedOnly& state) : state_(&state) {}
  Steady::time_point now() const {
    return state_->gave_up.load() ? Steady::time_point::max() : Steady::time_point(hours(1));
  }
  void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Steady::duration) {
    // Counted while the milestone's lock is held: once the test has seen
    // every waiter counted, a reach can only come after they all wait.
    state_->blocked.fetch_add(1);
    if (cv.wait_for(lock, seconds(30)) == std::cv_status::timeout) state_->gave_up.store(true);
    state_->blocked.fetch_sub(1);
  }

 private:
  NotifiedOnly* state_;
};

TEST(Milestone, OneReachWakesEveryWaiter) {
  constexpr int kWaiters = 5;
  NotifiedOnly state;
  BasicMilestone<NotifiedWaiting> milestone{NotifiedWaiting(state)};
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (milestone.wait(secs(10.0))) woken.fetch_add(1);
    });
  }
  while (state.blocked.load() < kWaiters) std::this_thread::yield();
  milestone.reach();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(woken.load(), kWaiters);
  EXPECT_FALSE(state.gave_up.load());
}

}  // namespace
}  // namespace vorel
